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
// `script_file_name` published below `document_root`. REQUEST_URI and
// SCRIPT_NAME are the decoded path, QUERY_STRING the query as it came in
// the request target, still encoded (CGI/1.1: the program decodes it).
void BuildCGIEnvironment(std::vector<std::string>& list, ThttpRequest& request,
                         const TCGIConnectionInfo& info, std::string_view document_root,
                         std::string_view script_file_name);

// A local date-time as "December, 6, 2026" (full month name, day without a
// leading zero, four-digit year).
std::string FormatCGIDate(double date_time);

}  // namespace vt
