#include "app/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "app/ready_message.h"

namespace vt {

namespace {

// What changes the exposure check's figures; IN_MODIFY (a write to an open
// file) does not until the file is closed.
constexpr std::uint32_t kWatchedEvents =
    IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;

}  // namespace

bool TFolderWatch::Watch(HWindow window, std::uint32_t message, const std::vector<std::string>& folders) {
  Stop();
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return false;
  std::size_t watched = 0;
  for (const std::string& folder : folders) {
    if (::inotify_add_watch(fd, folder.c_str(), kWatchedEvents | IN_ONLYDIR) >= 0) ++watched;
  }
  if (watched == 0) {
    ::close(fd);
    return false;
  }
  if (!WatchReadable(window, fd, message)) return false;
  fd_ = fd;
  watched_ = watched;
  return true;
}

void TFolderWatch::Stop() {
  EndWatch(fd_);
  watched_ = 0;
}

bool TFolderWatch::TakeEvents() {
  if (fd_ < 0) return false;
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // IN_IGNORED (a watch that ended) and IN_Q_OVERFLOW come with any
      // mask; an overflow lost changes, which is a change too.
      if ((event->mask & (kWatchedEvents | IN_Q_OVERFLOW)) != 0) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return changed;
}

}  // namespace vt
