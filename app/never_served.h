#pragma once

// The files a request may never get (the settings file, the access log),
// known by identity (device and inode) so that no other name, hard link or
// symbolic link reaches them.
//
// Looking the names up for every request would cost a stat per file per
// request. Instead the program refreshes a snapshot of the identities (when
// it saves the settings, when the access log is opened, and once a second
// while the server runs), and a request compares the file it found with the
// snapshot, no system call needed. What changes between two refreshes is
// caught by the found file's change time: creating a file, renaming it,
// linking or unlinking it all set st_ctime (on Linux), so a file whose change
// time is not older than the snapshot (less a margin for coarse time stamps)
// gets the full check by name, as before. What the
// snapshot cannot see, a folder on the way to one of the names renamed or a
// symbolic link on the way repointed, lasts until the next refresh.
//
// Former files. A save by rename gives the settings file a new inode; a hard
// link made to the old one before (by anyone who can write in the published
// folder) would still hold the old content, password hash included. So the
// snapshot keeps every identity a name has had during the run, not only the
// present one: up to kMaxIdentities in all, the present ones always, then
// the former ones newest first. A former file matters only while a name
// still leads to it: the snapshot holds a descriptor (O_PATH) on each, so
// that the system cannot give its inode number to a new file meanwhile, and
// lets it go at the first refresh that finds no link left (st_nlink 0). So
// the bound counts former versions that something still links to: a new
// identity comes only with a save by rename or an access log made anew, and
// a left-behind link to one is rare; past the bound the oldest is
// forgotten.
//
// Threads: Refresh and Holds may be called from any thread. Readers never
// wait: the snapshot is behind a sequence lock (util/sequence_lock.h) whose
// readers retry a bounded number of times and then do the full check.

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "util/sequence_lock.h"

namespace vt {

// True when `found` is the file of one of `paths` now (a stat of each).
bool IsSameFileAsAny(const struct stat& found, const std::vector<std::string>& paths);

class TNeverServed {
 public:
  // The names a snapshot keeps; a longer list is checked by name every time.
  static constexpr std::size_t kMaxFiles = 4;
  // The identities a snapshot keeps, present and former (see above).
  static constexpr std::size_t kMaxIdentities = 32;
  // Seconds a found file's change time may lie before the snapshot and still
  // get the check by name: time stamps of some file systems are rounded to
  // 2 s, and the kernel stamps with a clock a tick behind the real time.
  static constexpr std::int64_t kChangeTimeMarginS = 2;

  explicit TNeverServed(std::vector<std::string> paths);
  ~TNeverServed();
  TNeverServed(const TNeverServed&) = delete;
  TNeverServed& operator=(const TNeverServed&) = delete;

  const std::vector<std::string>& Paths() const { return paths_; }

  // Looks the names up again and publishes what they are now.
  void Refresh();
  // The same, with the snapshot's time given (seconds since the epoch).
  void RefreshAsOf(std::int64_t now_s);

  // True when `found` (the stat of a file about to be served) is one of the
  // files, now or at any refresh before.
  bool Holds(const struct stat& found) const;

 private:
  struct TIdentity {
    TSequenced<std::uint64_t> device;
    TSequenced<std::uint64_t> inode;
  };

  const std::vector<std::string> paths_;
  std::mutex refresh_lock_;  // one refresh at a time: the snapshot's writers
  TSequenceLock snapshot_lock_;
  // The time the snapshot was taken; kNever before the first refresh.
  static constexpr std::int64_t kNever = INT64_MIN;
  TSequenced<std::int64_t> taken_at_s_{kNever};
  TSequenced<std::uint32_t> count_;  // identities_ in use
  std::array<TIdentity, kMaxIdentities> identities_{};
  // The refreshes' own list of the identities published, present ones
  // first, each with a descriptor that holds its file (under refresh_lock_).
  struct TKnown {
    std::uint64_t device;
    std::uint64_t inode;
    int handle;
  };
  std::vector<TKnown> known_;
};

}  // namespace vt
