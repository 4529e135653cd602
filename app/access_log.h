#pragma once

// The access log file: one line per request, appended.
//
// The file stays open for appending between lines (O_APPEND: every line is
// one write(2) at the end of the file, so lines never interleave, not even
// with another process). Before each line the path is checked: when the file
// was moved or removed (rotated by the user, say), the next line goes to a
// new file of that name. A line costs a stat and a write, not an open, a
// seek, a write and a close.
//
// Threads: Append may be called from any thread; calls are serialised by the
// object's own lock.

#include <sys/types.h>

#include <mutex>
#include <string>

namespace vt {

class TAccessLog {
 public:
  // `file_name`: the log file's full path.
  explicit TAccessLog(std::string file_name);
  ~TAccessLog();
  TAccessLog(const TAccessLog&) = delete;
  TAccessLog& operator=(const TAccessLog&) = delete;

  const std::string& FileName() const { return file_name_; }

  // Appends `line` and "\r\n" in one write, creating the file when missing.
  // Raises EOSError when the file cannot be opened or the line cannot be
  // written whole (a full disk, say: a partial line is then cut back off).
  void Append(const std::string& line);

  // Closes the file; the next Append opens it again.
  void Close();

 private:
  void OpenLocked();
  bool StillOurFileLocked() const;

  const std::string file_name_;
  std::mutex mutex_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace vt
