#pragma once

// Pure functions on path texts that may use "\" or "/" as separators and may
// start with a drive letter or a network share name, plus one query of a
// file's modification time. All comparisons are exact byte comparisons.
//
// CanonicalizePath is what keeps a request inside the published directory:
// it resolves "." and ".." segments as far as the path allows and leaves any
// ".." it cannot resolve in place, so callers must still refuse a result that
// holds a ".." segment.

#include <string>
#include <string_view>

#include "util/date_time.h"

namespace vt {

// True when path has at least two characters, the first an ASCII letter and
// the second ":" ("C:", "c:\x", "C:x").
bool PathStartsWithDrive(std::string_view path);

// True when path begins with two "\" characters.
bool PathIsNetworkShare(std::string_view path);

// True when path ends with "/" or "\", or is a bare drive such as "C:"; false
// for the empty path.
bool PathIsDirectoryForm(std::string_view path);

// path with delimiter appended unless it already ends with it; the empty path
// stays empty.
std::string PathWithTrailingDelimiter(std::string_view path, char delimiter);

// path with its "." segments removed and its ".." segments resolved against
// the segment before them where possible. delimiter splits the path into
// segments for the ".." resolution; the other cleaning treats "\" and "/"
// alike. What cannot be resolved stays: a ".." at the front of a relative
// path, right after a drive ("C:\..\..\x" gives "C:\..\x") or after an empty
// segment ("\a\\..\b" stays). Leading "\..\" and "/../" runs are dropped
// ("\..\secret" gives "\secret"), "C:\..\x" gives "C:\x" and "C:\.." gives
// "C:", and one trailing "." of a name goes ("file.txt." gives "file.txt").
std::string CanonicalizePath(std::string_view path, char delimiter);
// Whether CanonicalizePath has anything to do: a dot that starts a segment,
// ends the path or stands beside another dot. A path without one (most
// paths) is canonical as it is, and has no ".." segment.
bool PathHasDotToResolve(std::string_view path);

// The path part of a "file:" URL as a path: every ":", "<", ">", "\" and "|"
// becomes "_", then every "/" becomes "\" ("/c|/dir/a<b" gives "\c_\dir\a_b").
std::string FileURLPathToPath(std::string_view text);

// The last modification time of the file (or directory) as a local date-time,
// truncated to an even number of seconds; 0 when it does not exist or cannot
// be examined. A name holding a NUL byte never reaches the system and gives 0.
TDateTime GetFileDateTime(const std::string& file_name);

}  // namespace vt
