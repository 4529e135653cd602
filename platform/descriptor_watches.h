#pragma once

// The descriptor watches of the event queue (platform/event_queue.cpp); not
// for use elsewhere.
//
// TWatch: one registration of a descriptor with a queue's epoll instance,
// which hands the watch's address back with every event of the descriptor.
//
// TDescriptorWatches, one per queue:
//  - Guarded by the queue's state lock, which it is given; only the owner's
//    look-up (Find) and its check for ended watches may skip it.
//  - At most one live watch per descriptor.
//  - Ending a watch (any thread) marks it ended and moves it to the ended
//    list; it is not freed there: an event the owner has taken, or a look-up
//    it has made, may still point at it. Only the owner frees ended watches,
//    as it starts a collection (FreeEnded), when nothing it took before is
//    in hand any more. Events for an ended watch are dropped.
//  - Every start and end of a watch moves changes_. The owner keeps its last
//    look-up with the count it saw, and while the count has not moved the
//    look-up stands without the lock.
//
// TWatchOwners, one per process: which queue watches a descriptor, so that
// any thread can end a watch knowing only the descriptor. It holds the
// queues weakly: a queue that has closed has forgotten its watches.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/event_queue.h"

namespace vt {
namespace event_queue_detail {

struct TWatch {
  TWatch(int watched_fd, std::shared_ptr<IoWatcher> its_watcher)
      : fd(watched_fd), watcher(std::move(its_watcher)) {}
  const int fd;
  const std::shared_ptr<IoWatcher> watcher;
  std::atomic<bool> ended{false};
};

class TDescriptorWatches {
 public:
  explicit TDescriptorWatches(std::mutex& state_lock) : lock_(state_lock) {}
  TDescriptorWatches(const TDescriptorWatches&) = delete;
  TDescriptorWatches& operator=(const TDescriptorWatches&) = delete;

  // --- With the state lock held ---
  // Starts the watch of its descriptor, ending an earlier one.
  void AddLocked(std::unique_ptr<TWatch> watch);
  // Ends the watch of `fd`, if any.
  void EndLocked(int fd);
  bool EmptyLocked() const { return live_.empty(); }
  // Takes every watch, live and ended, for the caller to free outside the
  // lock (the queue closes; its owner holds nothing of them any more).
  void TakeAllLocked(std::vector<std::unique_ptr<TWatch>>& out);

  // --- Owner thread ---
  // The live watch of `fd`, or null; valid until FreeEnded. Inline: the
  // check of the last look-up is on the path of every socket operation.
  TWatch* Find(int fd) {
    if (fd == last_fd_ && changes_.load(std::memory_order_acquire) == last_changes_) return last_watch_;
    return LookUp(fd);
  }
  // Frees the watches ended so far. Costs no lock when there are none.
  void FreeEnded() {
    if (has_ended_.load(std::memory_order_acquire)) FreeEndedNow();
  }

 private:
  void EndWatchLocked(std::unique_ptr<TWatch> watch);
  void FreeEndedNow();
  TWatch* LookUp(int fd);

  std::mutex& lock_;
  std::unordered_map<int, std::unique_ptr<TWatch>> live_;
  std::vector<std::unique_ptr<TWatch>> ended_;
  // ended_ is not empty; read by the owner without the lock.
  std::atomic<bool> has_ended_{false};
  std::atomic<std::uint64_t> changes_{0};

  // The owner's last look-up; the count starts where none can match it.
  int last_fd_ = -1;
  TWatch* last_watch_ = nullptr;
  std::uint64_t last_changes_ = ~std::uint64_t{0};
};

class TWatchOwners {
 public:
  // The process's table; never destroyed (see TWindowTable::Process).
  static TWatchOwners& Process();

  void Set(int fd, std::shared_ptr<EventQueue> queue);
  // Forgets the owner of `fd` and returns it (null when none, or when it has
  // gone).
  std::shared_ptr<EventQueue> Take(int fd);

 private:
  std::mutex mutex_;
  std::unordered_map<int, std::weak_ptr<EventQueue>> owners_;
};

}  // namespace event_queue_detail
}  // namespace vt
