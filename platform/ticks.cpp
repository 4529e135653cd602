#include "platform/ticks.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace vt {

std::uint32_t GetTickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms =
      static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void Sleep(std::uint32_t ms) {
  if (ms == 0) {
    ::sched_yield();
    return;
  }
  timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace vt
