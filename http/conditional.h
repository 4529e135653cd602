#pragma once

// Conditional and range requests (RFC 9110 §13, §14): what the request's
// If-* and Range fields make of an answer the application gave as 200.
//
// Preconditions apply only to an answer with validators
// (ThttpResponse::ETag, LastModified): the answers made from files have
// them, a CGI program's output has not, and is left to the program. They
// are evaluated in the RFC's order (§13.2.2):
//   1. If-Match (strong comparison) that fails, or, without If-Match, an
//      If-Unmodified-Since older than the modification time: 412.
//   2. If-None-Match (weak comparison) that matches: 304 to GET and HEAD,
//      412 to others; without If-None-Match, an If-Modified-Since not older
//      than the modification time: 304 to GET and HEAD.
//   3. A Range of a request other than HEAD applies (206, or 416 when it
//      selects nothing, ThttpResponse::PrepareHeader) unless an If-Range
//      names another version than the one answered: a strong entity tag
//      that differs, a weak one, or a date other than the modification
//      time. Then the whole body goes as 200, so that a resumed download
//      never joins the bytes of two versions.
// Dates that are no HTTP date are ignored, as the RFC asks.
//
// A 304 has no body and drops the fields that describe one (Content-Type);
// it keeps the validators and LastLines. A 412 carries a short HTML page.
//
// Pure functions of the messages; safe on any thread for messages that
// thread owns.

#include <string_view>

#include "http/message.h"

namespace vt {

// Whether the field value `list` ("*", or entity tags separated by commas)
// holds a tag that matches `etag`: "*" matches any tag; otherwise by strong
// comparison (both tags strong and the same) or by weak comparison (the
// same apart from a "W/"). Members that are no entity tag match nothing.
bool EntityTagListMatches(std::string_view list, std::string_view etag, bool strong);

// Applies the request's preconditions and range to a 200 answer, as above.
// An answer with any other status is left as it is.
void ApplyRequestConditions(const ThttpRequest& request, ThttpResponse& response);

}  // namespace vt
