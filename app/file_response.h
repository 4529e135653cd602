#pragma once

// The answer that sends a file of the published directory.
//
// Besides the body and its type it tells a client what it needs to keep the
// file and ask for it again cheaply: Last-Modified and a strong ETag (both
// from the one fstat of the opened file, or from the stat that found a file
// held in memory unchanged, so they describe exactly the bytes sent),
// "Cache-Control: no-cache" (a browser keeps the file but asks each
// time whether it changed: files on a desktop change under the server, and
// a reload must never show a stale page) and "Accept-Ranges: bytes". With
// its validators the server answers conditional requests with 304 or 412
// and honours If-Range (http/conditional.h).
//
// Threads: any; the request handler calls it on the connection's worker.

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "http/message.h"

namespace vt {

class TSmallFileCache;
struct TMapRules;

// What a file opened for an answer is judged by before a byte of it is sent
// (MayServeOpenedFile, app/request_path.h): the published directory and the
// rules the request was mapped with.
struct TOpenedFileCheck {
  std::string_view pub_dir;
  const TMapRules& rules;
};

// The strong entity tag of a file version, quotes included: its inode, size
// and modification time in nanoseconds, in hexadecimal. Any write that
// changes the file changes its modification time or size; a file replaced
// by another (saved by rename) has another inode. The text is the thread's
// own and holds until its next call on that thread.
const std::string& FileEntityTag(const struct stat& status);

// A 200 "OK" answer with the file at `path` as its body, `content_type`
// (with a charset for plain text, platform/mime_types.h; none when empty)
// and the fields above. A file that cannot be opened raises EFileReader.
//
// With `check`, the file is opened once and judged through its descriptor
// (a name judged earlier may lead elsewhere now); one that fails gets no
// answer here: the result is null, and the caller answers "Not found".
//
// With a cache and the stat of the path just made (`mapped`), a small file
// held there unchanged is sent from memory, and one read now is offered to
// it (app/file_cache.h); the answer is the same either way. Only a file that
// passed `check` is offered, and one is found again only while the path's
// stat names the same version of the same file (device and inode included),
// whose identity the mapping judged.
//
// `response`, when given, is the empty 200 "OK" answer to fill in (a
// connection's object used again, AhttpServerClient::NewResponse).
std::unique_ptr<ThttpResponse> CreateFileResponse(const std::string& path, const std::string& content_type,
                                                  const struct stat* mapped = nullptr,
                                                  TSmallFileCache* cache = nullptr,
                                                  std::unique_ptr<ThttpResponse> response = nullptr,
                                                  const TOpenedFileCheck* check = nullptr);

}  // namespace vt
