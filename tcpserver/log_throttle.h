#pragma once

// TLogThrottle: at most one log line per interval for a kind of event that
// a peer can cause at will (a connection that sends no TLS, say), so that a
// flood of them cannot flood the log. The lines held back are counted and
// told with the next one that goes.
//
// Threads: any; the workers of several connections ask at once.

#include <cstdint>
#include <limits>
#include <mutex>

namespace vt {

class TLogThrottle {
 public:
  explicit TLogThrottle(std::int64_t intervalMs) : interval_(intervalMs) {}

  // Whether a line may go at `nowMs` (a steady clock in milliseconds);
  // when it may, `heldBack` is how many were held back since the last one.
  bool Allow(std::int64_t nowMs, std::int64_t& heldBack) {
    std::lock_guard guard(lock_);
    if (last_ != kNever && nowMs - last_ < interval_) {
      ++held_;
      return false;
    }
    last_ = nowMs;
    heldBack = held_;
    held_ = 0;
    return true;
  }

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
  const std::int64_t interval_;
  std::mutex lock_;
  std::int64_t last_ = kNever;
  std::int64_t held_ = 0;
};

}  // namespace vt
