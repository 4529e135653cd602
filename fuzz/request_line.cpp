// The request line as a connection delivers it: split into method, URI and
// version, the URI URL-decoded, and parsed into a request the way the server
// makes one (an absolute URI's host becomes the Host field).

#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "http/message.h"
#include "http/protocol.h"

using namespace vt;

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line = fuzz::AsText(data, size);

  const std::string decoded = URLDecode(line);
  VT_FUZZ_CHECK(decoded.size() <= line.size());
  if (line.find_first_of("%+") == std::string_view::npos) VT_FUZZ_CHECK(decoded == line);

  std::string method;
  std::string uri;
  std::string protocol;
  std::int32_t major = -1;
  std::int32_t minor = -1;
  ParseRequestLine(line, method, uri, protocol, major, minor);
  for (const char c : method) VT_FUZZ_CHECK(!(c >= 'a' && c <= 'z') && !IsBlank(c));
  for (const char c : protocol) VT_FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
  VT_FUZZ_CHECK(method.size() + uri.size() + protocol.size() <= line.size());

  // The server's own path: nothing here may raise.
  ThttpRequest request(std::string(line), std::string(), nullptr);
  VT_FUZZ_CHECK(request.Method == method);
  VT_FUZZ_CHECK(request.URI == uri);
  VT_FUZZ_CHECK(request.Protocol() == protocol);
  // The line composed again from the fields parses to the same fields, as
  // long as the decoded URI is a single word (decoding may bring in blanks,
  // and "%"s that a second decoding would read again).
  if (!method.empty() && !uri.empty() && uri.find('%') == std::string::npos &&
      uri.find('+') == std::string::npos && std::none_of(uri.begin(), uri.end(), IsBlank) &&
      !protocol.empty() && std::none_of(protocol.begin(), protocol.end(), IsBlank)) {
    std::string method2;
    std::string uri2;
    std::string protocol2;
    std::int32_t major2 = -1;
    std::int32_t minor2 = -1;
    ParseRequestLine(ComposeRequestLine(method, uri, protocol, major, minor), method2, uri2, protocol2,
                     major2, minor2);
    VT_FUZZ_CHECK(method2 == method && uri2 == uri);
  }
  return 0;
}
