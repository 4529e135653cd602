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
// Threads: Append may be called from any thread; calls are serialised by the
// object's own lock.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

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

  // Closes the file; the next Append opens it again.
  void Close();

  // Called after each opening of the file (under the log's lock, on the
  // appending thread); set before the first Append.
  std::function<void()> OnOpened;

 private:
  void OpenLocked();
  bool StillOurFileLocked() const;

  using Clock = std::chrono::steady_clock;

  const std::string file_name_;
  const std::chrono::milliseconds check_every_;
  std::mutex mutex_;
  Clock::time_point checked_at_{};
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace vt
