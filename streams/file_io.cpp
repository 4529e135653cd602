#include "streams/file_io.h"

#include <unistd.h>

#include <cerrno>

namespace vt::detail {

int64_t FileSeek(int handle, int64_t offset, int whence) {
  return static_cast<int64_t>(::lseek(handle, static_cast<off_t>(offset), whence));
}

int64_t FileSizeBySeek(int handle) {
  const int64_t position = FileSeek(handle, 0, SEEK_CUR);
  if (position < 0) return -1;
  const int64_t size = FileSeek(handle, 0, SEEK_END);
  if (FileSeek(handle, position, SEEK_SET) < 0) return -1;
  return size;
}

int64_t FileRead(int handle, char* buffer, int64_t count) {
  for (;;) {
    const ssize_t n = ::read(handle, buffer, static_cast<size_t>(count));
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t FileReadAt(int handle, char* buffer, int64_t count, int64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(handle, buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

void FileClose(int handle) {
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone
  // either way.
  if (handle >= 0) ::close(handle);
}

}  // namespace vt::detail
