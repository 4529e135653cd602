#pragma once

// Small text helpers shared by the HTTP sources (not part of the interface
// other subsystems use). Whitespace is the bytes 0 to 32.

#include <cstring>
#include <string>
#include <string_view>

#include "util/byte_set.h"
#include "util/text.h"

namespace vt::detail {

inline const ByteSet& HttpWhitespace() {
  static const ByteSet set = ByteSet::Whitespace();
  return set;
}

// The same bytes as HttpWhitespace, told without the set.
inline bool IsHttpWhitespace(char c) { return static_cast<unsigned char>(c) <= 32; }

inline std::string Trimmed(std::string_view s) { return TrimSet(s, HttpWhitespace()); }

// Trimmed without a copy: a view of `s` without its whitespace at either end.
inline std::string_view TrimmedView(std::string_view s) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The value of a hexadecimal digit (either case), -1 for any other byte.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends "name: value" and CR LF in one step: room made once, the pieces
// copied in (every header line of every answer goes through here).
inline void AppendHeaderLine(std::string& out, std::string_view name, std::string_view value) {
  const std::size_t at = out.size();
  out.resize(at + name.size() + value.size() + 4);
  char* p = out.data() + at;
  if (!name.empty()) std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = ':';
  *p++ = ' ';
  if (!value.empty()) std::memcpy(p, value.data(), value.size());
  p += value.size();
  *p++ = '\r';
  *p = '\n';
}

inline std::string TrimmedLower(std::string_view s) {
  std::string text = Trimmed(s);
  AsciiLowerInPlace(text);
  return text;
}

}  // namespace vt::detail
