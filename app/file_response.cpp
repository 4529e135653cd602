#include "app/file_response.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "app/file_cache.h"
#include "app/request_path.h"
#include "platform/mime_types.h"
#include "streams/reader.h"
#include "util/text.h"

namespace vt {

namespace {

void AppendHex(std::string& out, std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[16];
  int first = 16;
  do {
    text[--first] = kDigits[value & 15];
    value >>= 4;
  } while (value != 0);
  out.append(text + first, static_cast<std::size_t>(16 - first));
}

// The whole content of a measured file through its descriptor, and its
// status once read; false when a read fails or the file ends early.
bool ReadWhole(const TFileReader& reader, std::string& content, struct stat& after) {
  content.resize(static_cast<std::size_t>(reader.OpenStatus().st_size));
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        ::pread(reader.Handle(), content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return ::fstat(reader.Handle(), &after) == 0;
}

}  // namespace

const std::string& FileEntityTag(const struct stat& status) {
  const auto modified_ns = static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                           static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
  // Each thread keeps its last tag: a run of answers for one file asks for
  // the same one again and again.
  thread_local std::uint64_t last_inode = 0;
  thread_local std::uint64_t last_size = 0;
  thread_local std::uint64_t last_modified_ns = 0;
  thread_local std::string last_tag;
  if (!last_tag.empty() && last_inode == static_cast<std::uint64_t>(status.st_ino) &&
      last_size == static_cast<std::uint64_t>(status.st_size) && last_modified_ns == modified_ns)
    return last_tag;
  std::string& tag = last_tag;
  tag.clear();
  tag.reserve(3 * 16 + 5);
  tag += '"';
  AppendHex(tag, static_cast<std::uint64_t>(status.st_ino));
  tag += '-';
  AppendHex(tag, static_cast<std::uint64_t>(status.st_size));
  tag += '-';
  AppendHex(tag, modified_ns);
  tag += '"';
  last_inode = static_cast<std::uint64_t>(status.st_ino);
  last_size = static_cast<std::uint64_t>(status.st_size);
  last_modified_ns = modified_ns;
  return tag;
}

std::unique_ptr<ThttpResponse> CreateFileResponse(const std::string& path, const std::string& content_type,
                                                  const struct stat* mapped, TSmallFileCache* cache,
                                                  std::unique_ptr<ThttpResponse> response,
                                                  const TOpenedFileCheck* check) {
  if (!response) response = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, std::string(), nullptr, "OK");
  // An unknown type is left out rather than sent as an empty field, which
  // is no media type at all.
  // Only a text type gains a character set: the others are set as they are,
  // without a copy.
  if (TextHasPrefix("text/", content_type, false)) {
    response->SetContentType(WithTextCharset(content_type));
  } else if (!content_type.empty()) {
    response->SetContentType(content_type);
  }
  struct stat status {};
  std::unique_ptr<AReaderEx> body;
  if (cache && mapped) {
    if (std::shared_ptr<const std::string> content = cache->Find(path, *mapped)) {
      status = *mapped;
      body = std::make_unique<TSharedTextReader>(std::move(content));
    }
  }
  if (!body) {
    auto reader = std::make_unique<TFileReader>(path);
    status = reader->OpenStatus();
    if (check && !MayServeOpenedFile(reader->Handle(), status, path, check->pub_dir, check->rules))
      return nullptr;
    const std::int64_t now = cache ? cache->NowSeconds() : 0;
    std::string content;
    struct stat after {};
    if (cache && reader->Measured() && TSmallFileCache::Takes(status, now) &&
        ReadWhole(*reader, content, after) && SameFileVersion(status, after)) {
      auto shared = std::make_shared<const std::string>(std::move(content));
      cache->Offer(path, status, after, now, shared);
      body = std::make_unique<TSharedTextReader>(std::move(shared));
    } else {
      body = std::move(reader);
    }
  }
  response->ETag = FileEntityTag(status);
  // A time ahead of the clock (a file from a machine whose clock is ahead)
  // is no modification date a client could compare with its own.
  response->LastModified = std::min<std::int64_t>(status.st_mtim.tv_sec, std::time(nullptr));
  response->LastLines.reserve(2);
  response->AddLastLine("Cache-Control: no-cache");
  response->AddLastLine("Accept-Ranges: bytes");
  response->SetContentReader(std::move(body));
  return response;
}

}  // namespace vt
