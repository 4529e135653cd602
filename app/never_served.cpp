#include "app/never_served.h"

#include <ctime>

namespace vt {

bool IsSameFileAsAny(const struct stat& found, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && status.st_dev == found.st_dev && status.st_ino == found.st_ino)
      return true;
  }
  return false;
}

TNeverServed::TNeverServed(std::vector<std::string> paths) : paths_(std::move(paths)) {}

void TNeverServed::Refresh() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  RefreshAsOf(now.tv_sec);
}

void TNeverServed::RefreshAsOf(std::int64_t now_s) {
  if (paths_.size() > kMaxFiles) return;
  std::lock_guard lock(refresh_lock_);
  // The names are looked up after the time is taken: a change after the
  // look-up stamps its file with a time not before it.
  std::array<struct stat, kMaxFiles> found{};
  std::uint32_t present = 0;
  for (std::size_t i = 0; i < paths_.size(); ++i)
    if (::stat(paths_[i].c_str(), &found[i]) == 0) present |= 1u << i;

  // The odd count is set before any field changes (the increment acquires,
  // so no store below comes before it); a reader that sees a new field
  // also sees that count (the fields are stored releasing), and one that
  // sees the even count after sees every new field.
  const std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_acquire);
  taken_at_s_.store(now_s, std::memory_order_release);
  present_.store(present, std::memory_order_release);
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    identities_[i].device.store(found[i].st_dev, std::memory_order_release);
    identities_[i].inode.store(found[i].st_ino, std::memory_order_release);
  }
  sequence_.store(sequence + 2, std::memory_order_release);
}

bool TNeverServed::Holds(const struct stat& found) const {
  // A refresh takes a few microseconds; a reader that meets one this often
  // in a row is better off asking the file system.
  constexpr int kTries = 4;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    const std::uint64_t before = sequence_.load(std::memory_order_acquire);
    if (before & 1) continue;
    // Acquiring loads: the second look at the count cannot come before
    // them.
    const std::int64_t taken_at = taken_at_s_.load(std::memory_order_acquire);
    const std::uint32_t present = present_.load(std::memory_order_acquire);
    bool same = false;
    for (std::size_t i = 0; i < paths_.size() && i < kMaxFiles; ++i) {
      if ((present & (1u << i)) && identities_[i].device.load(std::memory_order_acquire) == found.st_dev &&
          identities_[i].inode.load(std::memory_order_acquire) == found.st_ino)
        same = true;
    }
    if (sequence_.load(std::memory_order_relaxed) != before) continue;
    // A file changed (made, renamed, linked, unlinked) since shortly before
    // the snapshot may have become one of the files, or stopped being one.
    if (taken_at == kNever || static_cast<std::int64_t>(found.st_ctime) >= taken_at - kChangeTimeMarginS) break;
    return same;
  }
  return IsSameFileAsAny(found, paths_);
}

}  // namespace vt
