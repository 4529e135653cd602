#pragma once

// ASCII case folding, the one rule every case-insensitive comparison of the
// system uses: only A-Z and a-z are related; every other byte, bytes above
// 127 included, is its own case. No locale is consulted anywhere.

#include <cstddef>

namespace vt {

constexpr char AsciiToLower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr char AsciiToUpper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

// True when the n bytes at a and b are equal after folding.
constexpr bool AsciiEqualFolded(const char* a, const char* b, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

}  // namespace vt
