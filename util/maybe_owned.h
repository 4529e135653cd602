#pragma once

// TMaybeOwned<T>: a pointer that either owns what it points to or only
// borrows it, and frees it on the way out only in the first case.
//
// Several objects are handed something they sometimes own and sometimes
// share with its real owner (a stream and its socket, a reader proxy and
// the reader under it, a message copy and its prototype's body reader).
// Keeping the pointer and the flag in one object makes both go together:
// taking a new pointer frees the old one when it was owned, and no path can
// forget the delete or do it twice.
//
// It reads as the raw pointer it holds (->, *, conversion to T*), so code
// that only uses the object does not care who owns it. It can be moved, not
// copied. Not thread-safe: used by the thread that uses its owner.

#include <memory>
#include <utility>

namespace vt {

template <typename T>
class TMaybeOwned {
 public:
  TMaybeOwned() noexcept = default;
  TMaybeOwned(T* pointer, bool owned) noexcept : pointer_(pointer), owned_(owned && pointer != nullptr) {}
  explicit TMaybeOwned(std::unique_ptr<T> owned) noexcept : TMaybeOwned(owned.release(), true) {}
  ~TMaybeOwned() { Free(); }

  TMaybeOwned(TMaybeOwned&& other) noexcept
      : pointer_(std::exchange(other.pointer_, nullptr)), owned_(std::exchange(other.owned_, false)) {}
  TMaybeOwned& operator=(TMaybeOwned&& other) noexcept {
    if (this != &other) {
      Free();
      pointer_ = std::exchange(other.pointer_, nullptr);
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }
  TMaybeOwned(const TMaybeOwned&) = delete;
  TMaybeOwned& operator=(const TMaybeOwned&) = delete;

  // Takes `owned`, freeing what was owned before.
  void Own(std::unique_ptr<T> owned) noexcept { *this = TMaybeOwned(std::move(owned)); }
  // Points at `borrowed` without owning it, freeing what was owned before.
  // Borrowing what it owns already keeps it owned (nothing is freed under
  // the caller).
  void Borrow(T* borrowed) noexcept {
    if (borrowed != pointer_) *this = TMaybeOwned(borrowed, false);
  }
  // Frees what is owned; null after.
  void Reset() noexcept { *this = TMaybeOwned(); }

  T* Get() const noexcept { return pointer_; }
  bool Owns() const noexcept { return owned_; }
  T* operator->() const noexcept { return pointer_; }
  T& operator*() const noexcept { return *pointer_; }
  // NOLINTNEXTLINE(google-explicit-constructor): used wherever the pointer was.
  operator T*() const noexcept { return pointer_; }

 private:
  void Free() noexcept {
    if (owned_) delete pointer_;
  }

  T* pointer_ = nullptr;
  bool owned_ = false;
};

}  // namespace vt
