#pragma once

// Readers: sequential sources of bytes with a 64-bit position.
//
// Every consumer of incoming data reads through AReaderEx: request lines,
// header blocks and bodies, documents from disk, connections. AReader
// declares the five primitives a concrete reader must implement; AReaderEx
// adds the derived operations (strings, bytes, peeking, matching, skipping,
// searching), whose defaults use only the primitives and each other, and the
// non-virtual helpers (exact reads, line reading). A reader with direct access
// to its bytes overrides the hot derived operations with faster ones that
// give the same results (TMemoryReader here, the socket reader elsewhere).
//
// Conventions:
// - A byte is a char; text is a std::string of bytes, never converted.
// - Positions, sizes and search offsets are int64_t; a negative size means
//   "unknown". Counts of bytes read are int32_t and never negative.
// - Searches return the offset of the hit from the current position, or -1,
//   and leave the position where it was. A negative maxOffset means no bound;
//   otherwise the hit's offset is at most maxOffset.
// - Case-insensitive comparison folds A-Z to a-z only (util/ascii.h).
// - Failures are exceptions (EReader and its subclasses). After one the
//   reader stays usable at whatever position the failed operation left it.
//
// Readers do not buffer: the memory readers work in place and the file
// reader calls the system for every Read.
//
// Threading: a reader is used by one thread at a time. Readers are not
// copyable; they are owned by whoever created them (a proxy owns its
// underlying reader only when told to).

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "util/byte_set.h"
#include "util/exception.h"
#include "util/maybe_owned.h"

namespace vt {

VT_EXCEPTION_CLASS(EReader, EIOError);
VT_EXCEPTION_CLASS(EMemoryReader, EReader);
VT_EXCEPTION_CLASS(EFileReader, EReader);

// Raises EReader with `text`, or with "Read error" when `text` is empty.
[[noreturn]] void RaiseReadError(const std::string& text = std::string());

// The five primitives (slots 0 to 4).
class AReader {
 public:
  AReader() = default;
  AReader(const AReader&) = delete;
  AReader& operator=(const AReader&) = delete;
  virtual ~AReader() = default;

  virtual int64_t GetPosition() = 0;
  virtual void SetPosition(int64_t position) = 0;
  // The total size; negative when unknown.
  virtual int64_t GetSize() = 0;
  // Reads at most `count` bytes; 0 at the end and for a count of 0 or less.
  virtual int32_t Read(char* buffer, int32_t count) = 0;
  // True when no more bytes can be read.
  virtual bool AtEnd() = 0;
};

class AReaderEx : public AReader {
 public:
  // --- Derived operations, slots 5 to 17 ---

  // At most `count` bytes (empty for a count of 0 or less). Calls Read until
  // `count` bytes arrived or a Read yields nothing, so a reader that delivers
  // short reads still gives every byte that is there.
  virtual std::string ReadText(int32_t count);
  // SetPosition(0), then everything up to the end; the position ends at the
  // end. Raises "Read error" when the reader stops delivering before its end.
  virtual std::string ReadAllText();
  // One byte; "Read error" at the end.
  virtual char ReadByte();
  // Copies up to `count` bytes without moving the position. The default reads
  // and seeks back, so it needs a reader that can seek backwards.
  virtual int32_t Peek(char* buffer, int32_t count);
  virtual std::string PeekText(int32_t count);
  // The byte at the position; "Read error" at the end.
  virtual char PeekByte();
  // Compares the next bytes with `buffer`. Near the end only the bytes that
  // remain are compared. Returns the number of bytes compared when they are
  // equal, -1 when they differ or `count` is 0 or less, and 0 when no byte
  // could be peeked. Never moves the position.
  virtual int32_t MatchBytes(const char* buffer, int32_t count, bool caseSensitive);
  // MatchExact over the text's bytes; false for an empty text.
  virtual bool MatchText(const std::string& text, bool caseSensitive);
  // SetPosition(GetPosition() + count); "Skip error" for a negative count.
  virtual void Skip(int64_t count);
  // The offset of the first byte equal to `value` (with `negate`: the first
  // byte that is not), or -1. Examines at most maxOffset + 1 bytes.
  virtual int64_t FindByte(char value, bool negate, int64_t maxOffset);
  // As FindByte, for membership of `set`.
  virtual int64_t FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset);
  // The first offset at which the pattern starts, or -1. Where fewer than
  // `count` bytes remain, only those are compared, so a leading part of the
  // pattern at the very end of the data counts as a hit. An empty pattern
  // gives -1.
  virtual int64_t FindBytes(const char* buffer, int32_t count, int64_t maxOffset, bool caseSensitive);
  // FindBytes over the text's bytes.
  virtual int64_t FindText(const std::string& text, int64_t maxOffset, bool caseSensitive);

