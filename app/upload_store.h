#pragma once

// Storing uploaded files so that nothing is lost and nothing overwritten.
//
// A file being received lives in a temporary file of the target folder
// that has no name (O_TMPFILE; where the file system has none, a hidden
// ".veltrana-upload-XXXXXX", which the server never lists or serves while
// hidden files are off). Only when the whole body has arrived is it flushed
// to the disk and given its name, by a link that never replaces: a name
// that is taken gets " (1)", " (2)"... before its extension, so two uploads
// of one name, even at the same moment, both stay. The folder is flushed
// too before the upload is reported stored. A file that is not committed
// (the body broke off, ran past its time, or the disk filled) is gone with
// its TUploadFile: the unnamed one by the close, the hidden one unlinked.
//
// Names come from clients and are hostile (RefuseUploadName); a name that
// would run as a CGI program (".exe", any case) is refused, not renamed,
// so that the client learns it was not stored as sent.
//
// The disk keeps a reserve: a file is refused with 507 when the free space
// after it would fall under UploadDiskReserve. A body of unknown size is
// checked as it grows, every kReserveCheckBytes.
//
// Threads: a TUploadFolder and its files belong to the request's worker.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "util/exception.h"

namespace vt {

// Why an upload was not stored, as the status of its answer: 403 (a name or
// a place refused), 409 (no free name), 413 (past the size limit), 507 (the
// disk is full or would fall under its reserve), 500 (the system failed
// otherwise). The message is for the client's page and the server's log.
class EUpload : public Exception {
 public:
  EUpload(std::int32_t status, std::string message) : Exception(std::move(message)), status_(status) {}
  const char* ClassName() const noexcept override { return "EUpload"; }
  std::int32_t Status() const { return status_; }

 private:
  std::int32_t status_;
};

// The free space an upload leaves on its file system: 1 GiB, or 5 % of the
// file system when that is smaller (a small disk or a memory file system
// would otherwise take no upload at all). A full disk breaks more than the
// upload: the user's programs, the access log, the settings' saves.
std::int64_t UploadDiskReserve(std::int64_t filesystem_bytes);
// Bytes written between two looks at the free space of a body whose size
// is not known in advance.
inline constexpr std::int64_t kReserveCheckBytes = 8 * 1024 * 1024;
// The most numbered names tried (" (1)" to " (999)") before 409.
inline constexpr int kMaxNameNumber = 999;
// The longest name a Linux file system takes.
inline constexpr std::size_t kMaxUploadNameBytes = 255;

// Why `name` may not be stored as a file of the target folder, or nullptr
// when it may: empty, "." or "..", a leading "." (hidden), a separator ("/"
// or "\"), a control byte (C0, DEL, C1), not valid UTF-8, longer than
// kMaxUploadNameBytes, the settings file's or the access log's name, or a
// program (".exe" in any case).
const char* RefuseUploadName(std::string_view name);

// `name` with " (number)" before its extension (the last "." that is not
// the first byte): "photo.jpg" -> "photo (2).jpg", "README" -> "README (2)".
std::string NumberedName(std::string_view name, int number);

// The folder uploads go to, opened once per request.
class TUploadFolder {
 public:
  // Opens `path` as a folder; EUpload 409 when it is none, 500 otherwise.
  explicit TUploadFolder(const std::string& path);
  ~TUploadFolder();
  TUploadFolder(const TUploadFolder&) = delete;
  TUploadFolder& operator=(const TUploadFolder&) = delete;

  const std::string& Path() const { return path_; }
  int Handle() const { return handle_; }
  // Raises EUpload 507 when `more` bytes would leave less than the reserve.
  void CheckSpace(std::int64_t more) const;
  // Flushes the folder's entries to the disk.
  void Sync() const;

 private:
  std::string path_;
  int handle_ = -1;
};

// One file being received into a folder.
class TUploadFile {
 public:
  // A temporary file in `folder` (which must outlive it), for a body of at
  // most `max_size` bytes; `expected` is the body's size when known (-1
  // otherwise), checked against both bounds at once (413, 507).
  TUploadFile(const TUploadFolder& folder, std::int64_t max_size, std::int64_t expected);
  ~TUploadFile();
  TUploadFile(const TUploadFile&) = delete;
  TUploadFile& operator=(const TUploadFile&) = delete;

  // Appends the bytes: EUpload 413 past the size limit, 507 when the disk
  // fills or its reserve is reached, 500 for another failure.
  void Write(const char* data, std::size_t size);
  std::int64_t Size() const { return size_; }
  // Flushes the file and gives it `name`, or the first numbered name that
  // is free; the name it got. EUpload 409 when none is free (or a numbered
  // one is too long), 507 when the disk fills while flushing.
  std::string Commit(const std::string& name);
  bool Committed() const { return committed_; }

 private:
  bool LinkAs(const std::string& name);

  const TUploadFolder& folder_;
  int handle_ = -1;
  // The hidden name when the file system had no unnamed files; else empty.
  std::string temp_name_;
  std::int64_t max_size_;
  std::int64_t size_ = 0;
  std::int64_t next_space_check_ = 0;
  bool committed_ = false;
};

}  // namespace vt
