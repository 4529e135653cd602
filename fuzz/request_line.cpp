// The request line as a connection delivers it: split into method, target
// and version, the target cut into its path (percent-decoded) and its query
// (as sent), and parsed into a request the way the server makes one. A
// target in absolute form gives its path, which is what is served, and its
// host, which becomes the Host field; any other target has no host.

#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "http/message.h"
#include "http/protocol.h"
#include "util/text.h"

using namespace vt;

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line = fuzz::AsText(data, size);

  const std::string decoded = URLDecode(line);
  VT_FUZZ_CHECK(decoded.size() <= line.size());
  if (line.find_first_of("%+") == std::string_view::npos) VT_FUZZ_CHECK(decoded == line);
  const std::string path_decoded = PercentDecode(line);
  VT_FUZZ_CHECK(path_decoded.size() <= line.size());
  if (line.find('%') == std::string_view::npos) VT_FUZZ_CHECK(path_decoded == line);

  std::string method;
  std::string uri;
  std::string query;
  std::string protocol;
  std::int32_t major = -1;
  std::int32_t minor = -1;
  std::string authority = "?";
  ParseRequestLine(line, method, uri, query, protocol, major, minor, &authority);
  // The host is a piece of the line as sent, after the scheme; the path
  // then starts at a "/" (decoding keeps the first byte of a path).
  if (!authority.empty()) {
    VT_FUZZ_CHECK(line.find("://" + authority) != std::string_view::npos);
    VT_FUZZ_CHECK(!uri.empty() && uri.front() == '/');
  }
  VT_FUZZ_CHECK(authority.find_first_of("/?") == std::string::npos);
  for (const char c : method) VT_FUZZ_CHECK(!(c >= 'a' && c <= 'z') && !IsBlank(c));
  for (const char c : protocol) VT_FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
  VT_FUZZ_CHECK(method.size() + uri.size() + query.size() + protocol.size() <= line.size());
  // The query is a piece of the line as sent, never decoded.
  VT_FUZZ_CHECK(line.find(query) != std::string_view::npos);

  // The server's own path: nothing here may raise.
  ThttpRequest request(std::string(line), std::string(), nullptr);
  VT_FUZZ_CHECK(request.Method == method);
  VT_FUZZ_CHECK(request.URI == uri);
  VT_FUZZ_CHECK(request.Query == query);
  VT_FUZZ_CHECK(request.Protocol() == protocol);
  VT_FUZZ_CHECK(request.TargetHost == authority);
  // The line composed again from the fields parses to the same fields, as
  // long as the decoded path is a single word without "?" that does not
  // look like an absolute target (decoding may bring in blanks, "?"s, "%"s
  // that a second decoding would read again, and a scheme: "http:%2F/").
  if (!method.empty() && !uri.empty() && uri.find_first_of("%?") == std::string::npos &&
      !TextHasPrefix("http://", uri, false) && !TextHasPrefix("https://", uri, false) &&
      std::none_of(uri.begin(), uri.end(), IsBlank) && std::none_of(query.begin(), query.end(), IsBlank) &&
      !protocol.empty() && std::none_of(protocol.begin(), protocol.end(), IsBlank)) {
    std::string method2;
    std::string uri2;
    std::string query2;
    std::string protocol2;
    std::int32_t major2 = -1;
    std::int32_t minor2 = -1;
    ParseRequestLine(
        ComposeRequestLine(method, query.empty() ? uri : uri + "?" + query, protocol, major, minor), method2,
        uri2, query2, protocol2, major2, minor2);
    VT_FUZZ_CHECK(method2 == method && uri2 == uri && query2 == query);
  }
  return 0;
}
