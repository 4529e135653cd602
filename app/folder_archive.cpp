#include "app/folder_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "streams/file_io.h"

namespace vt {

namespace {

// libarchive converts entry names by the thread's locale, and its pax
// writer fails on a UTF-8 name where that locale cannot spell it (the
// program runs under "C" as often as not). Every call into it runs under
// C.UTF-8, for this thread only, and the thread's own locale comes back
// after.
class TUtf8Locale {
 public:
  TUtf8Locale() : previous_(utf8_ ? ::uselocale(utf8_) : nullptr) {}
  ~TUtf8Locale() {
    if (previous_) ::uselocale(previous_);
  }
  TUtf8Locale(const TUtf8Locale&) = delete;
  TUtf8Locale& operator=(const TUtf8Locale&) = delete;
  static bool Available() { return utf8_ != nullptr; }

 private:
  // Made once for the process and never freed: threads use it at any time.
  static inline const locale_t utf8_ = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t made = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) return made;
    }
    return static_cast<locale_t>(nullptr);
  }();
  locale_t previous_;
};

bool IsAttrChar(unsigned char c) {
  // RFC 8187's attr-char: what an ext-value may hold unencoded.
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("!#$&+-.^_`|~", c) != nullptr && c != 0;
}

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

std::optional<TArchiveKind> ArchiveKindOfQuery(std::string_view query) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view parameter = query.substr(0, amp);
    if (parameter == "download=zip") return TArchiveKind::kZip;
    if (parameter == "download=tar") return TArchiveKind::kTar;
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

std::string ArchiveBaseName(std::string_view uri, std::string_view pub_dir) {
  const auto last_name = [](std::string_view path) {
    while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
  };
  std::string_view name = last_name(uri);
  if (name.empty()) name = last_name(pub_dir);
  // A name that would climb out of the folder it is unpacked in is none.
  if (name.empty() || name == "." || name == "..") return "files";
  return std::string(name);
}

std::string ArchiveContentDisposition(std::string_view base_name, TArchiveKind kind) {
  const std::string name = std::string(base_name) + (kind == TArchiveKind::kZip ? ".zip" : ".tar");
  // The plain filename is what every client reads: ASCII that needs no
  // escape inside quotes. "%" goes too, since some clients decode it there.
  std::string plain = name;
  for (char& c : plain) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\' || c == '%') c = '_';
  }
  std::string value = "attachment; filename=\"" + plain + "\"";
  if (plain == name) return value;
  static constexpr char kHex[] = "0123456789ABCDEF";
  value += "; filename*=UTF-8''";
  for (const char c : ValidUtf8(name)) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAttrChar(byte)) {
      value += c;
    } else {
      value += '%';
      value += kHex[byte >> 4];
      value += kHex[byte & 15];
    }
  }
  return value;
}

const char* ArchiveContentType(TArchiveKind kind) {
  return kind == TArchiveKind::kZip ? "application/zip" : "application/x-tar";
}

std::string ValidUtf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    std::uint32_t low = 0;  // the smallest code point of that length
    if (lead < 0x80) {
      text += bytes[i++];
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = 0x10000;
    }
    bool valid = length != 0 && i + length <= bytes.size();
    std::uint32_t code = valid ? lead & (0x7F >> length) : 0;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are
    // no UTF-8 either.
    valid = valid && code >= low && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    if (valid) {
      text.append(bytes.substr(i, length));
      i += length;
    } else {
      text += kReplacement;
      ++i;
    }
  }
  return text;
}

// A folder the walk is inside: its open stream and its entries' prefix.
struct TFolderArchiveReader::TFolder {
  DIR* stream = nullptr;
  // The archive path of the folder, with its final "/".
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;

  ~TFolder() {
    if (stream) ::closedir(stream);
  }
};

