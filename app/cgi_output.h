#pragma once

// What a CGI program's standard output says: its header section, checked
// before any of it reaches a client, and where its body starts.
//
// The header section ends at the first empty line; lines end in CR LF or LF
// (mixed too). Output without an empty line is all header. Every line must
// be a field: a name of token characters (RFC 9110), a colon, and a value
// without control characters (a tab is allowed). Special fields (names
// compared without regard to case):
// - "Status: NNN reason" sets the status line (200 to 599; the reason may
//   be left out for the standard one). It is not passed on.
// - "Location" without a Status makes the answer a 302. It is passed on.
// - "Content-Length", "Transfer-Encoding" and "Connection" are dropped: the
//   server frames the body itself. Passed on, they would let a program's
//   framing disagree with the server's and split one answer into two on a
//   kept-alive connection. A Content-Length that is a decimal number is
//   kept aside (content_length): the server announces it and sends no byte
//   past it.
// Anything else is passed on as "Name: value", in the program's order.
//
// Pure text work; safe on any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/exception.h"

namespace vt {

// Output that is no answer: the message says what was wrong (it names no
// path and quotes none of the output).
VT_EXCEPTION_CLASS(ECGIOutput, Exception);

// The largest header section taken from a program, line ends included: as
// much as a client may send as a request head. Real headers are a few
// hundred bytes; megabytes of them are a broken program.
inline constexpr std::size_t kMaxCGIHeader = 64 * 1024;

struct TCGIAnswer {
  int32_t status = 200;
  std::string reason;               // empty: the standard phrase of the status
  std::vector<std::string> fields;  // "Name: value" lines to send, in order
  std::size_t body_start = 0;       // where the body starts in the output
  // The program's Content-Length when it gave one that is a decimal
  // number; -1 otherwise.
  int64_t content_length = -1;
};

// The output starts with a whole header section: it holds an empty line.
bool HasWholeCGIHeader(std::string_view output);

// Reads the header section of `output`; raises ECGIOutput when it is no
// valid answer (see above).
TCGIAnswer ParseCGIOutput(std::string_view output);

}  // namespace vt
