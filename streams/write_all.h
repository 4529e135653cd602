#pragma once

// The loop behind every "write all of it" helper of writers and streams.

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vt::detail {

// Calls `write(buffer, n)` (returning the bytes it took) until all `count`
// bytes are written, in pieces that fit its 32-bit count. A sink that takes
// fewer bytes is asked again for the rest. False when a write took nothing.
template <typename WriteFn>
bool WriteAll(WriteFn&& write, const char* buffer, int64_t count) {
  constexpr int64_t kMaxPiece = std::numeric_limits<int32_t>::max();
  while (count > 0) {
    const int32_t n = write(buffer, static_cast<int32_t>(std::min(count, kMaxPiece)));
    if (n <= 0) return false;
    buffer += n;
    count -= n;
  }
  return true;
}

}  // namespace vt::detail
