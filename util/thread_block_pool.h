#pragma once

// A thread's store of freed memory blocks of one size, for objects made and
// freed once a request or so: a block taken back from the store costs no
// call into the allocator. A block freed on another thread than the one that
// took it joins that other thread's store: memory is memory. Once the
// thread's store is gone (at the thread's end) blocks go straight back.
// Sanitizer builds keep none, so that a use after free is still seen.

#include <cstddef>
#include <new>

namespace vt {

template <std::size_t BlockSize, int Kept>
class TThreadBlockPool {
 public:
  static void* Allocate() {
    if (!gone_ && store_.count > 0) return store_.slots[--store_.count];
    return ::operator new(BlockSize);
  }

  static void Free(void* block) noexcept {
    if (!gone_ && store_.count < kKept) {
      store_.slots[store_.count++] = block;
      return;
    }
    ::operator delete(block);
  }

 private:
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr int kKept = 0;
#else
  static constexpr int kKept = Kept;
#endif

  struct Store {
    void* slots[kKept > 0 ? kKept : 1];
    int count = 0;
    ~Store() {
      gone_ = true;
      while (count > 0) ::operator delete(slots[--count]);
    }
  };

  static inline thread_local bool gone_ = false;
  static inline thread_local Store store_;
};

}  // namespace vt
