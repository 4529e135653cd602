#pragma once

// TSnapshot<T>: one immutable value that a single writer replaces now and
// then and many threads read all the time.
//
// The writer publishes a whole new value; a reader takes the current one
// as a shared_ptr to const and keeps it for as long as it needs one
// consistent set of values (a request, say), however often the writer
// publishes meanwhile.
//
// Reading is what must be cheap: it happens on every request, publishing
// only when a user changes something. Each thread therefore keeps the last
// value it took, with its version, and a read compares that version with
// the current one (one atomic load); only a thread that has not seen the
// latest value yet takes the lock, once per publication. Versions come from
// one counter of the process, so a version names one value of one holder
// for good, and a thread's kept value can never be mistaken for another
// holder's (the same address may hold a new TSnapshot later).
//
// The kept value is per thread and per T, not per holder: a thread reading
// two holders of the same T in turn takes the lock on each read (still
// correct, just not the fast path). The kept value also keeps its value
// alive until that thread reads again or ends.
//
// Threads: Publish and Current from any thread, several at once; a value
// published later by the same thread is never followed by an older one.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace vt {

namespace snapshot_detail {
// The process's source of versions; 0 is never given out.
inline std::atomic<std::uint64_t> next_version{1};
}  // namespace snapshot_detail

template <typename T>
class TSnapshot {
 public:
  using Value = std::shared_ptr<const T>;

  // Holds `initial` (a default T when none is given).
  explicit TSnapshot(Value initial = std::make_shared<const T>()) { Publish(std::move(initial)); }
  TSnapshot(const TSnapshot&) = delete;
  TSnapshot& operator=(const TSnapshot&) = delete;

  // Makes `value` the current one. A null value is ignored: readers are
  // promised a value.
  void Publish(Value value) {
    if (!value) return;
    const std::uint64_t version = snapshot_detail::next_version.fetch_add(1, std::memory_order_relaxed);
    Value old;
    {
      std::lock_guard lock(mutex_);
      old = std::exchange(current_, std::move(value));
      version_.store(version, std::memory_order_release);
    }
    // The old value is freed (when no reader keeps it) outside the lock.
  }
  void Publish(T value) { Publish(std::make_shared<const T>(std::move(value))); }

  // The current value; never null.
  Value Current() const {
    thread_local TKept kept;
    if (kept.version != version_.load(std::memory_order_acquire)) {
      std::lock_guard lock(mutex_);
      kept.value = current_;
      kept.version = version_.load(std::memory_order_relaxed);
    }
    return kept.value;
  }

 private:
  struct TKept {
    std::uint64_t version = 0;
    Value value;
  };

  mutable std::mutex mutex_;
  Value current_;
  std::atomic<std::uint64_t> version_{0};
};

}  // namespace vt
