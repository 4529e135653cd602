#pragma once

// The environment a CGI/1.1 program receives: one "NAME=value" line per
// variable, built from the request, the connection and the server.
//
// Lines are set with the list's set-value rule (TStringListSetValue): a
// non-empty value replaces the line of that name in place or is appended; an
// empty value deletes the line. A variable with nothing to say is therefore
// never present, and one the list already held is overwritten or removed.
// Names compare without regard to ASCII case.
//
// Pure text work over its arguments; safe on any thread.

#include <string>
#include <string_view>
#include <vector>

namespace vt {

class ThttpRequest;

// What the connection and the server contribute; gathered by the caller
// (the HTTP client) from its sockets and settings.
struct TCGIConnectionInfo {
  std::string remote_addr;      // the peer's address ("192.0.2.1", "::1"); empty when unknown
  std::string remote_host;      // its host name, or the dotted address
  std::string remote_port;      // the peer's port
  std::string remote_user;      // the user the server authenticated; empty: none
  std::string server_port;      // the connection's local port
  std::string server_name;      // the listening address, or the machine's host name
  std::string server_software;  // the application name, without version
  std::string server_admin;
  bool https = false;  // the request came over TLS
};

// Sets `name` to `value` in a list of "NAME=value" lines (see above).
void TStringListSetValue(std::vector<std::string>& list, std::string_view name, std::string_view value);

// Sets the 38 CGI variables, in their order, for `request` and the program
// `script_file_name` published below `document_root`. REQUEST_URI is the
// decoded path, QUERY_STRING the query as it came in the request target,
// still encoded (CGI/1.1: the program decodes it). `path_info` is the end
// of the decoded path that follows the program's own ("/repo/info/refs"
// of "/cgi/git.exe/repo/info/refs"; empty: none): SCRIPT_NAME is the path
// without it, PATH_INFO is it, and PATH_TRANSLATED is where it would lie
// below the document root (PathTranslated).
void BuildCGIEnvironment(std::vector<std::string>& list, ThttpRequest& request,
                         const TCGIConnectionInfo& info, std::string_view document_root,
                         std::string_view script_file_name, std::string_view path_info = {});

// `path_info` mapped below `document_root`: its "." and ".." resolved, and
// "/" as the separator; empty for an empty path and for one whose ".."
// would climb out of the root.
std::string PathTranslated(std::string_view document_root, std::string_view path_info);

// A local date-time as "December, 6, 2026" (full month name, day without a
// leading zero, four-digit year).
std::string FormatCGIDate(double date_time);

}  // namespace vt
