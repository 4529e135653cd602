#pragma once

// Whole-file reads and crash-safe whole-file replacement for the small files
// the program keeps (settings, the registry store, autostart entries).
//
// A replacement never leaves a half-written file behind: the new content goes
// to a temporary file in the target's own directory, is flushed to the disk,
// and only then renamed over the target. A crash or a full disk at any point
// leaves either the old file or the new one, never a mixture.

#include <string>

namespace vt {

// Reads the whole of the regular file at `path` into `content`. Returns 0 on
// success, otherwise the errno value of the failure: ENOENT or ENOTDIR when the
// file does not exist, anything else when it exists but cannot be read (a
// directory, a FIFO or a device gives EINVAL rather than blocking on it).
// `content` is empty after a failure.
int ReadFileContent(const std::string& path, std::string& content);

// Replaces the file at `path` with `content` atomically (temporary file in the
// same directory, fsync, rename, fsync of the directory). Missing parent
// directories are created with mode 0700 (as XDG asks for its directories).
// A replaced file keeps its permission bits; a new one gets 0666 less the
// umask. When `path` is a symbolic link, the file it points to is replaced and
// the link stays. Raises EOSError on failure; the old file is then untouched
// and no temporary file is left.
void WriteFileAtomically(const std::string& path, const std::string& content);

// Creates `directory` and its missing parents with the given mode. Raises
// EOSError when a component cannot be created or is not a directory.
void ForceDirectories(const std::string& directory, unsigned mode = 0700);

}  // namespace vt
