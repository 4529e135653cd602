#pragma once

// Splitting URL texts into scheme, host and path, composing them again, and
// splitting host:port texts.
//
// The splitter knows the schemes "http", "https", "mailto" and "file", a
// generic scheme:host form, and the path-only forms of request lines ("*",
// "/x", "//host/x"). The host keeps a port suffix ("h:8080"). An output that
// does not apply is the empty text. Scheme prefixes compare without regard to
// ASCII case; everything else is exact. Whitespace is the bytes 0 to 32.
//
// All functions are pure and thread-safe.

#include <string>
#include <string_view>

namespace vt {

// Clears the outputs, trims the url and, unless it is empty, tries the form
// parsers below in their order; ParseGenericURL takes what the others decline.
void SplitURL(std::string_view url, std::string& scheme, std::string& host, std::string& path);

// The form parsers: true when the text has their form, and then the outputs
// they apply to are set (the others are left alone).

// "*", "/", "", "./x", "../x", "//host/path", "/path".
bool ParsePathURL(std::string_view text, std::string& scheme, std::string& host, std::string& path);
// "http:" and "https:" (optionally followed by "//") with host and path.
bool ParseHTTPURL(std::string_view text, std::string& scheme, std::string& host, std::string& path);
// "mailto:address", or a bare address: an "@" after the first byte and no
// "/", ":" or "\".
bool ParseMailtoURL(std::string_view text, std::string& scheme, std::string& host, std::string& path);
// "file:" URLs and paths that start with "\" or a drive and "\"; the path is
// canonicalized with "\" as the delimiter.
bool ParseFileURL(std::string_view text, std::string& scheme, std::string& host, std::string& path);
// scheme://host/path, host:port/path, scheme:host/path or a plain path.
// Always applies.
bool ParseGenericURL(std::string_view text, std::string& scheme, std::string& host, std::string& path);

// scheme + "://" (http, https) or ":" (others, when not empty), the host, then
// the path, with a "/" before it unless it starts with ",", "/", ":", "@" or
// "\".
std::string ComposeURL(std::string_view scheme, std::string_view host, std::string_view path);

// Splits at the first ":" and trims both sides; an empty port becomes
// defaultPort.
void SplitHostPort(std::string_view text, std::string_view defaultPort, std::string& host, std::string& port);

}  // namespace vt
