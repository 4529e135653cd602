#include "http/url.h"

#include "http/http_text.h"
#include "util/paths.h"
#include "util/text.h"

namespace vt {

using detail::Trimmed;

namespace {

constexpr auto npos = std::string_view::npos;

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return TextHasPrefix(prefix, text, false);
}

// The host is the text up to the first "/", the path the rest from that "/"
// on; without a "/" all of it is the host.
void SplitAtFirstSlash(std::string_view text, std::string& host, std::string& path) {
  const size_t slash = text.find('/');
  if (slash == npos) {
    host = text;
    path.clear();
  } else {
    host = text.substr(0, slash);
    path = text.substr(slash);
  }
}

}  // namespace

void SplitURL(std::string_view url, std::string& scheme, std::string& host, std::string& path) {
  scheme.clear();
  host.clear();
  path.clear();
  const std::string text = Trimmed(url);
  if (text.empty()) return;
  if (ParsePathURL(text, scheme, host, path)) return;
  if (ParseHTTPURL(text, scheme, host, path)) return;
  if (ParseMailtoURL(text, scheme, host, path)) return;
  if (ParseFileURL(text, scheme, host, path)) return;
  ParseGenericURL(text, scheme, host, path);
}

bool ParsePathURL(std::string_view text, std::string&, std::string& host, std::string& path) {
  if (text.empty() || text == "*" || text == "/" || text.starts_with("../") || text.starts_with("./")) {
    path = text;
    return true;
  }
  if (text.front() != '/') return false;
  if (text.starts_with("//")) {
    SplitAtFirstSlash(text.substr(2), host, path);
  } else {
    path = text;
  }
  return true;
}

bool ParseHTTPURL(std::string_view text, std::string& scheme, std::string& host, std::string& path) {
  if (StartsWithFolded(text, "http:")) {
    scheme = "http";
  } else if (StartsWithFolded(text, "https:")) {
    scheme = "https";
  } else {
    return false;
  }
  std::string_view rest = text.substr(text.find(':') + 1);
  if (rest.starts_with("//")) rest.remove_prefix(2);
  SplitAtFirstSlash(rest, host, path);
  return true;
}

bool ParseMailtoURL(std::string_view text, std::string& scheme, std::string& host, std::string&) {
  std::string_view address;
  if (StartsWithFolded(text, "mailto:")) {
    address = text.substr(7);
  } else if (text.find_first_of("/:\\") == npos && text.find('@') != npos && text.find('@') > 0) {
    address = text;
  } else {
    return false;
  }
  scheme = "mailto";
  host = Trimmed(address);
  return true;
}

bool ParseFileURL(std::string_view text, std::string& scheme, std::string&, std::string& path) {
  std::string local;
  if (StartsWithFolded(text, "file:")) {
    local = FileURLPathToPath(text.substr(5));
  } else if (text.starts_with('\\') || (PathStartsWithDrive(text) && text.size() > 2 && text[2] == '\\')) {
    local = text;
  } else {
    return false;
  }
  scheme = "file";
  path = CanonicalizePath(local, '\\');
  return true;
}

bool ParseGenericURL(std::string_view text, std::string& scheme, std::string& host, std::string& path) {
  const size_t separator = text.find("://");
  const size_t firstSlash = text.find('/');
  if (separator != npos && firstSlash == separator + 1) {
    scheme = Trimmed(text.substr(0, separator));
    SplitAtFirstSlash(text.substr(separator + 3), host, path);
    host = Trimmed(host);
    path = Trimmed(path);
    return true;
  }
  const size_t colon = text.find(':');
  if (colon == npos || firstSlash < colon) {
    path = text;
    return true;
  }
  const std::string_view afterColon = text.substr(colon + 1);
  if (IsAllDigits(afterColon.substr(0, afterColon.find('/')))) {
    // host:port, not a scheme.
    SplitAtFirstSlash(text, host, path);
    return true;
  }
  scheme = Trimmed(text.substr(0, colon));
  SplitAtFirstSlash(afterColon, host, path);
  return true;
}

std::string ComposeURL(std::string_view scheme, std::string_view host, std::string_view path) {
  std::string url;
  if (!scheme.empty()) {
    url = scheme;
    url += (TextEqualFolded(scheme, "http") || TextEqualFolded(scheme, "https")) ? "://" : ":";
  }
  url += host;
  if (!path.empty()) {
    if (std::string_view(",/:@\\").find(path.front()) == npos) url += '/';
    url += path;
  }
  return url;
}

void SplitHostPort(std::string_view text, std::string_view defaultPort, std::string& host,
                   std::string& port) {
  const TTextCut cut = CutAtByte(text, ':', true);
  host = Trimmed(cut.left);
  port = Trimmed(cut.right);
  if (port.empty()) port = defaultPort;
}

}  // namespace vt
