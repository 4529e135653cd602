#include "app/file_response.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/mime_types.h"
#include "streams/reader.h"

namespace vt {

std::string FileEntityTag(const struct stat& status) {
  const auto modified_ns = static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                           static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
  char tag[3 * 16 + 5];
  std::snprintf(tag, sizeof tag, "\"%jx-%jx-%jx\"", static_cast<std::uintmax_t>(status.st_ino),
                static_cast<std::uintmax_t>(status.st_size), static_cast<std::uintmax_t>(modified_ns));
  return tag;
}

std::unique_ptr<ThttpResponse> CreateFileResponse(const std::string& path, const std::string& content_type) {
  auto response = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, std::string(), nullptr, "OK");
  // An unknown type is left out rather than sent as an empty field, which
  // is no media type at all.
  if (!content_type.empty()) response->SetContentType(WithTextCharset(content_type));
  auto reader = std::make_unique<TFileReader>(path);
  const struct stat& status = reader->OpenStatus();
  response->ETag = FileEntityTag(status);
  // A time ahead of the clock (a file from a machine whose clock is ahead)
  // is no modification date a client could compare with its own.
  response->LastModified = std::min<std::int64_t>(status.st_mtim.tv_sec, std::time(nullptr));
  response->LastLines = {"Cache-Control: no-cache", "Accept-Ranges: bytes"};
  response->SetContentReader(std::move(reader));
  return response;
}

}  // namespace vt
