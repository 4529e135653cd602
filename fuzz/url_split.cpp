// URL texts as requests carry them: split into scheme, host and path,
// composed again, and host:port texts (the Host field).
//
// For http and https URLs the split and the composition are inverses after
// one round: splitting the composed URL gives the same parts.

#include <string>

#include "fuzz/fuzz_support.h"
#include "http/url.h"

using namespace vt;

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

bool IsTrimmed(const std::string& text) {
  return text.empty() || (!IsBlank(text.front()) && !IsBlank(text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view url = fuzz::AsText(data, size);

  std::string scheme;
  std::string host;
  std::string path;
  SplitURL(url, scheme, host, path);
  const std::string composed = ComposeURL(scheme, host, path);
  if (scheme == "http" || scheme == "https") {
    VT_FUZZ_CHECK(path.empty() || path.front() == '/');
    std::string scheme2;
    std::string host2;
    std::string path2;
    SplitURL(composed, scheme2, host2, path2);
    VT_FUZZ_CHECK(scheme2 == scheme && host2 == host && path2 == path);
  }

  std::string hostPart;
  std::string port;
  SplitHostPort(url, "80", hostPart, port);
  VT_FUZZ_CHECK(IsTrimmed(hostPart) && IsTrimmed(port));
  VT_FUZZ_CHECK(!port.empty());
  if (url.find(':') == std::string_view::npos) VT_FUZZ_CHECK(port == "80");
  return 0;
}
