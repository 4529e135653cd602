#pragma once

// The access log line: a user-editable template whose variables are written
// between dollar signs ("$date$ $time$ $response$ $size$ $method$ $uri$").
//
// Pure text work; safe on any thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "util/date_time.h"

namespace vt {

// The template used when the setting is empty.
inline constexpr const char* kDefaultLogFormat = "$date$ $time$ $response$ $size$ $method$ $uri$";

// What one request contributes to its log line. The texts are taken from the
// request as received.
struct TLogLineFields {
  std::string method;
  std::string uri;
  std::string referer;
  std::string user_agent;
  std::int64_t size = 0;  // bytes of the response written on the connection
  int response = 0;       // status code; 0 when no response was made
};

// Request text with its control bytes (0-31, 127) written as \xHH and a
// backslash as "\\", so that one request is always one line and nothing in
// it acts on a terminal.
std::string EscapeLogText(std::string_view text);

// Expands `log_format` (the default template when empty) for one request at
// local time `now`. The variables are replaced in this order, each wherever it
// occurs (case-sensitive, left to right): $date$ (dd-mm-yyyy), $time$
// (hh:mm:ss), $method$, $size$, $uri$, $referer$, $useragent$, $response$.
// A later variable is also replaced inside text inserted for an earlier one;
// misspelt or differently cased variables stay as written.
std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields);

}  // namespace vt