TFolderArchiveReader::TFolderArchiveReader(const std::string& folder, std::string_view base_name,
                                           TArchiveKind kind, TArchiveRules rules, TArchiveLog log)
    : kind_(kind), rules_(std::move(rules)), log_(std::move(log)), root_(folder), data_(new char[kDataStep]) {
  if (!TUtf8Locale::Available()) throw EFolderArchive("No UTF-8 locale for archive names");
  if (!rules_.rules.ServeHidden) {
    const std::string base = rules_.pub_dir.empty() ? std::string(kEmptyPubDirBase) : rules_.pub_dir;
    if (char* resolved = ::realpath(base.c_str(), nullptr)) {
      real_pub_dir_ = resolved;
      std::free(resolved);
      if (real_pub_dir_.empty() || real_pub_dir_.back() != '/') real_pub_dir_ += '/';
    }
  }
  const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) throw EFolderArchive(folder + " cannot be opened: " + ErrnoText(errno));
  struct stat status {};
  // The folder opened is judged as the entries are: a link that led to a
  // hidden folder is not served.
  if (::fstat(handle, &status) != 0 || LeadsToHiddenName(handle)) {
    ::close(handle);
    throw EFolderArchive(folder + " is not served");
  }

  TUtf8Locale utf8;
  archive_ = ::archive_write_new();
  if (!archive_) {
    ::close(handle);
    throw EFolderArchive("No memory for an archive");
  }
  try {
    try {
      if (kind_ == TArchiveKind::kZip) {
        Check(::archive_write_set_format_zip(archive_), "ZIP format");
        // Stored (see the header); the UTF-8 flag on names that need it.
        Check(::archive_write_set_options(archive_, "zip:compression=store,hdrcharset=UTF-8"), "ZIP options");
      } else {
        Check(::archive_write_set_format_pax_restricted(archive_), "TAR format");
      }
      // Every byte straight to the callback: no blocking, no padding to a
      // block size beyond what the format itself asks.
      Check(::archive_write_set_bytes_per_block(archive_, 0), "block size");
      Check(::archive_write_open2(archive_, this, nullptr, &TFolderArchiveReader::OnWrite, nullptr, nullptr),
            "open");
    } catch (...) {
      // The folder's descriptor is this constructor's until the walk takes
      // it below.
      ::close(handle);
      throw;
    }
    // The descriptor is the walk's from here, closed with it.
    AddFolder(handle, status, ValidUtf8(base_name) + "/");
    if (folders_.empty()) throw EFolderArchive(folder + " cannot be read");
  } catch (...) {
    // No destructor runs for an object whose constructor failed.
    write_failed_ = true;
    ::archive_write_free(archive_);
    archive_ = nullptr;
    throw;
  }
}

TFolderArchiveReader::~TFolderArchiveReader() {
  if (file_ >= 0) ::close(file_);
  folders_.clear();
  if (archive_) {
    TUtf8Locale utf8;
    // An archive left unfinished (the client went away, or it was cut)
    // gets no end: the callback refuses what the close would write.
    if (state_ != TState::kDone) write_failed_ = true;
    ::archive_write_free(archive_);
  }
}

void TFolderArchiveReader::SetPosition(int64_t position) {
  if (position != position_) throw EFolderArchive("Seek error: an archive is made front to back");
}

bool TFolderArchiveReader::AtEnd() { return state_ == TState::kDone && overflow_read_ == overflow_.size(); }

int32_t TFolderArchiveReader::Read(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  int32_t filled = 0;
  if (overflow_read_ < overflow_.size()) {
    filled = static_cast<int32_t>(std::min<std::size_t>(count, overflow_.size() - overflow_read_));
    std::memcpy(buffer, overflow_.data() + overflow_read_, static_cast<std::size_t>(filled));
    overflow_read_ += static_cast<std::size_t>(filled);
    // Emptied, it keeps its memory for the next step's rest.
    if (overflow_read_ == overflow_.size()) {
      overflow_.clear();
      overflow_read_ = 0;
    }
  }
  out_ = buffer;
  out_room_ = count;
  out_used_ = filled;
  try {
    // Steps until the buffer is full: a step that packs nothing (an entry
    // left out) or little (a header) goes on to the next.
    while (out_used_ < out_room_ && overflow_.empty() && state_ != TState::kDone) Step(out_room_ - out_used_);
  } catch (...) {
    out_ = nullptr;
    throw;
  }
  out_ = nullptr;
  position_ += out_used_;
  return out_used_;
}

