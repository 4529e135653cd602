#pragma once

// A whole folder as one download: "?download=zip" or "?download=tar" on a
// folder's listing gives the folder and its sub-folders as one archive,
// made while it is sent, with no temporary file.
//
// The archive is libarchive's: it writes by pushing bytes into a callback,
// and an answer's body is pulled (AReaderEx::Read). TFolderArchiveReader
// turns the one into the other: each Read advances the archive by one
// bounded step (the next entry's header, or the next block of a file, at
// most kDataStep bytes) and hands out what the step produced. The client's
// pace is the archive's pace; a client that leaves ends the answer, the
// reader is destroyed and the work stops there.
//
// What goes in: what the server would serve. Names beginning with "." are
// left out unless hidden files are served, and so is a symbolic link that
// leads to a hidden name inside the published folder; the files never
// served (the settings file, the access log) are left out by identity,
// whatever name or link leads to them. Symbolic links are followed and
// packed as what they lead to (a link out of the published folder is the
// publisher's choice, as for serving). Special files (devices, sockets,
// pipes) are left out. The walk goes by descriptors (openat, fdopendir)
// from the opened folder down, never by path strings resolved again, to at
// most kMaxDepth levels; a folder that is already on the way down (a link
// back up) is left out, so a loop of links ends at once.
//
// A file that changes while it is packed: each file is read through the
// descriptor opened for its header, exactly the size its header announced.
// When it turns out shorter, or its size or modification time differ once
// it is read, its bytes already went out: the archive cannot be mended, so
// Read raises EFolderArchive naming the file, and the answer is cut (the
// client sees no proper end and knows the download failed; the server logs
// the failed answer with that text). A file never goes in padded or cut.
//
// Formats. ZIP entries are stored, not compressed: most of what a desktop
// shares (photos, video, archives) does not compress, and deflate would
// hold the download to well below the disk's speed. ZIP64 records are
// written where needed (a file over 4 GiB, an archive past 4 GiB or 65,535
// entries). TAR is POSIX pax: ustar headers, with extended records only for
// what ustar cannot hold (long or non-ASCII names, files over 8 GiB). Names
// are UTF-8 (the ZIP UTF-8 flag on non-ASCII names); a byte that is not
// part of valid UTF-8 becomes U+FFFD. Entries carry the modification time
// and the permission bits (no user or group names, owner 0).
//
// Memory per archive: the read buffer (kDataStep), what one step produced
// beyond what the caller asked for (at most kDataStep plus a header), one
// open folder per level of depth, and, for ZIP, the central directory that
// the format puts at the end (about 100 bytes plus the name per entry,
// some 10 MB for 100,000 entries); TAR holds nothing per entry.
//
// Threads: a reader is used by one thread (the connection's worker).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/request_path.h"
#include "streams/reader.h"

struct archive;

namespace vt {

// The archive cannot go on: a file changed while it was packed, a read
// failed, or libarchive refused. Not an EReader: the server takes a
// reader's failure while it sends for the connection's own (the client
// left) and tells no one, and this one the server's log must name.
VT_EXCEPTION_CLASS(EFolderArchive, Exception);

enum class TArchiveKind { kZip, kTar };

// The archive a request's query asks for ("download=zip" or
// "download=tar" among its "&"-separated parameters), or none. The query
// is as sent (still percent-encoded); the values are plain words.
std::optional<TArchiveKind> ArchiveKindOfQuery(std::string_view query);

// The download's file name, without extension: the last name of the
// request's folder path ("/photos/2024/" gives "2024"); for the root, the
// published folder's own name; "files" when neither has one.
std::string ArchiveBaseName(std::string_view uri, std::string_view pub_dir);

// The Content-Disposition value for an archive named `base_name` plus its
// extension: an ASCII filename (other bytes, quotes and backslashes as
// "_") and, when that differs from the name, an RFC 6266 filename* with the
// name in UTF-8, percent-encoded.
std::string ArchiveContentDisposition(std::string_view base_name, TArchiveKind kind);

// The content type of an archive.
const char* ArchiveContentType(TArchiveKind kind);

// `bytes` with every byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD; valid text comes back as it was.
std::string ValidUtf8(std::string_view bytes);

// What leaves an entry out of the archive: the rules of the request's
// mapping and the published folder they apply below.
struct TArchiveRules {
  std::string pub_dir;
  TMapRules rules;
};

// A line for the server's log: an entry left out for a reason worth
// telling.
using TArchiveLog = std::function<void(const std::string& line)>;

class TFolderArchiveReader : public AReaderEx {
 public:
  // The most bytes of a file one step reads (and so the read buffer).
  static constexpr std::int32_t kDataStep = 64 * 1024;
  // Levels of folders below the archived one: each holds an open folder
  // (a descriptor and its read buffer) while the walk is inside it.
  static constexpr int kMaxDepth = 32;
  // Entries left out for a reason (unreadable, too deep, a loop) that are
  // logged one by one; the rest are counted in one line at the end.
  static constexpr int kMaxLoggedOmissions = 10;

