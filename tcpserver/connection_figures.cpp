#include "tcpserver/connection_figures.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vt {

TConnectionFigures::TConnectionFigures() = default;

void TConnectionFigures::SetRequest(std::string_view text) {
  const std::size_t length = std::min(text.size(), kRequestTextSize);
  // Whole words: the last one padded with zeros.
  const std::size_t count = (length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
  std::uint64_t words[kWords];
  if (count > 0) words[count - 1] = 0;
  std::memcpy(words, text.data(), length);
  text_lock_.BeginWrite();
  for (std::size_t i = 0; i < count; ++i) text_[i].Store(words[i]);
  text_length_.Store(static_cast<std::uint8_t>(length));
  text_lock_.EndWrite();
}

std::string TConnectionFigures::Request() const {
  // The worker writes a request's text once, in a few stores: a read that
  // meets a write tries again, and gives up (empty) only if the worker keeps
  // writing new requests all the while.
  constexpr int kTries = 64;
  char copy[kRequestTextSize];
  std::size_t length = 0;
  const bool read = text_lock_.Read(kTries, [&] {
    length = std::min<std::size_t>(text_length_.Load(), sizeof copy);
    for (std::size_t i = 0; i * sizeof(std::uint64_t) < length; ++i) {
      const std::uint64_t word = text_[i].Load();
      const std::size_t at = i * sizeof word;
      std::memcpy(copy + at, &word, std::min(sizeof word, length - at));
    }
  });
  return read ? std::string(copy, length) : std::string();
}

std::int64_t TConnectionFigures::ResponseSent() const {
  const std::int64_t sent =
      BytesSent.load(std::memory_order_relaxed) - response_start_.load(std::memory_order_relaxed);
  const std::int64_t size = ResponseSize();
  return std::clamp<std::int64_t>(sent, 0, size >= 0 ? size : std::numeric_limits<std::int64_t>::max());
}

}  // namespace vt
