#include "http/content_readers.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "http/http_text.h"
#include "util/text.h"

namespace vt {

using detail::HexDigitValue;

// ---------------------------------------------------------------------------
// ThttpSizedContentReader

ThttpSizedContentReader::ThttpSizedContentReader(AReaderEx* reader, bool readerOwner, int64_t size)
    : TReaderProxy(reader, readerOwner, size) {}

int64_t ThttpSizedContentReader::GetSize() { return WindowSize(); }

bool ThttpSizedContentReader::AtEnd() { return GetPosition() >= WindowSize(); }

// ---------------------------------------------------------------------------
// ThttpChunkedContentReader

int64_t ParseChunkSizeLine(const std::string& line) {
  std::size_t i = 0;
  int64_t size = 0;
  for (; i < line.size() && HexDigitValue(line[i]) >= 0; ++i) {
    // One more digit would pass 2^63 - 1: no size wraps to a small one.
    if (size > (std::numeric_limits<int64_t>::max() >> 4)) return -1;
    size = size * 16 + HexDigitValue(line[i]);
  }
  if (i == 0) return -1;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i == line.size() || line[i] == ';' ? size : -1;
}

ThttpChunkedContentReader::ThttpChunkedContentReader(AReaderEx* reader, bool rawMode)
    : reader_(reader), raw_mode_(rawMode) {
  ReadChunkHeader();
}

std::string ThttpChunkedContentReader::ReadFramingLine() {
  if (reader_->AtEnd()) return std::string();
  const int64_t end = reader_->FindByte('\n', false, kMaxLineLength - 1);
  if (end < 0) {
    // No line end within the bound: the line is too long, unless the data
    // ends (or stops coming) before the bound.
    if (static_cast<int64_t>(reader_->PeekText(kMaxLineLength).size()) < kMaxLineLength)
      throw EChunkedContentReader("Stream read error");
    throw EChunkedContentFraming("Chunk framing line too long");
  }
  std::string line = reader_->ReadText(static_cast<int32_t>(end));
  reader_->Skip(1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.find('\r') != std::string::npos) throw EChunkedContentFraming("Bare CR in chunk framing");
  if (raw_mode_) pending_raw_.append(line).append("\r\n");
  return line;
}

void ThttpChunkedContentReader::ReadChunkHeader() {
  const std::string sizeLine = ReadFramingLine();
  // Data that ends where a size line belongs is a body cut short, not an
  // empty last chunk.
  if (sizeLine.empty() && reader_->AtEnd()) throw EChunkedContentReader("Stream read error");
  const int64_t size = ParseChunkSizeLine(sizeLine);
  if (size < 0) throw EChunkedContentFraming("Invalid chunk size");
  chunk_size_ = size;
  chunk_consumed_ = 0;
  last_chunk_ = chunk_size_ == 0;
  if (!last_chunk_) return;
  std::string line;
  do {
    line = ReadFramingLine();
    if (line.empty()) break;
    if (trailer_lines_.size() >= static_cast<size_t>(kMaxTrailerLines))
      throw EChunkedContentFraming("Too many trailer lines");
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
    const auto k = static_cast<int32_t>(std::min<int64_t>(chunk_size_ - chunk_consumed_, count - done));
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
      if (!ReadFramingLine().empty()) throw EChunkedContentFraming("Bytes after chunk data");
      ReadChunkHeader();
    }
  }
  return done;
}

}  // namespace vt