  // --- Helpers (not virtual) ---

  // Exactly `count` bytes or "Read error"; bytes read before the failure are
  // consumed.
  void ReadExact(char* buffer, int32_t count);
  // Exactly `count` bytes without moving, or "Read error".
  void PeekExact(char* buffer, int32_t count);
  // True when the next bytes equal the pattern, false when they differ;
  // "Read error" when the data ends inside the pattern (or at the very end
  // on a reader whose MatchBytes then reports 0 bytes).
  bool MatchExact(const char* buffer, int32_t count, bool caseSensitive);
  void SkipByte();
  // The bytes up to the first member of `set` (stopAtMember) or the first
  // non-member, which is not consumed. When there is none within maxLength
  // bytes: everything up to the end (maxLength negative), else the next
  // maxLength bytes.
  std::string ReadUntilByteSet(const ByteSet& set, bool stopAtMember, int64_t maxLength);
  // Consumes one line end: CR, LF, CR LF, LF CR or SUB (26). Whatever the
  // first byte is, it is consumed; its partner only when the pair is CR LF or
  // LF CR. CR CR is two line ends. Nothing happens at the end.
  void SkipLineBreak();
  // The next line without its terminator. With maxLength L not negative, a
  // line longer than L is cut after L bytes and the byte that follows is
  // consumed in the terminator's place. When the data ends without a
  // terminator the text is returned if endAtEOF, else "Read error" is raised.
  std::string ReadLine(int64_t maxLength, bool endAtEOF);

 protected:
  // Calls Read until `count` bytes arrived or a Read yields nothing; the
  // number of bytes read.
  int64_t ReadFully(char* buffer, int64_t count);

 private:
  // Up to `count` bytes through Read, the string growing as they arrive.
  std::string ReadAvailable(int64_t count);
  // Everything up to the end through Read; "Read error" when a Read yields
  // nothing before the end.
  std::string ReadToEnd();
};

// A reader over `size` bytes at `data`, which are neither copied nor owned:
// they must outlive the reader. Overrides the hot derived operations to work
// in place.
class TMemoryReader : public AReaderEx {
 public:
  TMemoryReader(const char* data, int64_t size);

  int64_t GetPosition() override;
  // 0 up to and including the size; anything else raises EMemoryReader
  // "Seek error".
  void SetPosition(int64_t position) override;
  int64_t GetSize() override;
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

  std::string ReadText(int32_t count) override;
  char ReadByte() override;
  int32_t Peek(char* buffer, int32_t count) override;
  char PeekByte() override;
  // Compares min(count, bytes left) bytes in place: that number when equal,
  // -1 when unequal or when no byte is left (so MatchExact at the end gives
  // false here).
  int32_t MatchBytes(const char* buffer, int32_t count, bool caseSensitive) override;
  int64_t FindByte(char value, bool negate, int64_t maxOffset) override;
  int64_t FindByteInSet(const ByteSet& set, bool negate, int64_t maxOffset) override;
  int64_t FindBytes(const char* buffer, int32_t count, int64_t maxOffset, bool caseSensitive) override;

  // The bytes from the position to the end, in place.
  std::string_view Unread() const { return {data_ + position_, static_cast<std::size_t>(size_ - position_)}; }

 protected:
  // Points the reader at other bytes and moves it to 0.
  void SetData(const char* data, int64_t size);

 private:
  // The number of bytes that may be examined from the position for a search
  // bounded by maxOffset.
  int64_t SearchLength(int64_t maxOffset) const;

