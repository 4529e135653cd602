#include "streams/reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "streams/file_io.h"
#include "util/ascii.h"

namespace vt {

namespace {

constexpr char kCR = 13;
constexpr char kLF = 10;
constexpr char kSUB = 26;

// Piece size of reads up to the end of a reader of unknown size.
constexpr int32_t kEndPiece = 2048;
// First allocation of a counted read; it doubles as the bytes arrive.
constexpr int64_t kFirstTextBlock = 64 * 1024;

constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();

int32_t ClampCount(int64_t count) { return static_cast<int32_t>(std::min(count, kMaxCount)); }

bool BytesEqual(const char* a, const char* b, int64_t n, bool caseSensitive) {
  return caseSensitive ? std::memcmp(a, b, static_cast<size_t>(n)) == 0
                       : AsciiEqualFolded(a, b, static_cast<size_t>(n));
}

// The next capacity of a string that is filled up to `filled` and may grow
// to `count`: doubling from kFirstTextBlock, so memory follows the bytes that
// actually arrived.
int64_t NextCapacity(int64_t filled, int64_t count) {
  return std::min(count, std::max(kFirstTextBlock, 2 * filled));
}

// The byte-at-a-time search of FindByte and FindByteInSet: reads byte by byte
// and seeks back to where it started.
template <typename IsHit>
int64_t ScanBytes(AReaderEx& reader, int64_t maxOffset, IsHit isHit) {
  const int64_t start = reader.GetPosition();
  for (int64_t i = 0; !reader.AtEnd() && (maxOffset < 0 || i <= maxOffset); ++i) {
    if (isHit(reader.ReadByte())) {
      reader.SetPosition(start);
      return i;
    }
  }
  reader.SetPosition(start);
  return -1;
}

}  // namespace

void RaiseReadError(const std::string& text) { throw EReader(text.empty() ? "Read error" : text); }

// ---------------------------------------------------------------------------
// AReaderEx defaults

int64_t AReaderEx::ReadFully(char* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const int32_t n = Read(buffer + done, ClampCount(count - done));
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::string AReaderEx::ReadAvailable(int64_t count) {
  std::string text;
  int64_t got = 0;
  while (got < count) {
    // Grow with the bytes instead of reserving `count` up front: the count
    // may be a size a peer announced before sending anything.
    const int64_t capacity = NextCapacity(got, count);
    text.resize(static_cast<size_t>(capacity));
    got += ReadFully(text.data() + got, capacity - got);
    if (got < capacity) break;
  }
  text.resize(static_cast<size_t>(got));
  return text;
}

std::string AReaderEx::ReadToEnd() {
  std::string text;
  char piece[kEndPiece];
  while (!AtEnd()) {
    const int32_t n = Read(piece, kEndPiece);
    if (n <= 0) {
      // A reader may only learn that it has ended by trying (a connection
      // closed meanwhile); one that is still not at its end has stalled.
      if (AtEnd()) break;
      RaiseReadError();
    }
    text.append(piece, static_cast<size_t>(n));
  }
  return text;
}

std::string AReaderEx::ReadText(int32_t count) { return count > 0 ? ReadAvailable(count) : std::string(); }

std::string AReaderEx::ReadAllText() {
  SetPosition(0);
  const int64_t size = GetSize();
  if (size < 0) return ReadToEnd();
  std::string text = ReadAvailable(size);
  // Fewer bytes than announced is a failure unless the data really ended
  // (a file that shrank meanwhile).
  if (static_cast<int64_t>(text.size()) < size && !AtEnd()) RaiseReadError();
  return text;
}

char AReaderEx::ReadByte() {
  char value;
  ReadExact(&value, 1);
  return value;
}

int32_t AReaderEx::Peek(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  const int64_t start = GetPosition();
  const int32_t n = static_cast<int32_t>(ReadFully(buffer, count));
  if (n > 0) SetPosition(start);
  return n;
}

std::string AReaderEx::PeekText(int32_t count) {
  std::string text;
  int64_t capacity = 0;
  while (capacity < count) {
    // Peek cannot continue where it stopped, so each larger attempt starts
    // over; doubling keeps the total work linear.
    capacity = NextCapacity(capacity, count);
    text.resize(static_cast<size_t>(capacity));
    const int32_t n = Peek(text.data(), static_cast<int32_t>(capacity));
    if (n < capacity) {
      text.resize(static_cast<size_t>(n));
      break;
    }
  }
  return text;
}

char AReaderEx::PeekByte() {
  char value;
  PeekExact(&value, 1);
  return value;
}

int32_t AReaderEx::MatchBytes(const char* buffer, int32_t count, bool caseSensitive) {
  if (count <= 0) return -1;
  const auto block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(count));
  const int32_t n = Peek(block.get(), count);
  if (n <= 0) return 0;
  return BytesEqual(block.get(), buffer, n, caseSensitive) ? n : -1;
}

bool AReaderEx::MatchText(const std::string& text, bool caseSensitive) {
  if (text.empty()) return false;
  return MatchExact(text.data(), ClampCount(static_cast<int64_t>(text.size())), caseSensitive);
}

void AReaderEx::Skip(int64_t count) {
  if (count < 0) throw EReader("Skip error");
  if (count == 0) return;
  SetPosition(GetPosition() + count);
}

int64_t AReaderEx::FindByte(char value, bool negate, int64_t maxOffset) {
  return ScanBytes(*this, maxOffset, [value, negate](char c) { return (c == value) != negate; });
}

int64_t AReaderEx::FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset) {
  return ScanBytes(*this, maxOffset, [&set, negate](char c) { return set.Contains(c) != negate; });
}

