#include "tcpserver/connection_figures.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vt {

TConnectionFigures::TConnectionFigures() {
  for (std::atomic<std::uint64_t>& word : text_) word.store(0, std::memory_order_relaxed);
}

void TConnectionFigures::SetRequest(std::string_view text) {
  const std::size_t length = std::min(text.size(), kRequestTextSize);
  // Whole words: the last one padded with zeros.
  const std::size_t count = (length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
  std::uint64_t words[kWords];
  if (count > 0) words[count - 1] = 0;
  std::memcpy(words, text.data(), length);
  // The count is odd while the text changes. The words are stored with
  // release order, so a reader that sees a new word also sees the odd count
  // stored before it. (Fences would do too, but ThreadSanitizer cannot
  // follow them; on x86 either costs nothing.)
  const std::uint32_t sequence = text_sequence_.load(std::memory_order_relaxed);
  text_sequence_.store(sequence + 1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) text_[i].store(words[i], std::memory_order_release);
  text_length_.store(static_cast<std::uint8_t>(length), std::memory_order_release);
  text_sequence_.store(sequence + 2, std::memory_order_release);
}

std::string TConnectionFigures::Request() const {
  // The worker writes a request's text once, in a few stores: a read that
  // meets a write tries again, and gives up (empty) only if the worker keeps
  // writing new requests all the while.
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::uint32_t before = text_sequence_.load(std::memory_order_acquire);
    if (before & 1) continue;
    // Acquire loads: the count looked at again below is read after them.
    char copy[kRequestTextSize];
    const std::size_t length =
        std::min<std::size_t>(text_length_.load(std::memory_order_acquire), sizeof copy);
    for (std::size_t i = 0; i * sizeof(std::uint64_t) < length; ++i) {
      const std::uint64_t word = text_[i].load(std::memory_order_acquire);
      const std::size_t at = i * sizeof word;
      std::memcpy(copy + at, &word, std::min(sizeof word, length - at));
    }
    if (text_sequence_.load(std::memory_order_relaxed) == before) return std::string(copy, length);
  }
  return std::string();
}

std::int64_t TConnectionFigures::ResponseSent() const {
  const std::int64_t sent =
      BytesSent.load(std::memory_order_relaxed) - response_start_.load(std::memory_order_relaxed);
  const std::int64_t size = ResponseSize();
  return std::clamp<std::int64_t>(sent, 0, size >= 0 ? size : std::numeric_limits<std::int64_t>::max());
}

}  // namespace vt
