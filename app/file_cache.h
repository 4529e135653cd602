#pragma once

// TSmallFileCache: small files of the published directory kept in memory, so
// that answering one costs no open, read or close, only the stat of its path
// that the request's mapping makes anyway.
//
// A file is used from memory only while that stat says it is unchanged: the
// same device, inode, size, type, modification and change times (to the
// nanosecond). Every write to a file moves its change time, but to a time
// of the system's coarse clock, so two writes a moment apart may leave the
// same time behind: a file whose change time is less than kSettleSeconds old
// is therefore never taken in (its content could still change without its
// times showing it), and one taken in could only change by moving its change
// time past the one it had. A file is taken in only when its status did not
// change while it was read.
//
// Bounds: files of up to kMaxFileSize bytes, kMaxBytes and kMaxFiles in
// all; when a new file does not fit, files go in the order they came.
//
// Threads: any; one lock guards the table, and the content of a file is
// shared, never copied, by the answers that send it.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "streams/reader.h"

namespace vt {

class TSmallFileCache {
 public:
  static constexpr std::int64_t kMaxFileSize = 16 * 1024;
  static constexpr std::size_t kMaxBytes = 1024 * 1024;
  static constexpr std::size_t kMaxFiles = 256;
  static constexpr std::int64_t kSettleSeconds = 3;

  // The clock that says whether a file has settled (seconds since the Unix
  // epoch); the system's wall clock when none is given. Tests pass one that
  // runs ahead rather than waiting for a file to age.
  explicit TSmallFileCache(std::function<std::int64_t()> clock = nullptr) : clock_(std::move(clock)) {}

  // The time by the cache's clock.
  std::int64_t NowSeconds() const;

  // The content of `path` when it is held and `status` (a stat of the path
  // made just now) describes the file it was read from; else null.
  std::shared_ptr<const std::string> Find(const std::string& path, const struct stat& status);

  // Whether a file of this status would be taken in at the time
  // `now_seconds` (seconds since the Unix epoch): a regular file small
  // enough, its change time settled.
  static bool Takes(const struct stat& status, std::int64_t now_seconds);

  // Offers the content of `path`, read whole through a descriptor whose
  // status was `before` when reading began and `after` when it ended. Taken
  // (in place of an older version) only when the two agree, the content has
  // the size they tell and Takes holds.
  void Offer(const std::string& path, const struct stat& before, const struct stat& after,
             std::int64_t now_seconds, std::shared_ptr<const std::string> content);

  // What the table holds (for tests).
  std::size_t Files() const;
  std::size_t Bytes() const;

 private:
  struct TEntry {
    struct stat status;
    std::shared_ptr<const std::string> content;
  };

  const std::function<std::int64_t()> clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, TEntry> entries_;
  std::deque<std::string> order_;  // paths in the order they came
  std::size_t bytes_ = 0;
};

// Both stats describe the same version of the same file.
bool SameFileVersion(const struct stat& a, const struct stat& b);

// A reader over content it shares (a file held by TSmallFileCache).
class TSharedTextReader : public TMemoryReader {
 public:
  explicit TSharedTextReader(std::shared_ptr<const std::string> text)
      : TMemoryReader(text->data(), static_cast<std::int64_t>(text->size())), text_(std::move(text)) {}

  // One is made and freed for every answer from the cache: each thread keeps
  // a few freed ones for the next (not in sanitizer builds, which should see
  // every use after free).
  static void* operator new(std::size_t size);
  static void operator delete(void* reader, std::size_t size) noexcept;

 private:
  std::shared_ptr<const std::string> text_;
};

}  // namespace vt
