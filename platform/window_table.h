#pragma once

// The window tables of the event queue (platform/event_queue.cpp); not for
// use elsewhere.
//
// TWindowTable, one per process: which queue owns a window.
//  - A window number is handed out once (a 64-bit count from 1): a message
//    for a window that has gone finds no entry, never a newcomer's.
//  - An entry names a queue that is still open: a queue removes its entries
//    when it closes, before it can go, and removing takes the lock
//    exclusively. So the queue of an entry found under the shared lock (With)
//    may be used until the lock is let go of, without keeping it alive.
//  - An entry is added after the window is in its queue's own table
//    (TQueueWindows) and removed before it leaves it: a queue found here
//    knows the window, or has just forgotten it (its messages are dropped).
//
// TQueueWindows, one per queue: the object behind each window of the queue.
//  - Guarded by the queue's state lock, which it is given; only the owner's
//    look-up (Target) may skip it.
//  - Every removal moves changes_ (an addition need not: a look-up that found
//    nothing is not kept). The owner keeps its last look-up with the count it
//    saw, and while the count has not moved the look-up stands without the
//    lock.
//  - The object behind a window is not kept alive by the table: it is
//    destroyed only while its thread dispatches nothing (see TWindowHandle).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "platform/event_queue.h"

namespace vt {
namespace event_queue_detail {

class TWindowTable {
 public:
  // The process's table; never destroyed, since queues of threads that end
  // during the process's exit still use it.
  static TWindowTable& Process();

  HWindow NewWindow() { return next_window_.fetch_add(1, std::memory_order_relaxed); }
  void Add(HWindow window, EventQueue* queue);
  void Remove(HWindow window);
  void Remove(const std::vector<HWindow>& windows);
  bool Exists(HWindow window) const;

  // Calls fn(EventQueue&) with the queue of `window` while its entry is
  // held; returns what it returns, or `absent` when there is no entry.
  template <typename Result, typename Fn>
  Result With(HWindow window, Result absent, Fn&& fn) const {
    std::shared_lock lock(mutex_);
    auto it = table_.find(window);
    if (it == table_.end()) return absent;
    return fn(*it->second);
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<HWindow, EventQueue*> table_;
  std::atomic<std::uint64_t> next_window_{1};
};

class TQueueWindows {
 public:
  explicit TQueueWindows(std::mutex& state_lock) : lock_(state_lock) {}
  TQueueWindows(const TQueueWindows&) = delete;
  TQueueWindows& operator=(const TQueueWindows&) = delete;

  // --- With the state lock held ---
  void AddLocked(HWindow window, TWindowHandle* object) { objects_[window] = object; }
  void RemoveLocked(HWindow window) {
    if (objects_.erase(window) != 0) changes_.fetch_add(1, std::memory_order_release);
  }
  // Removes them all; returns the windows that were there.
  std::vector<HWindow> ClearLocked();
  bool EmptyLocked() const { return objects_.empty(); }
  std::vector<HWindow> ListLocked() const;

  // --- Owner thread ---
  // The object of `window`, or null. Inline: the check of the last look-up
  // is on the path of every message.
  TWindowHandle* Target(HWindow window) {
    if (window == last_window_ && changes_.load(std::memory_order_acquire) == last_changes_)
      return last_target_;
    return LookUp(window);
  }

 private:
  TWindowHandle* LookUp(HWindow window);

  std::mutex& lock_;
  std::unordered_map<HWindow, TWindowHandle*> objects_;
  std::atomic<std::uint64_t> changes_{0};

  // The owner's last look-up.
  HWindow last_window_ = 0;
  TWindowHandle* last_target_ = nullptr;
  std::uint64_t last_changes_ = 0;
};

}  // namespace event_queue_detail
}  // namespace vt
