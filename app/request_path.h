#pragma once

// Mapping a request's URI onto a file of the published directory, and the
// content type of a file.
//
// The mapping is the server's safety line: whatever a client sends, a found
// path lies inside the published directory. Both "/" and "\" count as
// separators (a decoded URI may hold either); a NUL byte, a drive letter, two
// leading separators, a leading "../" and any ".." that cannot be resolved
// inside the path are refused. Symbolic links inside the published directory
// are followed: where they lead is the publisher's choice.
//
// Hidden files: a path with a name beginning with "." anywhere below the
// published directory (".git/config", "a/.env", ".ssh/") is not found
// (404) unless the rules say to serve hidden files; the check runs on the
// decoded, canonical path, so no escape or separator gets round it. Files
// the rules name as never served (the settings file, the access log) are
// not found wherever they lie and whatever name or link leads to them.
//
// The mapping judges names, and a name can lead elsewhere a moment later (a
// file swapped for a symbolic link between the stat and the open). So the
// file actually opened for an answer is judged again, by its descriptor,
// before a byte of it goes out (MayServeOpenedFile): its identity against
// the files never served, and, while hidden files are not served, the real
// path it was reached by against the hidden rule. A symbolic link inside the
// published directory that leads to a hidden name there ("env.txt" -> ".env",
// "gitdir" -> ".git") is thus not followed to it; a link that leads out of
// the published directory is followed as before.
//
// Threads: pure functions apart from the file-system queries; safe on any
// thread (the request handler runs them on the connection workers).

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/never_served.h"

namespace vt {

enum TMapResult {
  mrInvalid,   // refused as an invalid path (400)
  mrNotFound,  // nothing to serve (404)
  mrFound,     // a regular file to serve
};

// The documents tried, in this order, when a request names a directory.
inline constexpr const char* kDefaultDocuments[] = {"index.html", "index.htm", "default.html", "default.htm"};

// The published directory used when the setting is empty.
inline constexpr const char* kEmptyPubDirBase = "/inetpub/";

// What a mapping may serve beyond the plain files of the published tree.
struct TMapRules {
  // Serve names beginning with "." (hidden files and folders).
  bool ServeHidden = false;
  // Files never served, wherever they lie: compared by identity (device
  // and inode), so that no other name, hard link or symbolic link reaches
  // them. A file that does not exist (yet) protects nothing.
  std::vector<std::string> NeverServed;
  // When set, the files never served are these (and NeverServed is not
  // looked at): their snapshot spares a request the stat of each name.
  const TNeverServed* NeverServedFiles = nullptr;
};

// True when a segment of `path` ("/"-separated) begins with ".", "." and
// ".." segments included.
bool HasHiddenSegment(std::string_view path);

// Maps `uri` (the request's decoded path, without its query: a "?" here is
// part of a name) below `pub_dir`. `local_path` gets the
// file for mrFound, the path looked at for mrNotFound, and is empty for
// mrInvalid. `status`, when given, gets the stat of the file found.
// `folder`, when given, is set for mrNotFound when the path names a folder
// that exists but holds no default document (a hidden or never-served name
// is no such folder); it costs a stat only for a name written as a folder
// ("/docs/"), whose own stat the mapping does not make otherwise.
// `without_slash`, when given, is set when the path names a folder but is
// not written as one ("/docs"): a page served for it must be asked for as
// "/docs/", or the browser resolves its relative links one folder too high.
// It costs nothing: the name's own stat has told it.
TMapResult MapRequestPath(std::string_view uri, std::string_view pub_dir, std::string& local_path,
                          const TMapRules& rules = TMapRules(), struct stat* status = nullptr,
                          bool* folder = nullptr, bool* without_slash = nullptr);

// A path that names no file may name a program and go on after it
// ("/cgi/git.exe/repo.git/info/refs"). The offset just past the first
// segment at or after `from` that ends in ".exe" (any letter case) and is
// followed by a separator ("/" or "\\"); npos when there is none. Pure
// text.
std::size_t NextProgramSegmentEnd(std::string_view uri, std::size_t from = 0);

// For a path that names no file (MapRequestPath gave mrNotFound): the first
// leading part of `uri` that ends in a program's segment
// (NextProgramSegmentEnd) and maps to a regular ".exe" file, with the rules
// of MapRequestPath applied to that part. mrFound with `local_path` and
// `status` its file and `path_info_start` where the rest of the path
// begins; otherwise mrNotFound and `local_path` left as it was.
TMapResult MapProgramPath(std::string_view uri, std::string_view pub_dir, std::string& local_path,
                          const TMapRules& rules, struct stat* status, std::size_t& path_info_start);

// The judgement of the file opened for an answer: `handle` is its
// descriptor, `opened` the fstat of it, `mapped` the name it was opened by
// (MapRequestPath's local path) and `pub_dir` the published directory (as
// given to the mapping). True when it may be sent: a regular file, none of
// the files never served, and, unless hidden files are served, reached by a
// real path without a hidden name below the published directory.
//
// Cost: no system call while hidden files are served; otherwise one
// readlink of the descriptor's /proc entry, and only when that real path is
// not the mapped name itself (a link was followed) a realpath of the
// published directory.
bool MayServeOpenedFile(int handle, const struct stat& opened, std::string_view mapped,
                        std::string_view pub_dir, const TMapRules& rules);

// The extension of a path's file name from its last dot, dot included
// (".html"); empty when the file name has no dot.
std::string_view FileExtOfPath(std::string_view path);

// The content type for an extension (dot included): the server's own table,
// matched without regard to case, then the types of today's web
// (platform/mime_types.h), then the system's MIME database; empty when none
// knows it. Each thread keeps its last answer: a run of requests for one
// kind of file asks the tables once. The answer stays valid until the
// thread's next call.
const std::string& FileExtToContentType(std::string_view ext);

}  // namespace vt
