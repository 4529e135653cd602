#pragma once

// The protocol texts of HTTP messages: the reason phrase table, request and
// status lines, URL decoding of request URIs, byte ranges, and the HTML page
// sent with error responses.
//
// Whitespace is the bytes 0 to 32; upper- and lower-casing touch ASCII
// letters only. Everything here is pure and thread-safe.

#include <cstdint>
#include <string>
#include <string_view>

#include "util/date_time.h"

namespace vt {

// The product token of this HTTP implementation: it ends every Server field
// and signs the error pages.
inline constexpr std::string_view kHTTPServerToken = "ZO-RIVI/1.09";

// The phrase of a status code from the table of 41 codes; empty for others.
std::string GetReasonPhrase(int32_t code);

// The version text: protocol + "/" + major + "." + minor, or the protocol
// alone (possibly empty) when both numbers are 0 or below.
std::string ComposeVersionText(std::string_view protocol, int32_t major, int32_t minor);

// method + " " + uri, then " " + the version text unless it is empty.
std::string ComposeRequestLine(std::string_view method, std::string_view uri, std::string_view protocol,
                               int32_t major, int32_t minor);

// Splits a request line. The method is the first word, upper-cased. The last
// word of the rest is the version (protocol upper-cased, numbers 0 when
// missing or not numbers); with only one word left there is no version
// (empty protocol, 0.0) and that word is the request target. The target is
// cut at its first "?" before anything is decoded: `uri` gets the path,
// PercentDecode'd (so "%3F" is part of a name and "+" is a plus sign), and
// `query` the rest as sent, still encoded (empty when there is no "?"). A
// target in absolute form ("http://" or "https://", in any case, then the
// host) gives its path as `uri` ("/" when it has none), and its host (with
// any port) to `authority` when given (else that is empty).
void ParseRequestLine(std::string_view line, std::string& method, std::string& uri, std::string& query,
                      std::string& protocol, int32_t& major, int32_t& minor,
                      std::string* authority = nullptr);

// "%" with two hexadecimal digits becomes the byte they give, "%%" one "%";
// any other "%" stays.
std::string PercentDecode(std::string_view text);
// PercentDecode, and "+" becomes a blank: the form encoding of a query.
std::string URLDecode(std::string_view text);

// version text + " " + code + " " + (reason, or the table's phrase when the
// reason is empty).
std::string ComposeStatusLine(int32_t code, std::string_view reason, std::string_view protocol, int32_t major,
                              int32_t minor);

// Splits a status line into version (protocol upper-cased), code (0 when not
// a number) and the trimmed reason.
void ParseStatusLine(std::string_view line, std::string& protocol, int32_t& major, int32_t& minor,
                     int32_t& code, std::string& reason);

// Reads the first range of a Range value "bytes=a-b, c-d, ...": start and end
// are -1 where a number is missing (-1 and n: the last n bytes). True when
// the value is "bytes" (any case), "=" and a list of one or more ranges as
// RFC 9110 14.1.1 writes them ("a-b", "a-", "-n", digits only; empty list
// elements and blanks around elements allowed). Any other value, a range
// whose end lies before its start among them, reads as no range at all:
// false, both -1, so that the field is ignored. Numbers past 63 bits read
// as the largest one.
bool ParseByteRange(std::string_view text, int64_t& start, int64_t& end);

// The bytes a parsed range selects from a body of `size` bytes: the suffix
// form (start -1) the last `end` bytes, the open form (end -1) everything
// from start, otherwise start..end cut at the size. A range that selects
// nothing has a length of 0 or less.
void ComputeByteRange(int64_t size, int64_t start, int64_t end, int64_t& rangeStart, int64_t& length);

// The HTML page of an error response, stamped with the current time. An
// empty server signs it with kHTTPServerToken. Title, text and detail are
// inserted as given, without escaping.
std::string HTMLErrorPage(std::string_view title, std::string_view text, std::string_view detail,
                          std::string_view server);
// The same page stamped with a given local time.
std::string HTMLErrorPage(std::string_view title, std::string_view text, std::string_view detail,
                          std::string_view server, TDateTime generatedLocal);

}  // namespace vt
