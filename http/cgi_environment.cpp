#include "http/cgi_environment.h"

#include <algorithm>

#include "http/message.h"
#include "util/date_time.h"
#include "util/paths.h"
#include "util/text.h"

namespace vt {
namespace {

// The name of a "NAME=value" line: the text before its first "=".
std::string_view LineName(std::string_view line) {
  const std::size_t equals = line.find('=');
  return equals == std::string_view::npos ? line : line.substr(0, equals);
}

}  // namespace

void TStringListSetValue(std::vector<std::string>& list, std::string_view name, std::string_view value) {
  auto it = list.begin();
  while (it != list.end() && !TextEqualFolded(LineName(*it), name)) ++it;
  if (value.empty()) {
    if (it != list.end()) list.erase(it);
    return;
  }
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, '=').append(value);
  if (it != list.end()) {
    *it = std::move(line);
  } else {
    list.push_back(std::move(line));
  }
}

std::string FormatCGIDate(double date_time) {
  const TDateTimeParts parts = DecodeDateTime(date_time);
  return std::string(LongMonthNames[parts.month - 1]) + ", " + std::to_string(parts.day) + ", " +
         PadTextLeft(std::to_string(parts.year), '0', 4, false);
}

std::string PathTranslated(std::string_view document_root, std::string_view path_info) {
  if (path_info.empty()) return std::string();
  std::string path(path_info);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.front() != '/') path.insert(path.begin(), '/');
  // Resolved segment by segment: a ".." with nothing left to climb leaves
  // the root, and maps to nothing.
  std::vector<std::string_view> kept;
  const std::string_view text = path;
  for (std::size_t start = 1; start <= text.size();) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view segment = text.substr(start, end - start);
    if (segment == "..") {
      if (kept.empty()) return std::string();
      kept.pop_back();
    } else if (segment != "." && !segment.empty()) {
      kept.push_back(segment);
    }
    start = end + 1;
  }
  std::string mapped(document_root);
  while (!mapped.empty() && mapped.back() == '/') mapped.pop_back();
  for (const std::string_view segment : kept) mapped.append(1, '/').append(segment);
  if (kept.empty() || path.back() == '/') mapped.push_back('/');
  return mapped;
}

void BuildCGIEnvironment(std::vector<std::string>& list, ThttpRequest& request,
                         const TCGIConnectionInfo& info, std::string_view document_root,
                         std::string_view script_file_name, std::string_view path_info) {
  const std::string& path = request.URI;
  // The program's own path: the path without what follows the program.
  const std::string_view script_name =
      path_info.size() <= path.size() && std::string_view(path).ends_with(path_info)
          ? std::string_view(path).substr(0, path.size() - path_info.size())
          : std::string_view(path);
  const std::string& query = request.Query;

  const std::size_t slash = script_file_name.find_last_of('/');
  const std::string_view document_name =
      slash == std::string_view::npos ? script_file_name : script_file_name.substr(slash + 1);

  const std::string user_password = request.GetBasicCredentials();
  const TTextCut credentials = CutAtByte(user_password, ':', true);

  const auto header = [&request](std::string_view name) {
    return request.Header() ? request.Header()->GetFieldValue(name) : std::string();
  };

  const TDateTime now = NowLocal();
  const TDateTime modified = GetFileDateTime(std::string(script_file_name));

  auto set = [&list](std::string_view name, std::string_view value) {
    TStringListSetValue(list, name, value);
  };
  set("GATEWAY_INTERFACE", "CGI/1.1");
  set("REQUEST_METHOD", request.Method);
  set("REQUEST_URI", path);
  set("DOCUMENT_URI", path);
  set("DOCUMENT_ROOT", document_root);
  set("DOCUMENT_NAME", document_name);
  set("PATH_INFO", path_info);
  set("PATH_TRANSLATED", PathTranslated(document_root, path_info));
  set("QUERY_STRING", query);
  set("CONTENT_LENGTH", std::to_string(request.GetContentLength() < 0 ? 0 : request.GetContentLength()));
  set("CONTENT_TYPE", header("Content-Type"));
  set("HTTP_REFERER", header("Referer"));
  set("HTTP_USER_AGENT", header("User-Agent"));
  set("HTTP_ACCEPT", header("Accept"));
  set("HTTP_IF_MODIFIED_SINCE", header("If-Modified-Since"));
  set("HTTP_PRAGMA", header("Pragma"));
  set("HTTP_HOST", request.GetHost());
  set("HTTP_COOKIE", header("Cookie"));
  set("HTTPS", info.https ? "on" : "");
  set("REMOTE_ADDR", info.remote_addr);
  set("REMOTE_HOST", info.remote_host);
  set("REMOTE_PORT", info.remote_port);
  set("REMOTE_IDENT", "");
  set("REMOTE_USER", info.remote_user);
  set("SERVER_ADMIN", info.server_admin);
  set("SERVER_PROTOCOL", request.GetVersionText());
  set("SERVER_PORT", info.server_port);
  set("SERVER_NAME", info.server_name);
  set("SERVER_ADDR", info.server_name);
  set("SERVER_SOFTWARE", info.server_software);
  set("SCRIPT_FILENAME", script_file_name);
  set("SCRIPT_NAME", script_name);
  set("USER_NAME", credentials.left);
  set("USER_PASSWORD", credentials.right);
  set("AUTH_TYPE", user_password.empty() ? "" : "Basic");
  set("DATE_LOCAL", FormatCGIDate(now));
  set("DATE_GMT", FormatCGIDate(LocalToGMT(now)));
  set("LAST_MODIFIED", modified == 0 ? std::string() : FormatCGIDate(modified));
}

}  // namespace vt