int64_t AReaderEx::FindBytes(const char* buffer, int32_t count, int64_t maxOffset, bool caseSensitive) {
  if (count <= 0) return -1;
  const auto block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(count));
  const int64_t start = GetPosition();
  for (int64_t i = 0; !AtEnd() && (maxOffset < 0 || i <= maxOffset);) {
    const int32_t n = Peek(block.get(), count);
    if (n <= 0) {
      // Not at the end, yet nothing to look at: the reader has stalled. A
      // hit cannot be claimed, and "not found" would be a guess.
      SetPosition(start);
      RaiseReadError();
    }
    if (BytesEqual(block.get(), buffer, n, caseSensitive)) {
      SetPosition(start);
      return i;
    }
    ++i;
    SetPosition(start + i);
  }
  SetPosition(start);
  return -1;
}

int64_t AReaderEx::FindText(const std::string& text, int64_t maxOffset, bool caseSensitive) {
  return FindBytes(text.data(), ClampCount(static_cast<int64_t>(text.size())), maxOffset, caseSensitive);
}

void AReaderEx::ReadExact(char* buffer, int32_t count) {
  if (count > 0 && ReadFully(buffer, count) != count) RaiseReadError();
}

void AReaderEx::PeekExact(char* buffer, int32_t count) {
  if (count > 0 && Peek(buffer, count) != count) RaiseReadError();
}

bool AReaderEx::MatchExact(const char* buffer, int32_t count, bool caseSensitive) {
  const int32_t matched = MatchBytes(buffer, count, caseSensitive);
  if (matched == -1) return false;
  if (matched >= count) return true;
  RaiseReadError();
}

void AReaderEx::SkipByte() { Skip(1); }

std::string AReaderEx::ReadUntilByteSet(const ByteSet& set, bool stopAtMember, int64_t maxLength) {
  const int64_t k = FindByteInSet(set, !stopAtMember, maxLength);
  // The bytes are read through Read rather than ReadText: a reader that waits
  // for data (a connection) must hand over what it has when the data ends
  // short of the count instead of failing.
  if (k != -1) return ReadAvailable(k);
  if (maxLength < 0) return ReadToEnd();
  return ReadAvailable(maxLength);
}

void AReaderEx::SkipLineBreak() {
  if (AtEnd()) return;
  const char first = ReadByte();
  if (first == kSUB || AtEnd()) return;
  const char second = PeekByte();
  if ((first == kCR && second == kLF) || (first == kLF && second == kCR)) SkipByte();
}

std::string AReaderEx::ReadLine(int64_t maxLength, bool endAtEOF) {
  static const ByteSet kLineEnds(std::string_view("\n\r\x1a", 3));
  std::string text = ReadUntilByteSet(kLineEnds, true, maxLength);
  if (!AtEnd()) {
    SkipLineBreak();
    return text;
  }
  if (!endAtEOF) RaiseReadError();
  return text;
}

