#pragma once

// TSequenceLock: a few values that one side writes now and then and other
// threads read often, without either side ever waiting for the other.
//
// Writer protocol. Writers are kept apart by their caller (a single writing
// thread, or a mutex around every write). A write is
//     lock.BeginWrite();  field.Store(...); ...  lock.EndWrite();
// BeginWrite makes the count odd; each field is stored releasing, so a
// reader that sees a new value also sees the odd count stored before it;
// EndWrite makes the count even again, releasing every field before it.
//
// Reader protocol. Read runs the caller's reading of the fields between two
// looks at the count, and accepts it when the count was even and had not
// moved: then no write overlapped the reading, and every value read belongs
// to the same write. A reader that keeps meeting writes gives up after a
// number of tries the caller picks, and does without (a display shows
// nothing, a check falls back to the slow way).
//
// Every field is an atomic (TSequenced), so a reading that overlaps a write
// is no data race: ThreadSanitizer stays quiet, and the compiler cannot
// assume values stay put. Storing and loading a field costs what a plain
// store and load do on x86. A reading that is rejected may have seen values
// of two writes mixed: it must not act on them before Read says it stands.

#include <atomic>
#include <cstdint>

namespace vt {

// A field guarded by a TSequenceLock.
template <typename T>
class TSequenced {
 public:
  static_assert(std::atomic<T>::is_always_lock_free, "a field is read while it is written");
  TSequenced() = default;
  explicit TSequenced(T value) : value_(value) {}
  TSequenced(const TSequenced&) = delete;
  TSequenced& operator=(const TSequenced&) = delete;

  // Writer, between BeginWrite and EndWrite.
  void Store(T value) { value_.store(value, std::memory_order_release); }
  // Reader, inside TSequenceLock::Read.
  T Load() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<T> value_{};
};

class TSequenceLock {
 public:
  // --- Writer ---
  void BeginWrite() {
    const std::uint32_t count = count_.load(std::memory_order_relaxed);
    count_.store(count + 1, std::memory_order_relaxed);
  }
  void EndWrite() {
    const std::uint32_t count = count_.load(std::memory_order_relaxed);
    count_.store(count + 1, std::memory_order_release);
  }

  // --- Reader ---
  // Calls read() until it runs with no write overlapping it, at most
  // `tries` times; true when one reading stands.
  template <typename Reading>
  bool Read(int tries, Reading&& read) const {
    for (int attempt = 0; attempt < tries; ++attempt) {
      const std::uint32_t before = count_.load(std::memory_order_acquire);
      if (before & 1) continue;
      // The fields are loaded acquiring: the second look at the count
      // cannot come before them.
      read();
      if (count_.load(std::memory_order_relaxed) == before) return true;
    }
    return false;
  }

 private:
  std::atomic<std::uint32_t> count_{0};
};

}  // namespace vt