  const char* data_ = nullptr;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

// A memory reader over its own copy of a string.
class TStringReader : public TMemoryReader {
 public:
  explicit TStringReader(std::string text);

  // The whole string, whatever the position, which is left unchanged.
  std::string ReadAllText() override;

  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// A reader over a file descriptor. Each Read is one system call.
//
// A regular file opened by name is measured once, when it is opened: its
// size is that of the moment of opening (a file that grows meanwhile is read
// up to that size, so a length announced from it holds), and the reader
// keeps its position itself (it reads with pread), so that asking for the
// size, the position or the end, or seeking, costs no system call. Over a
// descriptor handed in, and for other kinds of file, the system is asked
// each time and reads move the descriptor's offset.
class TFileReader : public AReaderEx {
 public:
  // Opens an existing file for reading (O_RDONLY | O_CLOEXEC) and owns the
  // descriptor. Linux has no share modes: other openers may read and write
  // the file meanwhile. A missing or unreadable file, or a directory, raises
  // EFileReader "File open error". A FIFO is opened without waiting for a
  // writer.
  explicit TFileReader(const std::string& fileName);
  // Reads from an open descriptor; closes it on destruction when
  // `handleOwner`.
  TFileReader(int handle, bool handleOwner);
  ~TFileReader() override;

  // "File error" when the position cannot be queried.
  int64_t GetPosition() override;
  // "File seek error" when the move fails (a negative position, say).
  void SetPosition(int64_t position) override;
  // "File error" when the size cannot be learned.
  int64_t GetSize() override;
  // The bytes the system read; 0 for a count of 0 or less and on a failure.
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

  // The descriptor, for callers that hand the file to the system directly.
  int Handle() const { return handle_; }
  bool HandleOwner() const { return handle_owner_; }
  // A regular file measured at its opening: GetSize and GetPosition are
  // known without asking the system, and the bytes from the position to
  // the size may be taken straight from Handle() with an offset (pread,
  // sendfile) instead of being read.
  bool Measured() const { return measured_; }
  // What the system said of the file at its opening (a file opened by name;
  // zeros over a descriptor handed in): the size measured, and what tells
  // one version of a file from another (modification time, inode).
  const struct stat& OpenStatus() const { return open_status_; }

 private:
  int handle_;
  bool handle_owner_;
  bool measured_ = false;
  int64_t size_ = -1;     // when measured
  int64_t position_ = 0;  // when measured
  struct stat open_status_ {};
};

// Forwards the five primitives to another reader; the derived operations are
// the defaults built on them. Deletes the underlying reader on destruction
// when `readerOwner`. `reader` must not be null.
class AReaderProxy : public AReaderEx {
 public:
  AReaderProxy(AReaderEx* reader, bool readerOwner);
  ~AReaderProxy() override;

  int64_t GetPosition() override;
  void SetPosition(int64_t position) override;
  int64_t GetSize() override;
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

  AReaderEx* Reader() const { return reader_.Get(); }
  bool ReaderOwner() const { return reader_.Owns(); }

 private:
  TMaybeOwned<AReaderEx> reader_;
};

// A window onto another reader: it starts at the underlying reader's position
// at construction (its own position 0) and is `size` bytes long, or has no
// end when `size` is negative.
class TReaderProxy : public AReaderProxy {
 public:
  TReaderProxy(AReaderEx* reader, bool readerOwner, int64_t size);

  // Underlying position minus the start.
  int64_t GetPosition() override;
  // 0 up to and including the window size; anything else raises EReader
  // "Seek error".
  void SetPosition(int64_t position) override;
  // The underlying size minus the start, cut to the window size; negative
  // when the underlying size is unknown.
  int64_t GetSize() override;
  // Never reads past the window's end.
  int32_t Read(char* buffer, int32_t count) override;
  // The underlying reader is at its end, or the window is used up.
  bool AtEnd() override;

  int64_t WindowStart() const { return start_; }
  int64_t WindowSize() const { return size_; }

 private:
  int64_t start_;
  int64_t size_;
};

}  // namespace vt
