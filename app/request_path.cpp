#include "app/request_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/mime_types.h"
#include "platform/registry.h"
#include "util/paths.h"
#include "util/text.h"

namespace vt {
namespace {

struct TContentTypeDef {
  const char* ext;
  const char* content_type;
};

// Checked before the system's MIME database, so these answers do not depend
// on the machine.
constexpr TContentTypeDef kContentTypes[] = {
    {".htm", "text/html"},
    {".html", "text/html"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".png", "image/png"},
    {".bmp", "image/bmp"},
    {".txt", "text/plain"},
    {".mpeg", "video/mpeg"},
    {".mpg", "video/mpeg"},
    {".pdf", "application/pdf"},
    {".exe", "application/binary"},
    {".ps", "application/postscript"},
    {".avi", "video/avi"},
    {".qt", "video/quicktime"},
    {".mov", "video/quicktime"},
    {".au", "audio/basic"},
    {".wav", "audio/basic"},
    {".mp3", "audio/mpeg"},
    {".mp2", "audio/mpeg"},
    {".ra", "audio/x-realaudio"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".zip", "application/zip"},
    {".ini", "text/x-windows-ini"},
    {".bat", "text/x-windows-bat"},
    {".js", "application/javascript"},
};

// The length of the longest of kDefaultDocuments.
constexpr std::size_t kLongestDefaultDocument = [] {
  std::size_t longest = 0;
  for (const char* document : kDefaultDocuments)
    longest = std::max(longest, std::char_traits<char>::length(document));
  return longest;
}();

bool IsRegularFile(const std::string& path, struct stat& status) {
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The found file is one of the files never served.
bool IsNeverServed(const struct stat& found, const TMapRules& rules) {
  return rules.NeverServedFiles ? rules.NeverServedFiles->Holds(found)
                                : IsSameFileAsAny(found, rules.NeverServed);
}

// Device names that were never to be served; refused as a whole path.
bool IsReservedDeviceName(std::string_view path) {
  // None is longer than four bytes.
  if (path.size() > 4) return false;
  for (const char* name : {"CON", "COM1", "COM2", "PRN", "AUX"}) {
    if (TextEqualFolded(path, name)) return true;
  }
  return false;
}

// True when a segment of `path` is exactly "..".
bool HasParentSegment(std::string_view path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('/', start);
    const std::string_view segment = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (segment == "..") return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

}  // namespace

bool HasHiddenSegment(std::string_view path) {
  for (std::size_t start = 0; start < path.size();) {
    if (path[start] == '.') return true;
    const std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
  return false;
}

TMapResult MapRequestPath(std::string_view uri, std::string_view pub_dir, std::string& local_path,
                          const TMapRules& rules, struct stat* found_status, bool* folder,
                          bool* without_slash) {
  local_path.clear();
  if (folder) *folder = false;
  if (without_slash) *without_slash = false;
  // The target without the bytes 0 to 32 at either end.
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!uri.empty() && blank(uri.front())) uri.remove_prefix(1);
  while (!uri.empty() && blank(uri.back())) uri.remove_suffix(1);
  std::string path(uri);

  // No system call may see a name cut short at a NUL byte.
  if (path.find('\0') != std::string::npos) return mrInvalid;

  if (path.empty()) {
    path = "/";
  } else {
    // Both separators mean the same to a client; from here on only "/" is.
    std::replace(path.begin(), path.end(), '\\', '/');
    if (PathStartsWithDrive(path) || path.starts_with("//") || IsReservedDeviceName(path) ||
        path.starts_with("../")) {
      return mrInvalid;
    }
    if (PathHasDotToResolve(path)) {
      path = CanonicalizePath(path, '/');
      // A ".." left over could not be resolved inside the path: it would
      // climb out of the published directory.
      if (HasParentSegment(path)) return mrInvalid;
    }
  }

  std::string_view relative = path;
  if (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  // The file's name is made once, in the caller's string, with room for the
  // longest default document.
  std::string& mapped = local_path;
  mapped.reserve(std::max<std::size_t>(pub_dir.size(), std::char_traits<char>::length(kEmptyPubDirBase)) + 1 +
                 relative.size() + 1 + kLongestDefaultDocument);
  if (pub_dir.empty()) {
    mapped = kEmptyPubDirBase;
  } else {
    mapped = pub_dir;
    if (mapped.back() != '/') mapped.push_back('/');
  }
  mapped += relative;
  // Hidden names are not there for a client (the published directory's own
  // path, above, is the publisher's business).
  if (!rules.ServeHidden && HasHiddenSegment(relative)) return mrNotFound;

  struct stat own_status {};
  struct stat& status = found_status ? *found_status : own_status;
  const auto found = [&] { return IsNeverServed(status, rules) ? mrNotFound : mrFound; };
  // Whether the name is a folder, when its own stat has told already.
  std::optional<bool> named_folder;
  if (!PathIsDirectoryForm(mapped)) {
    const bool named = ::stat(mapped.c_str(), &status) == 0;
    if (named && S_ISREG(status.st_mode)) return found();
    named_folder = named && S_ISDIR(status.st_mode);
    if (without_slash) *without_slash = *named_folder;
    mapped.push_back('/');
  }
  const std::size_t folder_end = mapped.size();
  for (const char* document : kDefaultDocuments) {
    mapped.resize(folder_end);
    mapped += document;
    if (IsRegularFile(mapped, status)) return found();
  }
  mapped.resize(folder_end);
  if (folder) {
    struct stat folder_status {};
    *folder = named_folder ? *named_folder
                           : ::stat(mapped.c_str(), &folder_status) == 0 && S_ISDIR(folder_status.st_mode);
  }
  return mrNotFound;
}

std::size_t NextProgramSegmentEnd(std::string_view uri, std::size_t from) {
  static constexpr std::string_view kExt = ".exe";
  for (std::size_t at = from; at < uri.size(); ++at) {
    if (uri[at] != '/' && uri[at] != '\\') continue;
    // A segment is "x.exe" at least: a name before the extension.
    if (at <= kExt.size()) continue;
    const std::string_view before = uri.substr(at - kExt.size(), kExt.size());
    const char lead = uri[at - kExt.size() - 1];
    if (TextEqualFolded(before, kExt) && lead != '/' && lead != '\\') return at;
  }
  return std::string_view::npos;
}

TMapResult MapProgramPath(std::string_view uri, std::string_view pub_dir, std::string& local_path,
                          const TMapRules& rules, struct stat* status, std::size_t& path_info_start) {
  std::string tried;
  struct stat found {};
  for (std::size_t end = NextProgramSegmentEnd(uri); end != std::string_view::npos;
       end = NextProgramSegmentEnd(uri, end + 1)) {
    if (MapRequestPath(uri.substr(0, end), pub_dir, tried, rules, &found) != mrFound) continue;
    if (!TextEqualFolded(FileExtOfPath(tried), ".exe")) continue;
    local_path = tried;
    if (status) *status = found;
    path_info_start = end;
    return mrFound;
  }
  return mrNotFound;
}

namespace {

// The real path of an opened file into `real` (no allocation: a worker's
// buffer of PATH_MAX bytes); false when it cannot be learned. The kernel
// names what the descriptor is, not what a name means now; where /proc is
// missing, the realpath of the name stands in when it still is the same
// file.
bool RealPathOfOpenedFile(int handle, const struct stat& opened, std::string_view mapped, std::string& real) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
  real.resize(PATH_MAX);
  const ssize_t length = ::readlink(link, real.data(), real.size());
  if (length > 0 && static_cast<std::size_t>(length) < real.size()) {
    real.resize(static_cast<std::size_t>(length));
    return true;
  }
  real.clear();
  char* resolved = ::realpath(std::string(mapped).c_str(), nullptr);
  if (!resolved) return false;
  real = resolved;
  std::free(resolved);
  struct stat now {};
  return ::stat(real.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

}  // namespace

bool MayServeOpenedFile(int handle, const struct stat& opened, std::string_view mapped,
                        std::string_view pub_dir, const TMapRules& rules) {
  if (!S_ISREG(opened.st_mode) || IsNeverServed(opened, rules)) return false;
  if (rules.ServeHidden) return true;
  // Kept per worker, like the mapped path, so the check allocates nothing
  // once warm.
  thread_local std::string real;
  // A file that cannot be named cannot be shown to lie outside a hidden
  // folder.
  if (!RealPathOfOpenedFile(handle, opened, mapped, real)) return false;
  // The usual case: no link on the way, and the mapping judged this name.
  if (real == mapped) return true;
  const std::string base(pub_dir.empty() ? std::string_view(kEmptyPubDirBase) : pub_dir);
  char* resolved = ::realpath(base.c_str(), nullptr);
  // Without the published directory there is no "below" it to judge.
  if (!resolved) return true;
  std::string real_pub(resolved);
  std::free(resolved);
  if (real_pub.empty() || real_pub.back() != '/') real_pub.push_back('/');
  // A link out of the published directory is the publisher's choice.
  if (!real.starts_with(real_pub)) return true;
  return !HasHiddenSegment(std::string_view(real).substr(real_pub.size()));
}

std::string_view FileExtOfPath(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

namespace {

std::string LookUpContentType(std::string_view ext) {
  for (const TContentTypeDef& row : kContentTypes) {
    if (TextEqualFolded(ext, row.ext)) return row.content_type;
  }
  if (std::string type = WebContentType(ext); !type.empty()) return type;
  return GetRegistryContentType(std::string(ext));
}

}  // namespace

const std::string& FileExtToContentType(std::string_view ext) {
  // The tables are read once per process, so an answer holds for good.
  thread_local std::string last_ext;
  thread_local std::string last_type;
  thread_local bool known = false;
  if (!known || ext != last_ext) {
    last_type = LookUpContentType(ext);
    last_ext = ext;
    known = true;
  }
  return last_type;
}

}  // namespace vt
