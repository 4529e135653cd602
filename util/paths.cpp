#include "util/paths.h"

#include <sys/stat.h>

#include <vector>

#include "util/text.h"

namespace vt {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Resolves ".." segments, last one first: each is removed together with the
// nearest segment before it that is not "..". Resolution stops at the first
// ".." that would have to reach before the front of the path, across an
// empty segment (a doubled separator or a root) or into a drive.
void ResolveParentSegments(std::vector<std::string>& segments) {
  for (;;) {
    std::size_t parent = segments.size();
    while (parent > 0 && segments[parent - 1] != "..") --parent;
    if (parent == 0) return;
    const std::size_t dots = parent - 1;

    std::size_t target = dots;
    while (target > 0 && segments[target - 1] == "..") --target;
    if (target == 0) return;
    --target;
    if (segments[target].empty()) return;
    if (target == 0 && PathStartsWithDrive(segments[0])) return;

    segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(dots));
    segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(target));
  }
}

}  // namespace

bool PathStartsWithDrive(std::string_view path) {
  return path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':';
}

bool PathIsNetworkShare(std::string_view path) {
  return path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
}

bool PathIsDirectoryForm(std::string_view path) {
  if (path.empty()) return false;
  if (path.size() == 2 && PathStartsWithDrive(path)) return true;
  return path.back() == '/' || path.back() == '\\';
}

std::string PathWithTrailingDelimiter(std::string_view path, char delimiter) {
  std::string result(path);
  if (!result.empty() && result.back() != delimiter) result.push_back(delimiter);
  return result;
}

// Every step of CanonicalizePath starts from such a dot.
bool PathHasDotToResolve(std::string_view path) {
  if (path.empty() || path.back() == '.') return !path.empty();
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '.') continue;
    if (i == 0 || path[i - 1] == '/' || path[i - 1] == '\\' || path[i + 1] == '.') return true;
  }
  return false;
}

std::string CanonicalizePath(std::string_view input, char delimiter) {
  std::string path(input);
  if (!PathHasDotToResolve(path)) return path;

  // "a\.\.\b" needs more than one pass: a replacement can make a new match.
  for (;;) {
    const std::size_t length = path.size();
    path = ReplaceText("\\.\\", "\\", path, true);
    path = ReplaceText("/./", "/", path, true);
    if (path.size() == length) break;
  }
  DropPrefixInPlace(path, ".\\", true);
  DropPrefixInPlace(path, "./", true);
  DropSuffixInPlace(path, "\\.", true);
  DropSuffixInPlace(path, "/.", true);

  if (path.find("..") != std::string::npos) {
    std::vector<std::string> segments = SplitAtByte(path, delimiter);
    ResolveParentSegments(segments);
    path = JoinWithByte(segments, delimiter);
  }

  // A ".." that climbs above the root goes no further than the root.
  while (TextHasPrefix("\\..\\", path, true)) path.erase(0, 3);
  while (TextHasPrefix("/../", path, true)) path.erase(0, 3);
  if (path == "\\.." || path == "/..") path.clear();

  // The same for the root of a drive, once.
  if (!path.empty() && IsAsciiLetter(path[0])) {
    if (path.compare(1, 5, ":\\..\\") == 0) {
      path.erase(3, 3);
    } else if (path.size() == 5 && path.compare(1, 4, ":\\..") == 0) {
      return path.substr(0, 2);
    }
  }

  // A name with one trailing dot stands for the name without it ("name."),
  // unlike "..", "name.." or "C:.".
  if (path == ".") {
    path.clear();
  } else if (path.size() > 1 && path.back() == '.') {
    const char before = path[path.size() - 2];
    if (before != '.' && before != '/' && before != ':' && before != '\\') path.pop_back();
  }
  return path;
}

std::string FileURLPathToPath(std::string_view text) {
  return ReplaceByte('/', '\\', ReplaceByteSet(ByteSet(":<>\\|"), '_', text));
}

TDateTime GetFileDateTime(const std::string& file_name) {
  if (file_name.empty() || file_name.find('\0') != std::string::npos) return 0;
  struct stat status {};
  if (::stat(file_name.c_str(), &status) != 0) return 0;
  // Two-second resolution, like the packed file dates the value is compared
  // with elsewhere.
  TDateTime value = UnixTimeToLocalDateTime(status.st_mtime);
  if (DecodeDateTime(value).second % 2 != 0) value = UnixTimeToLocalDateTime(status.st_mtime - 1);
  return value;
}

}  // namespace vt
