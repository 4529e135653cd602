#pragma once

// TFolderWatch: tells when the content of the published folder changes, so
// that the exposure check can look again ("2 files" must not stay the word
// after a 20 MB file came).
//
// inotify watches one folder, not a tree: the watch covers the folders the
// last exposure check walked (TExposureReport::Folders, at most
// kWatchedFolders of them), so a new sub-folder is covered from the check
// that follows its creation on. It asks only for the changes that alter
// what the check counts: a file finished writing, made, removed or renamed,
// or its rights changed. A file that keeps growing while open (the
// server's own access log may lie in the folder) gives none of these until
// it is closed, so serving never keeps the check running.
//
// The owner debounces: the first change arms a timer, later ones before it
// fires change nothing, so a burst of copies costs one check, and a folder
// that changes all the time one check per kExposureRecheckMs at most.
//
// Threads: main thread only.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_queue.h"

namespace vt {

// The least time between two checks the folder's changes cause
// (milliseconds), and the time a burst of changes has to end.
inline constexpr int kExposureRecheckMs = 2000;

class TFolderWatch {
 public:
  TFolderWatch() = default;
  ~TFolderWatch() { Stop(); }
  TFolderWatch(const TFolderWatch&) = delete;
  TFolderWatch& operator=(const TFolderWatch&) = delete;

  // Watches `folders` (replacing the folders watched before); `window` gets
  // `message` when something changed in them. A folder that cannot be
  // watched (gone, no right, the system's limit of watches reached) is left
  // out. False when no folder is watched.
  bool Watch(HWindow window, std::uint32_t message, const std::vector<std::string>& folders);
  void Stop();
  // Reads the waiting events: true when any of them is a change.
  bool TakeEvents();
  // How many folders are watched.
  std::size_t Count() const { return watched_; }

 private:
  int fd_ = -1;
  std::size_t watched_ = 0;
};

}  // namespace vt