// ---------------------------------------------------------------------------
// TMemoryReader

TMemoryReader::TMemoryReader(const char* data, int64_t size) { SetData(data, size); }

void TMemoryReader::SetData(const char* data, int64_t size) {
  data_ = data;
  size_ = size > 0 ? size : 0;
  position_ = 0;
}

int64_t TMemoryReader::GetPosition() { return position_; }

void TMemoryReader::SetPosition(int64_t position) {
  if (position < 0 || position > size_) throw EMemoryReader("Seek error");
  position_ = position;
}

int64_t TMemoryReader::GetSize() { return size_; }

int32_t TMemoryReader::Read(char* buffer, int32_t count) {
  const int32_t n = Peek(buffer, count);
  position_ += n;
  return n;
}

bool TMemoryReader::AtEnd() { return position_ >= size_; }

std::string TMemoryReader::ReadText(int32_t count) {
  if (count <= 0 || position_ >= size_) return std::string();
  const int64_t n = std::min<int64_t>(count, size_ - position_);
  std::string text(data_ + position_, static_cast<size_t>(n));
  position_ += n;
  return text;
}

char TMemoryReader::ReadByte() {
  const char value = PeekByte();
  ++position_;
  return value;
}

int32_t TMemoryReader::Peek(char* buffer, int32_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
  std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
  return n;
}

char TMemoryReader::PeekByte() {
  if (position_ >= size_) RaiseReadError();
  return data_[position_];
}

int32_t TMemoryReader::MatchBytes(const char* buffer, int32_t count, bool caseSensitive) {
  const int64_t n = std::min<int64_t>(count, size_ - position_);
  if (n <= 0) return -1;
  return BytesEqual(data_ + position_, buffer, n, caseSensitive) ? static_cast<int32_t>(n) : -1;
}

int64_t TMemoryReader::SearchLength(int64_t maxOffset) const {
  const int64_t remaining = size_ - position_;
  return (maxOffset < 0 || maxOffset >= remaining) ? remaining : maxOffset + 1;
}

int64_t TMemoryReader::FindByte(char value, bool negate, int64_t maxOffset) {
  const int64_t length = SearchLength(maxOffset);
  if (length <= 0) return -1;
  const char* start = data_ + position_;
  if (!negate) {
    const void* hit = std::memchr(start, static_cast<unsigned char>(value), static_cast<size_t>(length));
    return hit ? static_cast<const char*>(hit) - start : -1;
  }
  for (int64_t i = 0; i < length; ++i) {
    if (start[i] != value) return i;
  }
  return -1;
}

int64_t TMemoryReader::FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset) {
  const int64_t length = SearchLength(maxOffset);
  const char* start = data_ + position_;
  for (int64_t i = 0; i < length; ++i) {
    if (set.Contains(start[i]) != negate) return i;
  }
  return -1;
}

