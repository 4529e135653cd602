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

// What a line says for a value the request never told: the method and URI
// of a request refused before its line could be read, the Referer and
// User-Agent of one refused before its header could.
inline constexpr std::string_view kMissingLogValue = "-";

// What one request contributes to its log line. The texts are taken from the
// request as received; they are views, and must outlive the expansion.
struct TLogLineFields {
  std::string_view method;
  std::string_view uri;
  // When not empty, $uri$ is uri, "?" and this (the query as sent).
  std::string_view query;
  std::string_view referer;
  std::string_view user_agent;
  // The client's address; a caller looks it up only when the template
  // names it (LogLineUses).
  std::string_view address;
  std::int64_t size = 0;  // bytes of the response written on the connection
  // Bytes of the request's body read (an upload's size as received).
  std::int64_t received = 0;
  int response = 0;  // status code; 0 when no response was made
};

// Request text made safe for one line of a log that people read in a
// terminal or an editor: each byte of what could end the line or act on a
// terminal is written as \xHH, and a backslash as "\\". That is the control
// bytes (0-31, 127), the C1 controls (U+0080 to U+009F in UTF-8, and the raw
// bytes 0x80 to 0x9F outside a valid UTF-8 sequence, which 8-bit terminals
// obey) and the line and paragraph separators U+2028 and U+2029. Every
// other byte, valid UTF-8 or not, is kept.
std::string EscapeLogText(std::string_view text);
// The same, appended to `out`.
void AppendEscapedLogText(std::string& out, std::string_view text);

// Expands `log_format` (the default template when empty) for one request at
// local time `now`: $date$ (dd-mm-yyyy), $time$ (hh:mm:ss), $method$,
// $size$, $uri$, $referer$, $useragent$, $response$ and $address$ are
// replaced by their values; misspelt or differently cased variables stay as
// written.
//
// The template is expanded in one pass: only the template's own text is
// searched for variables, never a value put in, so a request cannot make
// its line longer than the template plus one value per variable. Where the
// template's variables overlap ("$time$date$"), they are found as replacing
// them in the order above finds them.
std::string ExpandLogLine(std::string_view log_format, TDateTime now, const TLogLineFields& fields);
// The variables of a template, in the order above.
enum class TLogVariable {
  kDate,
  kTime,
  kMethod,
  kSize,
  kUri,
  kReferer,
  kUserAgent,
  kResponse,
  kAddress,
  kReceived
};

// Whether `log_format` (the default template when empty) has the variable:
// a caller need not look up a value that goes nowhere.
bool LogLineUses(std::string_view log_format, TLogVariable variable);
// Every variable the template has at once: bit 1 << variable for each.
std::uint32_t LogLineVariables(std::string_view log_format);

// The same line appended to `out`, for the time `now` taken apart (a worker
// builds its lines in a buffer of its own, with the time of the second).
void AppendLogLine(std::string& out, std::string_view log_format, const TDateTimeParts& now,
                   const TLogLineFields& fields);

}  // namespace vt