void TFolderArchiveReader::Step(int32_t wanted) {
  TUtf8Locale utf8;
  if (state_ == TState::kData) return CopyData(wanted);
  if (!folders_.empty()) return NextEntry();
  Check(::archive_write_close(archive_), "end");
  state_ = TState::kDone;
  if (omissions_ > kMaxLoggedOmissions && log_)
    log_("Archive of " + root_ + ": " + std::to_string(omissions_ - kMaxLoggedOmissions) +
         " more entries left out");
}

void TFolderArchiveReader::NextEntry() {
  TFolder& folder = *folders_.back();
  errno = 0;
  const dirent* entry = ::readdir(folder.stream);
  if (!entry) {
    if (errno != 0) Omit(folder.path, "the rest of the folder could not be read: " + ErrnoText(errno));
    folders_.pop_back();
    return;
  }
  const char* name = entry->d_name;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
  if (name[0] == '.' && !rules_.rules.ServeHidden) return;
  const int parent = ::dirfd(folder.stream);
  std::string path = folder.path + ValidUtf8(name);
  // What the entry is, from the folder's own record where it says; only a
  // link or an entry of unknown kind costs a stat first. Special files are
  // never opened: opening one may block or act on a device.
  bool link = false;
  if (entry->d_type != DT_REG && entry->d_type != DT_DIR) {
    struct stat own {};
    if (::fstatat(parent, name, &own, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone meanwhile
    if (S_ISLNK(own.st_mode)) {
      link = true;
      // A link that leads nowhere is nothing to serve.
      if (::fstatat(parent, name, &own, 0) != 0) return;
    }
    if (!S_ISREG(own.st_mode) && !S_ISDIR(own.st_mode)) return;
  }
  // What is opened is what is judged and packed; an entry that became a
  // link since it was looked at is not followed (O_NOFOLLOW), and one that
  // became a special file is not waited on (O_NONBLOCK).
  const int handle =
      ::openat(parent, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (link ? 0 : O_NOFOLLOW));
  if (handle < 0) {
    if (errno != ELOOP && errno != ENOENT) Omit(path, "cannot be opened: " + ErrnoText(errno));
    return;
  }
  struct stat status {};
  if (::fstat(handle, &status) != 0 || (link && LeadsToHiddenName(handle))) {
    ::close(handle);
    return;
  }
  if (S_ISDIR(status.st_mode)) return AddFolder(handle, status, std::move(path) + "/");
  if (S_ISREG(status.st_mode)) return AddFile(handle, status, std::move(path));
  ::close(handle);
}

void TFolderArchiveReader::AddFolder(int handle, const struct stat& status, std::string path) {
  for (const auto& above : folders_) {
    if (above->device == status.st_dev && above->inode == status.st_ino) {
      ::close(handle);
      return Omit(path, "a link back to a folder that holds it");
    }
  }
  if (folders_.size() > static_cast<std::size_t>(kMaxDepth)) {
    ::close(handle);
    return Omit(path, "deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  auto folder = std::make_unique<TFolder>();
  folder->stream = ::fdopendir(handle);
  if (!folder->stream) {
    const int error = errno;
    ::close(handle);
    return Omit(path, "cannot be read: " + ErrnoText(error));
  }
  folder->device = status.st_dev;
  folder->inode = status.st_ino;
  WriteHeader(path, status, true);
  folder->path = std::move(path);
  folders_.push_back(std::move(folder));
}

void TFolderArchiveReader::AddFile(int handle, const struct stat& status, std::string path) {
  const bool never_served = rules_.rules.NeverServedFiles ? rules_.rules.NeverServedFiles->Holds(status)
                                                          : IsSameFileAsAny(status, rules_.rules.NeverServed);
  if (never_served) {
    ::close(handle);
    return;
  }
  file_ = handle;
  file_status_ = status;
  file_path_ = std::move(path);
  file_left_ = status.st_size;
  WriteHeader(file_path_, status, false);
  state_ = TState::kData;
  if (file_left_ == 0) FinishFile();
}

void TFolderArchiveReader::WriteHeader(const std::string& path, const struct stat& status, bool folder) {
  std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(::archive_entry_new(), ::archive_entry_free);
  if (!entry) Fail("no memory for an entry");
  ::archive_entry_set_pathname_utf8(entry.get(), path.c_str());
  ::archive_entry_set_filetype(entry.get(), folder ? AE_IFDIR : AE_IFREG);
  // Whether a file runs is worth keeping; who may read it on this machine
  // says nothing about the machine it is unpacked on.
  ::archive_entry_set_perm(entry.get(), folder || (status.st_mode & S_IXUSR) ? 0755 : 0644);
  ::archive_entry_set_mtime(entry.get(), status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
  ::archive_entry_set_size(entry.get(), folder ? 0 : status.st_size);
  Check(::archive_write_header(archive_, entry.get()), path.c_str());
  ++entries_;
}

void TFolderArchiveReader::CopyData(int32_t wanted) {
  // As much as the caller asked for, so that little waits in overflow_.
  const std::int64_t step = std::clamp<std::int64_t>(wanted, 4096, kDataStep);
  const std::int64_t count = std::min(file_left_, step);
  const std::int64_t got = detail::FileRead(file_, data_.get(), count);
  if (got < 0) Fail(file_path_ + " could not be read: " + ErrnoText(errno));
  if (got == 0) Fail(file_path_ + " got shorter while it was packed");
  const la_ssize_t written = ::archive_write_data(archive_, data_.get(), static_cast<std::size_t>(got));
  if (written != got) Fail(std::string("libarchive refused data: ") + ::archive_error_string(archive_));
  file_left_ -= got;
  if (file_left_ == 0) FinishFile();
}

void TFolderArchiveReader::FinishFile() {
  // Its header announced the size it had at open: anything written since
  // makes the bytes packed no one version of the file.
  struct stat now {};
  if (::fstat(file_, &now) != 0 || now.st_size != file_status_.st_size ||
      now.st_mtim.tv_sec != file_status_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != file_status_.st_mtim.tv_nsec)
    Fail(file_path_ + " changed while it was packed");
  Check(::archive_write_finish_entry(archive_), file_path_.c_str());
  ::close(file_);
  file_ = -1;
  state_ = TState::kWalk;
}

bool TFolderArchiveReader::LeadsToHiddenName(int handle) const {
  if (real_pub_dir_.empty()) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
  char real[PATH_MAX];
  const ssize_t length = ::readlink(link, real, sizeof real);
  // What cannot be named cannot be shown to lie outside a hidden folder.
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof real) return true;
  const std::string_view path(real, static_cast<std::size_t>(length));
  // A link out of the published folder is the publisher's choice.
  if (!path.starts_with(real_pub_dir_)) return false;
  return HasHiddenSegment(path.substr(real_pub_dir_.size()));
}

void TFolderArchiveReader::Omit(const std::string& path, const std::string& reason) {
  ++omissions_;
  if (omissions_ <= kMaxLoggedOmissions && log_)
    log_("Archive of " + root_ + ": left out " + path + " (" + reason + ")");
}

void TFolderArchiveReader::Fail(const std::string& reason) {
  throw EFolderArchive("Archive of " + root_ + " cut: " + reason);
}

void TFolderArchiveReader::Check(int result, const char* what) {
  if (result >= ARCHIVE_WARN) return;
  const char* error = archive_ ? ::archive_error_string(archive_) : nullptr;
  Fail(std::string("libarchive: ") + what + ": " + (error ? error : "failed"));
}

long TFolderArchiveReader::OnWrite(struct archive*, void* self, const void* bytes, std::size_t count) {
  auto& reader = *static_cast<TFolderArchiveReader*>(self);
  if (reader.write_failed_) return -1;
  const char* from = static_cast<const char*>(bytes);
  std::size_t left = count;
  if (reader.out_) {
    const std::size_t room = static_cast<std::size_t>(reader.out_room_ - reader.out_used_);
    const std::size_t taken = std::min(room, left);
    std::memcpy(reader.out_ + reader.out_used_, from, taken);
    reader.out_used_ += static_cast<std::int32_t>(taken);
    from += taken;
    left -= taken;
  }
  // No exception may cross libarchive's C frames.
  try {
    reader.overflow_.append(from, left);
  } catch (...) {
    reader.write_failed_ = true;
    return -1;
  }
  return static_cast<long>(count);
}

}  // namespace vt
