#include "http/content_readers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "http/http_text.h"
#include "util/text.h"

namespace vt {

// ---------------------------------------------------------------------------
// ThttpSizedContentReader

ThttpSizedContentReader::ThttpSizedContentReader(AReaderEx* reader, bool readerOwner, int64_t size)
    : TReaderProxy(reader, readerOwner, size) {}

int64_t ThttpSizedContentReader::GetSize() { return WindowSize(); }

bool ThttpSizedContentReader::AtEnd() { return GetPosition() >= WindowSize(); }

// ---------------------------------------------------------------------------
// ThttpChunkedContentReader

int64_t ParseChunkSizeLine(const std::string& line) {
  const std::string digits = detail::Trimmed(TextBeforeDelimiter(line, ";", true, true));
  // Only the last eight digits make the value; a non-zero digit before them
  // would be dropped, and the body's framing lost with it.
  const size_t head = digits.size() > 8 ? digits.size() - 8 : 0;
  for (size_t i = 0; i < head; ++i) {
    if (digits[i] != '0' && std::isxdigit(static_cast<unsigned char>(digits[i]))) return -1;
  }
  const int64_t size = HexTextToInt(digits);
  return size > std::numeric_limits<int32_t>::max() ? -1 : size;
}

ThttpChunkedContentReader::ThttpChunkedContentReader(AReaderEx* reader, bool rawMode)
    : reader_(reader), raw_mode_(rawMode) {
  ReadChunkHeader();
}

std::string ThttpChunkedContentReader::ReadFramingLine() {
  std::string line = reader_->ReadLine(kMaxLineLength, true);
  if (raw_mode_) pending_raw_.append(line).append("\r\n");
  return line;
}

void ThttpChunkedContentReader::ReadChunkHeader() {
  const std::string sizeLine = ReadFramingLine();
  // Data that ends where a size line belongs is a body cut short, not an
  // empty last chunk.
  if (sizeLine.empty() && reader_->AtEnd()) throw EChunkedContentReader("Stream read error");
  const int64_t size = ParseChunkSizeLine(sizeLine);
  if (size < 0) throw EChunkedContentReader("Invalid chunk size");
  chunk_size_ = static_cast<int32_t>(size);
  chunk_consumed_ = 0;
  last_chunk_ = chunk_size_ == 0;
  if (!last_chunk_) return;
  std::string line;
  do {
    line = ReadFramingLine();
    if (line.empty()) break;
    if (trailer_lines_.size() >= static_cast<size_t>(kMaxTrailerLines))
      throw EChunkedContentReader("Too many trailer lines");
    trailer_lines_.push_back(line);
  } while (!reader_->AtEnd());
}

int64_t ThttpChunkedContentReader::GetPosition() { return position_; }

void ThttpChunkedContentReader::SetPosition(int64_t position) {
  if (position != position_) throw EReader("SetPosition failed");
}

int64_t ThttpChunkedContentReader::GetSize() { return AtEnd() ? position_ : -1; }

bool ThttpChunkedContentReader::AtEnd() { return last_chunk_ && pending_raw_.empty(); }

int32_t ThttpChunkedContentReader::Read(char* buffer, int32_t count) {
  if (AtEnd()) throw EChunkedContentReader("Read past EOF");
  int32_t done = 0;
  while (done < count && !AtEnd()) {
    if (!pending_raw_.empty()) {
      const int32_t n =
          static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(count - done), pending_raw_.size()));
      std::memcpy(buffer + done, pending_raw_.data(), static_cast<size_t>(n));
      pending_raw_.erase(0, static_cast<size_t>(n));
      position_ += n;
      done += n;
      if (done >= count || AtEnd()) break;
    }
    const int32_t k = std::min(chunk_size_ - chunk_consumed_, count - done);
    // A connection delivers what it has; the chunk's bytes may take several
    // reads to arrive.
    int32_t got = 0;
    while (got < k) {
      const int32_t n = reader_->Read(buffer + done + got, k - got);
      if (n <= 0) break;
      got += n;
    }
    if (got < k) throw EChunkedContentReader("Stream read error");
    chunk_consumed_ += k;
    done += k;
    position_ += k;
    if (chunk_consumed_ == chunk_size_) {
      ReadFramingLine();
      ReadChunkHeader();
    }
  }
  return done;
}

}  // namespace vt
