#pragma once

// The access log file: one line per request, appended.
//
// The file stays open for appending between lines (O_APPEND: every line is
// one write(2) at the end of the file, so lines never interleave, not even
// with another process). The path is looked at again (one stat) before a
// line once `check_every` has passed since the last look (0: before every
// line): when the file was moved or removed (rotated by the user, say), that
// line and the following go to a new file of that name. Until then lines go
// on to the file that is open: a moved file gets them under its new name, a
// removed one takes them with it. So a line costs one write, and a stat of
// the path every so often.
//
// Threads: Append may be called from any thread. One thread at a time writes;
// a line that arrives meanwhile is queued, and the writing thread takes the
// queue with it before it lets go (one write for all of it). So a busy server
// makes fewer writes than lines, no thread waits for another's system call,
// lines keep the order they came in, and no line sits in memory without a
// thread on its way to write it. A line queued behind a write that fails is
// lost with it, as it would be had it been written itself; the writing thread
// raises the error. While the last write failed, lines are not queued: each
// caller writes its own and learns its own outcome.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class TAccessLog {
 public:
  // `file_name`: the log file's full path; `check_every`: how long the file
  // may stay open without the path being looked at.
  explicit TAccessLog(std::string file_name, std::chrono::milliseconds check_every = {});
  ~TAccessLog();
  TAccessLog(const TAccessLog&) = delete;
  TAccessLog& operator=(const TAccessLog&) = delete;

  const std::string& FileName() const { return file_name_; }

  // Appends `line` and "\r\n" in one write, creating the file when missing.
  // Raises EOSError when the file cannot be opened or the line cannot be
  // written whole (a full disk, say: a partial line is then cut back off).
  void Append(std::string_view line);
  // The same for a text that ends with its "\r\n" already.
  void AppendText(std::string_view text);

  // Closes the file once a write under way has ended; the next Append opens
  // it again.
  void Close();

  // Called after each opening of the file (under the log's lock, on the
  // appending thread); set before the first Append.
  std::function<void()> OnOpened;

 private:
  // Whether a line may join the queue of the thread writing now.
  bool MayQueueLocked() const;
  // Opens the file, or looks at its path when that is due.
  void PrepareLocked();
  void OpenLocked();
  bool StillOurFileLocked() const;
  // Writes `text` (lines ending at `ends`, the offsets just past each) whole
  // to `fd`: 0, else the error, with a line written in part cut back off.
  static int WriteWhole(int fd, std::string_view text, std::span<const std::size_t> ends);
  // Writes `first`, then whatever is queued meanwhile, until the queue is
  // empty. Runs with `lock` held on entry and return, released while
  // writing.
  void WriteAsWriter(std::unique_lock<std::mutex>& lock, std::string_view first);

  // Beyond this many queued bytes (a disk slower than the lines coming in)
  // an appending thread waits for the writer to take the queue.
  static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
  // A writer takes the queue this many times at most; then lines wait for
  // it to end instead of queuing, so that its own connection is not held
  // up for long by a steady stream of other threads' lines.
  static constexpr int kMaxWriterRounds = 32;

  using Clock = std::chrono::steady_clock;

  const std::string file_name_;
  const std::chrono::milliseconds check_every_;
  std::mutex mutex_;
  // Signalled when a writer lets go or takes the queue, when a thread waits
  // (most lines find nobody waiting: then it costs nothing).
  std::condition_variable writer_done_;
  int waiters_ = 0;
  void WaitLocked(std::unique_lock<std::mutex>& lock);
  void NotifyLocked();
  bool writing_ = false;
  // How many times the writer has taken the queue.
  int rounds_ = 0;
  // Whether the last write succeeded: only then are lines queued.
  bool healthy_ = true;
  std::string queued_;
  std::vector<std::size_t> queued_ends_;
  std::string batch_;
  std::vector<std::size_t> batch_ends_;
  Clock::time_point checked_at_{};
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace vt
