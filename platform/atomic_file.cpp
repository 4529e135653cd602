#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/unique_fd.h"
#include "util/exception.h"

namespace vt {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a write to `path` must replace: the target of a symbolic link, so
// that a settings file kept elsewhere and linked in stays linked.
std::string ReplacementTarget(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return path;  // dangling link: replace the link itself
  return resolved;
}

}  // namespace

int ReadFileContent(const std::string& path, std::string& content) {
  content.clear();
  // O_NONBLOCK so that a FIFO in place of the file cannot block the open.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return errno;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  std::string result;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    result.append(buffer, static_cast<size_t>(got));
  }
  content = std::move(result);
  return 0;
}

void ForceDirectories(const std::string& directory, unsigned mode) {
  if (directory.empty()) return;
  struct stat info;
  if (::stat(directory.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) RaiseOSError(ENOTDIR);
    return;
  }
  const std::string parent = DirectoryOf(directory);
  if (parent != directory && parent != ".") ForceDirectories(parent, mode);
  if (::mkdir(directory.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) RaiseLastOSError();
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
  static std::atomic<unsigned> counter{0};

  const std::string target = ReplacementTarget(path);
  const std::string directory = DirectoryOf(target);
  ForceDirectories(directory);

  struct stat info;
  const bool replacing = ::stat(target.c_str(), &info) == 0;
  const mode_t create_mode = replacing ? 0600 : 0666;

  const std::string base = target.substr(target.rfind('/') + 1);
  std::string temp;
  int raw_fd = -1;
  for (int attempt = 0; attempt < 100 && raw_fd < 0; ++attempt) {
    // A leftover from a crashed save may hold a name: O_EXCL moves on to the next one.
    temp = directory + "/." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
    raw_fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
    if (raw_fd < 0 && errno != EEXIST) RaiseLastOSError();
  }
  if (raw_fd < 0) RaiseOSError(EEXIST);

  UniqueFd fd(raw_fd);
  int error = 0;
  if (!WriteAll(fd.get(), content.data(), content.size()) || ::fsync(fd.get()) != 0 ||
      (replacing && ::fchmod(fd.get(), info.st_mode & 07777) != 0)) {
    error = errno;
  }
  if (fd.Close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    RaiseOSError(error);
  }

  // Makes the rename itself durable; a failure here cannot undo the save.
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace vt
