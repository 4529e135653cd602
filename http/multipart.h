#pragma once

// A multipart/form-data body read as it arrives: an incremental parser that
// is fed the body in pieces of any size and tells a sink where each part
// begins, its data, and where it ends. It never holds a whole part: besides
// what one Feed hands it, it keeps at most a part's head (kMaxPartHead) or
// the few bytes that may start a delimiter, so memory per body is bounded
// whatever the peer sends.
//
// The body is hostile input, read strictly:
// - the boundary comes from the Content-Type's parameter: 1 to 70
//   characters of the set multipart bodies allow, quoted or not, and not
//   ending in a blank;
// - a delimiter is CR LF "--" boundary (the first may stand at the very
//   start of the body; anything before it is a preamble and ignored); after
//   it, blanks (at most kMaxPadding), then CR LF for another part, or "--"
//   for the close, after which everything (the epilogue) is ignored;
// - a part's head is header lines ending in CR LF, then an empty line;
//   lines that continue a field (beginning with a blank), lines without a
//   ":" and heads past kMaxPartHead bytes or kMaxPartFields lines are
//   refused;
// - a part whose own Content-Type is multipart (a nested body, which forms
//   no longer send) is refused;
// - past kMaxParts parts the body is refused.
// A refusal raises EMultipart; the parser is then spent. A body whose data
// ends before the close delimiter is refused by Finish.
//
// Threading: one parser per body, used by one thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/exception.h"

namespace vt {

VT_EXCEPTION_CLASS(EMultipart, Exception);

// What a part's head says.
struct TMultipartPart {
  // Content-Disposition's "name": the form field.
  std::string name;
  // The file name sent: filename*= (RFC 5987, UTF-8 or ISO-8859-1,
  // percent-decoded) when it is there and readable, else filename= (a
  // quoted string or a token). Only its last segment after "/" or "\"
  // (some clients send the whole path). Unchecked otherwise: the receiver
  // judges it as any name from a client.
  std::string filename;
  // The part's Content-Type, as sent (empty when absent).
  std::string content_type;
  // A filename parameter was there (possibly empty): the part is a file.
  bool has_filename = false;
};

class IMultipartSink {
 public:
  virtual ~IMultipartSink() = default;
  virtual void BeginPart(const TMultipartPart& part) = 0;
  // The next bytes of the part begun last; never empty.
  virtual void PartData(std::string_view data) = 0;
  // The part begun last is complete (its delimiter was read).
  virtual void EndPart() = 0;
};

class TMultipartParser {
 public:
  // The longest head of one part, its empty line included. Browsers send
  // two or three short fields; a name of 255 bytes, percent-encoded in
  // filename*, fits several times over.
  static constexpr std::size_t kMaxPartHead = 8192;
  // Header lines of one part.
  static constexpr int kMaxPartFields = 16;
  // Blanks allowed between a delimiter and its line end.
  static constexpr std::size_t kMaxPadding = 64;
  // Parts of one body: each costs a sink call and, for a file, a file; a
  // peer must not make thousands.
  static constexpr int kMaxParts = 1000;

  // `boundary` as ParseMultipartBoundary gives it; `sink` must outlive the
  // parser.
  TMultipartParser(std::string_view boundary, IMultipartSink& sink);

  // The next bytes of the body. Raises EMultipart for a body it refuses.
  void Feed(std::string_view data);
  // The body has ended: raises EMultipart unless the close delimiter was
  // read.
  void Finish();
  // The close delimiter has been read.
  bool Closed() const { return state_ == TState::kEpilogue; }
  // Parts begun so far.
  int Parts() const { return parts_; }

 private:
  enum class TState { kPreamble, kAfterDelimiter, kHead, kData, kEpilogue, kFailed };

  [[noreturn]] void Fail(const std::string& reason);
  // Each takes what it can from pending_ (from pos_) and returns false
  // when it needs more bytes.
  bool TakePreamble();
  bool TakeAfterDelimiter();
  bool TakeHead();
  bool TakeData();
  void ParseHeadLine(std::string_view line, TMultipartPart& part);

  IMultipartSink& sink_;
  // CR LF "--" boundary.
  std::string delimiter_;
  TState state_ = TState::kPreamble;
  // Bytes received and not yet decided on; pos_ is where deciding goes on.
  std::string pending_;
  std::size_t pos_ = 0;
  int parts_ = 0;
  bool in_part_ = false;
  // The head of the part being read: its bytes and lines so far.
  TMultipartPart head_;
  std::size_t head_bytes_ = 0;
  int head_fields_ = 0;
};

// The boundary parameter of a multipart/form-data Content-Type, or nothing
// when the type is another or the boundary breaks the rules above.
std::optional<std::string> ParseMultipartBoundary(std::string_view content_type);

// Reads a part's Content-Disposition value into `part` (name, filename,
// has_filename; see TMultipartPart). False when it is no "form-data" or a
// parameter is malformed.
bool ParseContentDisposition(std::string_view value, TMultipartPart& part);

}  // namespace vt