int64_t TMemoryReader::FindBytes(const char* buffer, int32_t count, int64_t maxOffset, bool caseSensitive) {
  if (count <= 0) return -1;
  const int64_t length = SearchLength(maxOffset);
  const char* start = data_ + position_;
  for (int64_t i = 0; i < length; ++i) {
    // Near the end only the bytes that remain are compared, as the default
    // search does.
    const int64_t n = std::min<int64_t>(count, size_ - position_ - i);
    if (BytesEqual(start + i, buffer, n, caseSensitive)) return i;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// TStringReader

TStringReader::TStringReader(std::string text) : TMemoryReader(nullptr, 0), text_(std::move(text)) {
  // The base is built before the string member, so it is pointed at the
  // string's bytes once they are in place.
  SetData(text_.data(), static_cast<int64_t>(text_.size()));
}

std::string TStringReader::ReadAllText() { return text_; }

// ---------------------------------------------------------------------------
// TFileReader

TFileReader::TFileReader(const std::string& fileName) : handle_(-1), handle_owner_(true) {
  // A name with a NUL byte would reach the system shortened.
  if (fileName.find('\0') != std::string::npos) throw EFileReader("File open error");
  // O_NONBLOCK only keeps the open of a FIFO from waiting for a writer; it
  // is cleared again below.
  const int handle = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) throw EFileReader("File open error");
  struct stat info;
  // Linux opens a directory for reading, but it is not a file to read.
  if (::fstat(handle, &info) != 0 || S_ISDIR(info.st_mode)) {
    detail::FileClose(handle);
    throw EFileReader("File open error");
  }
  handle_ = handle;
  open_status_ = info;
  if (S_ISREG(info.st_mode)) {
    // O_NONBLOCK means nothing for a regular file: no need to clear it.
    measured_ = true;
    size_ = static_cast<int64_t>(info.st_size);
    return;
  }
  const int flags = ::fcntl(handle, F_GETFL);
  if (flags >= 0) ::fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
}

TFileReader::TFileReader(int handle, bool handleOwner) : handle_(handle), handle_owner_(handleOwner) {}

TFileReader::~TFileReader() {
  if (handle_owner_) detail::FileClose(handle_);
}

int64_t TFileReader::GetPosition() {
  return measured_ ? position_ : detail::GetFilePosition<EFileReader>(handle_);
}

void TFileReader::SetPosition(int64_t position) {
  if (!measured_) {
    detail::SetFilePosition<EFileReader>(handle_, position);
  } else if (position < 0) {
    throw EFileReader("File seek error");
  } else {
    position_ = position;
  }
}

int64_t TFileReader::GetSize() { return measured_ ? size_ : detail::GetFileSize<EFileReader>(handle_); }

int32_t TFileReader::Read(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  // A measured file ends at its measured size, even when it has grown since.
  if (!measured_) {
    const int64_t n = detail::FileRead(handle_, buffer, count);
    return n > 0 ? static_cast<int32_t>(n) : 0;
  }
  count = static_cast<int32_t>(std::min<int64_t>(count, std::max<int64_t>(size_ - position_, 0)));
  if (count <= 0) return 0;
  const int64_t n = detail::FileReadAt(handle_, buffer, count, position_);
  if (n <= 0) return 0;
  position_ += n;
  return static_cast<int32_t>(n);
}

bool TFileReader::AtEnd() { return GetPosition() >= GetSize(); }

// ---------------------------------------------------------------------------
// AReaderProxy

AReaderProxy::AReaderProxy(AReaderEx* reader, bool readerOwner) : reader_(reader, readerOwner) {}

AReaderProxy::~AReaderProxy() = default;

int64_t AReaderProxy::GetPosition() { return reader_->GetPosition(); }

void AReaderProxy::SetPosition(int64_t position) { reader_->SetPosition(position); }

int64_t AReaderProxy::GetSize() { return reader_->GetSize(); }

int32_t AReaderProxy::Read(char* buffer, int32_t count) { return reader_->Read(buffer, count); }

bool AReaderProxy::AtEnd() { return reader_->AtEnd(); }

// ---------------------------------------------------------------------------
// TReaderProxy

TReaderProxy::TReaderProxy(AReaderEx* reader, bool readerOwner, int64_t size)
    : AReaderProxy(reader, readerOwner), start_(reader->GetPosition()), size_(size) {}

int64_t TReaderProxy::GetPosition() { return Reader()->GetPosition() - start_; }

void TReaderProxy::SetPosition(int64_t position) {
  if (position < 0 || (size_ >= 0 && position > size_)) throw EReader("Seek error");
  Reader()->SetPosition(start_ + position);
}

int64_t TReaderProxy::GetSize() {
  const int64_t underlying = Reader()->GetSize();
  if (underlying < 0) return -1;
  const int64_t size = underlying - start_;
  return (size_ >= 0 && size_ < size) ? size_ : size;
}

int32_t TReaderProxy::Read(char* buffer, int32_t count) {
  if (size_ >= 0) {
    const int64_t left = size_ - GetPosition();
    if (count > left) count = static_cast<int32_t>(std::max<int64_t>(left, 0));
  }
  if (count <= 0) return 0;
  return Reader()->Read(buffer, count);
}

bool TReaderProxy::AtEnd() {
  // The window's own end first: it needs no word from the underlying reader.
  if (size_ >= 0 && Reader()->GetPosition() >= start_ + size_) return true;
  return Reader()->AtEnd();
}

}  // namespace vt