  // Opens `folder` (a path MapRequestPath found to be a folder) and starts
  // an archive of it whose entries lie under `base_name`/. Raises
  // EFolderArchive when the folder cannot be opened or judged servable.
  TFolderArchiveReader(const std::string& folder, std::string_view base_name, TArchiveKind kind,
                       TArchiveRules rules, TArchiveLog log);
  ~TFolderArchiveReader() override;

  // Bytes handed out so far.
  int64_t GetPosition() override { return position_; }
  // Only to where it is: the archive is made once, front to back.
  void SetPosition(int64_t position) override;
  // Unknown until the end.
  int64_t GetSize() override { return -1; }
  // `count` bytes of the archive, fewer only at its end; 0 after it. (A
  // short read would have the sender flush a small piece at once.)
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

  // Entries packed so far (folders included).
  std::int64_t Entries() const { return entries_; }

 private:
  struct TFolder;
  enum class TState { kWalk, kData, kDone };

  // One bounded step of the archive.
  void Step(int32_t wanted);
  // Takes the next entry of the innermost folder into the archive (or
  // leaves the folder when it has none left).
  void NextEntry();
  // Writes the header of a folder or file entry opened as `handle`.
  void AddFolder(int handle, const struct stat& status, std::string path);
  void AddFile(int handle, const struct stat& status, std::string path);
  void WriteHeader(const std::string& path, const struct stat& status, bool folder);
  void CopyData(int32_t wanted);
  void FinishFile();
  // A symbolic link that leads to a hidden name below the published folder.
  bool LeadsToHiddenName(int handle) const;
  void Omit(const std::string& path, const std::string& reason);
  [[noreturn]] void Fail(const std::string& reason);
  void Check(int result, const char* what);
  static long OnWrite(struct archive* archive, void* self, const void* bytes, std::size_t count);

  TArchiveKind kind_;
  TArchiveRules rules_;
  TArchiveLog log_;
  // The folder archived, as the request's mapping named it (for the log).
  std::string root_;
  // The published folder's real path with a final "/", for judging links
  // (empty: hidden files are served, or there is none).
  std::string real_pub_dir_;
  struct archive* archive_ = nullptr;
  std::vector<std::unique_ptr<TFolder>> folders_;
  TState state_ = TState::kWalk;
  // The file whose data is being copied.
  int file_ = -1;
  struct stat file_status_ {};
  std::string file_path_;
  std::int64_t file_left_ = 0;
  std::unique_ptr<char[]> data_;
  // Where the callback puts bytes: the caller's buffer first, the rest into
  // overflow_, handed out by the next Reads.
  char* out_ = nullptr;
  std::int32_t out_room_ = 0;
  std::int32_t out_used_ = 0;
  std::string overflow_;
  std::size_t overflow_read_ = 0;
  bool write_failed_ = false;
  int64_t position_ = 0;
  std::int64_t entries_ = 0;
  int omissions_ = 0;
};

}  // namespace vt
