#include "app/access_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/exception.h"

namespace vt {

TAccessLog::TAccessLog(std::string file_name, std::chrono::milliseconds check_every)
    : file_name_(std::move(file_name)), check_every_(check_every) {}

TAccessLog::~TAccessLog() { Close(); }

void TAccessLog::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  // The writer uses the descriptor without the lock.
  while (writing_) WaitLocked(lock);
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

void TAccessLog::PrepareLocked() {
  if (fd_ < 0) {
    OpenLocked();
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - checked_at_ < check_every_) return;
  if (StillOurFileLocked()) {
    checked_at_ = now;
  } else {
    OpenLocked();
  }
}

void TAccessLog::Append(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 2);
  text += line;
  text += "\r\n";
  AppendText(text);
}

int TAccessLog::WriteWhole(int fd, std::string_view text, std::span<const std::size_t> ends) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Half a line would glue itself to the next one: take it back off, and
    // keep the whole lines before it. Only this thread writes to the file
    // now, so none of this process's lines came after it.
    const auto whole = std::upper_bound(ends.begin(), ends.end(), done);
    const std::size_t kept = whole == ends.begin() ? 0 : *(whole - 1);
    const std::size_t partial = done - kept;
    struct stat now {};
    if (partial > 0 && ::fstat(fd, &now) == 0 && now.st_size >= static_cast<off_t>(partial)) {
      [[maybe_unused]] const int ignored = ::ftruncate(fd, now.st_size - static_cast<off_t>(partial));
    }
    return n < 0 ? errno : ENOSPC;
  }
  return 0;
}

void TAccessLog::WriteAsWriter(std::unique_lock<std::mutex>& lock, std::string_view first) {
  // Anything still queued came before `first` (a writer that failed left
  // it): it goes out first, in one piece with it.
  std::string_view text = first;
  const std::size_t first_end[] = {first.size()};
  std::span<const std::size_t> ends = first_end;
  if (!queued_.empty()) {
    queued_ += first;
    queued_ends_.push_back(queued_.size());
    batch_.swap(queued_);
    batch_ends_.swap(queued_ends_);
    text = batch_;
    ends = batch_ends_;
  }
  writing_ = true;
  rounds_ = 0;
  int error = 0;
  try {
    PrepareLocked();
  } catch (...) {
    writing_ = false;
    healthy_ = false;
    batch_.clear();
    batch_ends_.clear();
    NotifyLocked();
    throw;
  }
  const int fd = fd_;
  for (;;) {
    lock.unlock();
    error = WriteWhole(fd, text, ends);
    lock.lock();
    batch_.clear();
    batch_ends_.clear();
    if (error != 0 || queued_.empty()) break;
    batch_.swap(queued_);
    batch_ends_.swap(queued_ends_);
    text = batch_;
    ends = batch_ends_;
    ++rounds_;
    // Threads held back by a full queue may queue again.
    NotifyLocked();
  }
  writing_ = false;
  healthy_ = error == 0;
  if (error != 0) {
    // The next line opens the path afresh: the user may have put a writable
    // file in place of the failing one, and it should get lines at once.
    ::close(fd_);
    fd_ = -1;
  }
  NotifyLocked();
  if (error != 0) RaiseOSError(error);
}

bool TAccessLog::MayQueueLocked() const { return writing_ && healthy_ && rounds_ < kMaxWriterRounds; }

void TAccessLog::AppendText(std::string_view text) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!writing_) {
      WriteAsWriter(lock, text);
      return;
    }
    // A line joins the writer's queue unless the queue is full, the writer
    // has had its share of rounds, or the last write failed: then the line
    // waits for its own turn (after a failure each thread learns whether
    // its own line went out).
    if (MayQueueLocked() && (queued_.empty() || queued_.size() + text.size() <= kMaxQueuedBytes)) {
      queued_ += text;
      queued_ends_.push_back(queued_.size());
      return;
    }
    WaitLocked(lock);
  }
}

void TAccessLog::WaitLocked(std::unique_lock<std::mutex>& lock) {
  ++waiters_;
  writer_done_.wait(lock);
  --waiters_;
}

void TAccessLog::NotifyLocked() {
  if (waiters_ > 0) writer_done_.notify_all();
}

}  // namespace vt
