#pragma once

// Millisecond ticks and sleeping.

#include <cstdint>

namespace vt {

// Milliseconds of the monotonic clock, truncated to 32 bits: it wraps about
// every 49.7 days, so compare ticks only by unsigned difference.
std::uint32_t GetTickCount();

// Sleeps `ms` milliseconds; 0 only yields the processor.
void Sleep(std::uint32_t ms);

}  // namespace vt
