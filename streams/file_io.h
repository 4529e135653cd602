#pragma once

// Thin wrappers over the POSIX file calls that the file reader and the file
// writer share. The plain ones report failure as -1 (errno set); the
// templates raise the caller's exception class E with the texts both share.

#include <unistd.h>

#include <cstdint>

namespace vt::detail {

// lseek; the new position, or -1.
int64_t FileSeek(int handle, int64_t offset, int whence);

// The size of the file learned by moving to its end and back, leaving the
// position where it was; -1 when any of the moves failed.
int64_t FileSizeBySeek(int handle);

// read(2) retried on EINTR; the bytes read, or -1.
int64_t FileRead(int handle, char* buffer, int64_t count);

// pread(2) retried on EINTR; the bytes read, or -1.
int64_t FileReadAt(int handle, char* buffer, int64_t count, int64_t offset);

// Closes a descriptor that is valid (not negative). On Linux descriptor 0 is
// an ordinary descriptor, so only negative values mean "no handle".
void FileClose(int handle);

// The position; E "File error" when it cannot be queried.
template <typename E>
int64_t GetFilePosition(int handle) {
  const int64_t position = FileSeek(handle, 0, SEEK_CUR);
  if (position < 0) throw E("File error");
  return position;
}

// Moves to `position` from the start; E "File seek error" when that fails.
template <typename E>
void SetFilePosition(int handle, int64_t position) {
  if (FileSeek(handle, position, SEEK_SET) < 0) throw E("File seek error");
}

// The size; E "File error" when it cannot be learned.
template <typename E>
int64_t GetFileSize(int handle) {
  const int64_t size = FileSizeBySeek(handle);
  if (size < 0) throw E("File error");
  return size;
}

}  // namespace vt::detail
