#include "app/access_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/exception.h"

namespace vt {

TAccessLog::TAccessLog(std::string file_name, std::chrono::milliseconds check_every)
    : file_name_(std::move(file_name)), check_every_(check_every) {}

TAccessLog::~TAccessLog() { Close(); }

void TAccessLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TAccessLog::StillOurFileLocked() const {
  struct stat status {};
  return ::stat(file_name_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_;
}

void TAccessLog::OpenLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(file_name_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd_ < 0) RaiseLastOSError();
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    RaiseOSError(error);
  }
  device_ = status.st_dev;
  inode_ = status.st_ino;
  checked_at_ = Clock::now();
  if (OnOpened) OnOpened();
}

void TAccessLog::Append(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 2);
  text += line;
  text += "\r\n";
  AppendText(text);
}

void TAccessLog::AppendText(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) {
    OpenLocked();
  } else if (const Clock::time_point now = Clock::now(); now - checked_at_ >= check_every_) {
    if (StillOurFileLocked()) {
      checked_at_ = now;
    } else {
      OpenLocked();
    }
  }

  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : ENOSPC;
    // Half a line would glue itself to the next one: take it back off. The
    // lock keeps this process's other lines from coming after it.
    struct stat now {};
    if (done > 0 && ::fstat(fd_, &now) == 0 && now.st_size >= static_cast<off_t>(done)) {
      [[maybe_unused]] const int ignored = ::ftruncate(fd_, now.st_size - static_cast<off_t>(done));
    }
    // The next line opens the path afresh: the user may have put a writable
    // file in place of the failing one, and it should get lines at once.
    ::close(fd_);
    fd_ = -1;
    RaiseOSError(error);
  }
}

}  // namespace vt
