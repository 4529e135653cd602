#include "app/never_served.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

TNeverServed::~TNeverServed() {
  for (const TKnown& identity : known_) ::close(identity.handle);
}

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
  std::array<int, kMaxFiles> handles{};
  std::uint32_t present = 0;
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    // A descriptor that names the file, so that a former one can be held.
    handles[i] = ::open(paths_[i].c_str(), O_PATH | O_CLOEXEC);
    if (handles[i] >= 0 && ::fstat(handles[i], &found[i]) == 0) {
      present |= 1u << i;
    } else if (handles[i] >= 0) {
      ::close(handles[i]);
      handles[i] = -1;
    }
  }
  // The present identities go first, so that the bound only ever drops
  // former ones; a former one goes as soon as no name leads to it.
  std::vector<TKnown> known;
  known.reserve(kMaxIdentities + kMaxFiles);
  const auto keep = [&known](TKnown identity) {
    const auto same = [&](const TKnown& other) {
      return other.device == identity.device && other.inode == identity.inode;
    };
    if (identity.handle >= 0 && std::find_if(known.begin(), known.end(), same) == known.end()) {
      known.push_back(identity);
    } else if (identity.handle >= 0) {
      ::close(identity.handle);
    }
  };
  for (std::size_t i = 0; i < paths_.size(); ++i)
    if (present & (1u << i)) keep({found[i].st_dev, found[i].st_ino, handles[i]});
  for (const TKnown& former : known_) {
    struct stat status {};
    if (::fstat(former.handle, &status) == 0 && status.st_nlink > 0) {
      keep(former);
    } else {
      ::close(former.handle);
    }
  }
  while (known.size() > kMaxIdentities) {
    ::close(known.back().handle);
    known.pop_back();
  }
  known_ = std::move(known);

  snapshot_lock_.BeginWrite();
  taken_at_s_.Store(now_s);
  count_.Store(static_cast<std::uint32_t>(known_.size()));
  for (std::size_t i = 0; i < known_.size(); ++i) {
    identities_[i].device.Store(known_[i].device);
    identities_[i].inode.Store(known_[i].inode);
  }
  snapshot_lock_.EndWrite();
}

bool TNeverServed::Holds(const struct stat& found) const {
  // A refresh takes a few microseconds; a reader that meets one this often
  // in a row is better off asking the file system.
  constexpr int kTries = 4;
  std::int64_t taken_at = kNever;
  bool same = false;
  const bool read = snapshot_lock_.Read(kTries, [&] {
    taken_at = taken_at_s_.Load();
    const std::size_t count = std::min<std::size_t>(count_.Load(), kMaxIdentities);
    same = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (identities_[i].device.Load() == found.st_dev && identities_[i].inode.Load() == found.st_ino)
        same = true;
    }
  });
  // A former file is one whatever its change time says (unlinking its name
  // moved it).
  if (read && same) return true;
  // A file changed (made, renamed, linked, unlinked) since shortly before
  // the snapshot may have become one of the files.
  if (read && taken_at != kNever && static_cast<std::int64_t>(found.st_ctime) < taken_at - kChangeTimeMarginS)
    return false;
  return IsSameFileAsAny(found, paths_);
}

}  // namespace vt
