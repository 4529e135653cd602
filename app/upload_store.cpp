#include "app/upload_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/app_names.h"
#include "app/request_path.h"
#include "app/settings.h"
#include "util/text.h"

namespace vt {

namespace {

std::string SystemText(int error) { return std::strerror(error); }

// A failure of the file system while storing, as the answer it gets.
[[noreturn]] void RaiseStoreError(int error, const std::string& what) {
  if (error == ENOSPC || error == EDQUOT) throw EUpload(507, "The disk is full");
  throw EUpload(500, what + ": " + SystemText(error));
}

// The length of the UTF-8 sequence at `text[at]`, or 0 when it is not one
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
      (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  // The C1 controls are control bytes too, written as UTF-8.
  if (code >= 0x80 && code <= 0x9F) return 0;
  return length;
}

}  // namespace

std::int64_t UploadDiskReserve(std::int64_t filesystem_bytes) {
  constexpr std::int64_t kGiB = 1024 * 1024 * 1024;
  return std::min(kGiB, filesystem_bytes / 20);
}

const char* RefuseUploadName(std::string_view name) {
  if (name.empty()) return "The file has no name";
  if (name.size() > kMaxUploadNameBytes) return "The name is longer than 255 bytes";
  if (name == "." || name == "..") return "The name is a folder's";
  if (name.front() == '.') return "Names beginning with \".\" are hidden and not taken";
  for (std::size_t at = 0; at < name.size();) {
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte == '/' || byte == '\\') return "The name holds a folder separator";
    if (byte < 0x20 || byte == 0x7F) return "The name holds a control character";
    const std::size_t length = Utf8SequenceLength(name, at);
    if (length == 0) return "The name is not valid UTF-8 text";
    at += length;
  }
  if (TextEqualFolded(name, kSettingsFileName) || TextEqualFolded(name, kAccessLogName))
    return "The name is the server's own file's";
  // It would run as a program when CGI is on, now or later.
  if (TextEqualFolded(FileExtOfPath(name), ".exe")) return "Programs (.exe) are not taken";
  return nullptr;
}

std::string NumberedName(std::string_view name, int number) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  std::string numbered(name.substr(0, dot));
  numbered += " (" + std::to_string(number) + ")";
  numbered += name.substr(dot);
  return numbered;
}

// --- TUploadFolder -----------------------------------------------------------

TUploadFolder::TUploadFolder(const std::string& path) : path_(path) {
  handle_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle_ < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) throw EUpload(409, "The upload folder is not there");
    RaiseStoreError(error, "The upload folder cannot be opened");
  }
}

TUploadFolder::~TUploadFolder() {
  if (handle_ >= 0) ::close(handle_);
}

void TUploadFolder::CheckSpace(std::int64_t more) const {
  struct statvfs space {};
  if (::fstatvfs(handle_, &space) != 0) return;  // nothing known: the writes will tell
  const auto unit = static_cast<std::int64_t>(space.f_frsize);
  const std::int64_t free = static_cast<std::int64_t>(space.f_bavail) * unit;
  const std::int64_t reserve = UploadDiskReserve(static_cast<std::int64_t>(space.f_blocks) * unit);
  if (free - more < reserve) throw EUpload(507, "The disk would be too full: it keeps some space free");
}

void TUploadFolder::Sync() const {
  if (::fsync(handle_) != 0 && errno != EINVAL) RaiseStoreError(errno, "The upload folder cannot be flushed");
}

// --- TUploadFile -------------------------------------------------------------

TUploadFile::TUploadFile(const TUploadFolder& folder, std::int64_t max_size, std::int64_t expected)
    : folder_(folder), max_size_(max_size) {
  if (expected > max_size) throw EUpload(413, "The file is larger than uploads may be");
  folder.CheckSpace(std::max<std::int64_t>(expected, 0));
  next_space_check_ = kReserveCheckBytes;
  handle_ = ::openat(folder.Handle(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (handle_ >= 0) return;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT)
    RaiseStoreError(errno, "No file for the upload");
  // No unnamed files on this file system: a hidden name stands in.
  std::string path = folder.Path() + "/.veltrana-upload-XXXXXX";
  handle_ = ::mkostemp(path.data(), O_CLOEXEC);
  if (handle_ < 0) RaiseStoreError(errno, "No file for the upload");
  temp_name_ = path.substr(path.rfind('/') + 1);
  ::fchmod(handle_, 0644);
}

TUploadFile::~TUploadFile() {
  if (handle_ >= 0) ::close(handle_);
  if (!temp_name_.empty()) ::unlinkat(folder_.Handle(), temp_name_.c_str(), 0);
}

void TUploadFile::Write(const char* data, std::size_t size) {
  if (size_ + static_cast<std::int64_t>(size) > max_size_)
    throw EUpload(413, "The file is larger than uploads may be");
  while (size > 0) {
    const ssize_t written = ::write(handle_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      RaiseStoreError(errno, "The upload cannot be written");
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    size_ += written;
  }
  if (size_ >= next_space_check_) {
    next_space_check_ = size_ + kReserveCheckBytes;
    folder_.CheckSpace(0);
  }
}

bool TUploadFile::LinkAs(const std::string& name) {
  int result;
  if (temp_name_.empty()) {
    // An unnamed file gets its name through its descriptor's entry in /proc,
    // which needs no privilege (AT_EMPTY_PATH would).
    const std::string self = "/proc/self/fd/" + std::to_string(handle_);
    result = ::linkat(AT_FDCWD, self.c_str(), folder_.Handle(), name.c_str(), AT_SYMLINK_FOLLOW);
  } else {
    result = ::linkat(folder_.Handle(), temp_name_.c_str(), folder_.Handle(), name.c_str(), 0);
  }
  if (result == 0) return true;
  if (errno == EEXIST) return false;
  if (errno == ENAMETOOLONG) throw EUpload(409, "The name is taken, and a numbered one would be too long");
  RaiseStoreError(errno, "The upload cannot be given its name");
}

std::string TUploadFile::Commit(const std::string& name) {
  if (::fsync(handle_) != 0) RaiseStoreError(errno, "The upload cannot be flushed");
  std::string stored = name;
  for (int number = 1; !LinkAs(stored); ++number) {
    if (number > kMaxNameNumber) throw EUpload(409, "The name and its numbered forms are all taken");
    stored = NumberedName(name, number);
    if (stored.size() > kMaxUploadNameBytes)
      throw EUpload(409, "The name is taken, and a numbered one would be too long");
  }
  committed_ = true;
  if (!temp_name_.empty()) {
    ::unlinkat(folder_.Handle(), temp_name_.c_str(), 0);
    temp_name_.clear();
  }
  return stored;
}

}  // namespace vt
