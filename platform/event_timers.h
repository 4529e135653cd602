#pragma once

// The timers of one event queue (platform/event_queue.cpp); not for use
// elsewhere.
//
// A timer (window, id) ticks every interval by posting kTimerMessage to its
// window, through the queue's batch. What it keeps:
//  - Guarded by the queue's state lock, which it is given; only the owner's
//    check for timers (MayHaveTimers) skips it.
//  - At most one timer per (window, id); setting it again changes it.
//  - A timer whose tick is pending (in a batch, not taken yet) is not due
//    again until the tick is taken (TickTaken): at most one tick of a timer
//    waits at a time, and the next interval counts from when it was queued.
//  - The timerfd is armed for the earliest due time of the timers without a
//    pending tick, or earlier: an earlier arming that fires re-arms for the
//    rest. armed_ns_ is when it fires, 0 when it is not armed.
//  - has_timers_ says the list is not empty. The owner reads it without the
//    lock before it collects due ticks; a timer added meanwhile arms the
//    timerfd, and its readiness makes the owner look again.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/event_queue.h"

namespace vt {
namespace event_queue_detail {

class TEventTimers {
 public:
  explicit TEventTimers(std::mutex& state_lock) : lock_(state_lock) {}
  ~TEventTimers();
  TEventTimers(const TEventTimers&) = delete;
  TEventTimers& operator=(const TEventTimers&) = delete;

  // Makes the timerfd; returns 0 or an errno value.
  int Open();
  int Descriptor() const { return timer_fd_; }

  // --- Any thread, with the state lock held ---
  // Starts or restarts timer `id` of `window`; interval_ms > 0.
  void SetLocked(HWindow window, std::uint32_t id, std::uint32_t interval_ms);
  // False when there was no such timer.
  bool KillLocked(HWindow window, std::uint32_t id);
  void RemoveWindowLocked(HWindow window);
  void ClearLocked();

  // --- Owner thread ---
  // The timerfd was reported readable.
  void Fired();
  bool MayHaveTimers() const { return has_timers_.load(std::memory_order_acquire); }
  // Posts a tick for every due timer without one pending.
  void CollectDue(MessageSink& sink);
  // A tick of (window, id) was taken from the batch: true when its timer
  // still exists (the tick is to be delivered).
  bool TickTaken(HWindow window, std::uint32_t id);

 private:
  struct TTimer {
    HWindow window;
    std::uint32_t id;
    std::int64_t interval_ns;
    std::int64_t due_ns;
    bool pending;  // a tick is queued and not yet taken
  };

  void ArmLocked();
  void CountChangedLocked() { has_timers_.store(!timers_.empty(), std::memory_order_release); }

  std::mutex& lock_;
  int timer_fd_ = -1;
  std::vector<TTimer> timers_;
  std::atomic<bool> has_timers_{false};
  std::int64_t armed_ns_ = 0;
};

}  // namespace event_queue_detail
}  // namespace vt
