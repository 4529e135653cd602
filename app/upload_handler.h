#pragma once

// Uploads as requests: which requests are uploads, where their files go,
// and the answer they get.
//
// With AllowUploads on, two requests store files in the upload folder
// (UploadFolder: a folder below the published one, empty for the published
// folder itself), and only there, not in folders below it:
//   PUT /folder/name         the body is the file "name" (curl -T);
//   POST /folder/            a multipart/form-data body (a browser's form,
//                            curl -F): each part with a file name is a file.
// A stored file gets 201 Created with a Location field (the first file's
// URL) and a short page naming what was stored and under which names; a
// refusal gets its status (400, 403, 409, 413, 507) and a page that says
// why. The server's log gets a line per file stored and per refusal.
//
// The body is streamed (AhttpServerClient::StreamRequestBody) from the
// request's head on, so it is never held in memory whole; its time is
// kUploadBodyTime plus what kUploadMinRate needs for the bytes announced.
//
// Threads: the connection's worker.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/request_path.h"
#include "app/settings.h"

namespace vt {

class AhttpServerClient;

// The time every upload body has, on top of what its size needs.
inline constexpr std::uint32_t kUploadBodyTime = 60000;
// Bytes per second an upload body is given time for: a phone on a poor
// network sends a few hundred kilobytes per second; a body slower than this
// holds a worker longer than it deserves.
inline constexpr std::int64_t kUploadMinRate = 16 * 1024;

// Milliseconds for an upload body of `size` bytes (negative: not known,
// so `max_size` counts), capped at what the time type holds.
std::uint32_t UploadBodyTime(std::int64_t size, std::int64_t max_size);

// The upload folder as a URL path ("/" or "/photos/"), or empty when the
// setting names no folder below the published one (".." segments, a hidden
// name while hidden files are not served, a control byte).
std::string UploadFolderURL(std::string_view upload_folder, bool serve_hidden);

// Is this request, by its method and decoded path, one the upload route
// answers (before the folder is looked at): PUT of any path, POST to a path
// written as a folder.
bool IsUploadRequest(std::string_view method, std::string_view uri, bool uploads_allowed);

// `text` percent-encoded for a URL path: everything but unreserved
// characters and "/".
std::string PercentEncodePath(std::string_view text);

// Worker: the client's request (an upload by IsUploadRequest) is stored,
// and its answer set on the client.
void AnswerUpload(AhttpServerClient& client, const TWebServerSettings& settings);

}  // namespace vt
