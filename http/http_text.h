#pragma once

// Small text helpers shared by the HTTP sources (not part of the interface
// other subsystems use). Whitespace is the bytes 0 to 32.

#include <string>
#include <string_view>

#include "util/byte_set.h"
#include "util/text.h"

namespace vt::detail {

inline const ByteSet& HttpWhitespace() {
  static const ByteSet set = ByteSet::Whitespace();
  return set;
}

inline bool IsHttpWhitespace(char c) { return HttpWhitespace().Contains(c); }

inline std::string Trimmed(std::string_view s) { return TrimSet(s, HttpWhitespace()); }

inline std::string TrimmedLower(std::string_view s) {
  std::string text = Trimmed(s);
  AsciiLowerInPlace(text);
  return text;
}

}  // namespace vt::detail
