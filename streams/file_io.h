#pragma once

// Thin wrappers over the POSIX file calls that the file reader and the file
// writer share. They only report failure (-1 / false, errno set); each caller
// raises its own exception with its own text.

#include <cstdint>

namespace vt::detail {

// lseek; the new position, or -1.
int64_t FileSeek(int handle, int64_t offset, int whence);

// The size of the file learned by moving to its end and back, leaving the
// position where it was; -1 when any of the moves failed.
int64_t FileSizeBySeek(int handle);

// read(2) retried on EINTR; the bytes read, or -1.
int64_t FileRead(int handle, char* buffer, int64_t count);

// Closes a descriptor that is valid (not negative). On Linux descriptor 0 is
// an ordinary descriptor, so only negative values mean "no handle".
void FileClose(int handle);

}  // namespace vt::detail
