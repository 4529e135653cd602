#include "app/file_cache.h"

#include <ctime>

#include "util/thread_block_pool.h"

namespace vt {

bool SameFileVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::shared_ptr<const std::string> TSmallFileCache::Find(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode) || status.st_size > kMaxFileSize) return nullptr;
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(path);
  if (found == entries_.end() || !SameFileVersion(found->second.status, status)) return nullptr;
  return found->second.content;
}

std::int64_t TSmallFileCache::NowSeconds() const { return clock_ ? clock_() : std::time(nullptr); }

bool TSmallFileCache::Takes(const struct stat& status, std::int64_t now_seconds) {
  return S_ISREG(status.st_mode) && status.st_size <= kMaxFileSize &&
         static_cast<std::int64_t>(status.st_ctim.tv_sec) <= now_seconds - kSettleSeconds;
}

void TSmallFileCache::Offer(const std::string& path, const struct stat& before, const struct stat& after,
                            std::int64_t now_seconds, std::shared_ptr<const std::string> content) {
  if (!content || !Takes(before, now_seconds) || !SameFileVersion(before, after) ||
      static_cast<std::int64_t>(content->size()) != before.st_size)
    return;
  std::shared_ptr<const std::string> shared = std::move(content);
  std::lock_guard lock(mutex_);
  if (const auto found = entries_.find(path); found != entries_.end()) {
    // A newer version replaces the one held, in its place in the order.
    bytes_ -= found->second.content->size();
    bytes_ += shared->size();
    found->second = TEntry{before, std::move(shared)};
  } else {
    bytes_ += shared->size();
    entries_.emplace(path, TEntry{before, std::move(shared)});
    order_.push_back(path);
  }
  while ((bytes_ > kMaxBytes || entries_.size() > kMaxFiles) && !order_.empty()) {
    const auto oldest = entries_.find(order_.front());
    if (oldest != entries_.end()) {
      bytes_ -= oldest->second.content->size();
      entries_.erase(oldest);
    }
    order_.pop_front();
  }
}

std::size_t TSmallFileCache::Files() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::size_t TSmallFileCache::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

// The readers a thread freed, kept for its next answers from memory.
using TReaderBlocks = TThreadBlockPool<sizeof(TSharedTextReader), 4>;

void* TSharedTextReader::operator new(std::size_t size) {
  return size == sizeof(TSharedTextReader) ? TReaderBlocks::Allocate() : ::operator new(size);
}

void TSharedTextReader::operator delete(void* reader, std::size_t size) noexcept {
  if (size == sizeof(TSharedTextReader)) {
    TReaderBlocks::Free(reader);
  } else {
    ::operator delete(reader);
  }
}

}  // namespace vt
