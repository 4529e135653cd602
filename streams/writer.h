#pragma once

// Writers: sinks of bytes with a 64-bit position and size, the output
// counterpart of the readers (streams/reader.h).
//
// AWriter declares the five primitives; AWriterEx adds Truncate and WriteText
// (virtual, so a connection's writer can hand a whole text to its socket at
// once) and the helpers WriteExact and SeekToEnd.
//
// Threading: a writer is used by one thread at a time. Writers are not
// copyable and are owned by whoever created them.

#include <cstdint>
#include <string>

#include "util/exception.h"

namespace vt {

VT_EXCEPTION_CLASS(EWriter, EIOError);
VT_EXCEPTION_CLASS(EFileWriter, EWriter);

// The five primitives (slots 0 to 4).
class AWriter {
 public:
  AWriter() = default;
  AWriter(const AWriter&) = delete;
  AWriter& operator=(const AWriter&) = delete;
  virtual ~AWriter() = default;

  virtual int64_t GetPosition() = 0;
  virtual void SetPosition(int64_t position) = 0;
  virtual int64_t GetSize() = 0;
  virtual void SetSize(int64_t size) = 0;
  // Writes up to `count` bytes at the position; the number written.
  virtual int32_t Write(const char* buffer, int32_t count) = 0;
};

class AWriterEx : public AWriter {
 public:
  // Cuts the data at the position: SetSize(GetPosition()).
  virtual void Truncate();
  // Writes all the text's bytes (WriteExact); an empty text writes nothing.
  virtual void WriteText(const std::string& text);
  // Hands on what the writer gathered so far, where it gathers (a
  // connection's writer); nothing to do for the others.
  virtual void Flush() {}

  // Writes all `count` bytes or raises EWriter "Write error". A writer that
  // takes fewer bytes is asked again for the rest; only one that takes none
  // fails. Bytes written before the failure stay written.
  void WriteExact(const char* buffer, int32_t count);
  // SetPosition(GetSize()), to append.
  void SeekToEnd();

 private:
  void WriteBytes(const char* buffer, int64_t count);
};

// A writer that can send a stretch of an open file on its own, without the
// bytes passing through the caller's memory (a connection: sendfile).
// Copiers of file content look for it with dynamic_cast.
class IFileRangeWriter {
 public:
  virtual ~IFileRangeWriter() = default;
  // Writes up to `count` bytes of the file `handle` from `offset` (the
  // descriptor's own offset is neither used nor moved) and returns how many
  // it wrote: all of them, or fewer (0 too) when it would rather have the
  // rest written through Write, which the caller then does. Raises EWriter
  // "Write error" when the destination fails, EReader "Read error" when the
  // file ends before `count` bytes.
  virtual int64_t WriteFileRange(int handle, int64_t offset, int64_t count) = 0;
};

enum TFileWriterOpenMode : uint8_t {
  fwOpen = 0,          // open an existing file
  fwOpenTruncate = 1,  // open an existing file and cut it to length 0
  fwCreate = 2,        // create the file; an existing one is emptied
  fwOpenOrCreate = 3,  // open the file if it exists, otherwise create it
};

// A writer over a file, opened for reading and writing at position 0.
//
// The writer is meant to have its file to itself, but Linux has no share
// modes (advisory locks bind only programs that ask for them), so other
// openers are not kept out.
class TFileWriter : public AWriterEx {
 public:
  // Opens or creates `fileName` as `openMode` says and owns the descriptor
  // (O_CLOEXEC; new files get mode 0666 less the umask). A failed open or
  // create raises EOSError with the system's code and text; fwOpenTruncate
  // raises EFileWriter "File truncate error" when the file cannot be cut.
  // fwOpenOrCreate decides race-free: it tries an exclusive create first and
  // opens the existing file when that says the file exists.
  TFileWriter(const std::string& fileName, TFileWriterOpenMode openMode);
  // Writes to an open descriptor; closes it on destruction when
  // `handleOwner`.
  TFileWriter(int handle, bool handleOwner);
  ~TFileWriter() override;

  // "File error" when the position cannot be queried.
  int64_t GetPosition() override;
  // "File seek error" when the move fails.
  void SetPosition(int64_t position) override;
  // "File error" when the size cannot be learned.
  int64_t GetSize() override;
  // Moves to `size` and ends the file there ("File resize error"); the
  // position is left at the new size.
  void SetSize(int64_t size) override;
  // Writes all `count` bytes (0 for a count of 0 or less); a failed write
  // raises EOSError. Bytes written before the failure stay written.
  int32_t Write(const char* buffer, int32_t count) override;

  const std::string& FileName() const { return file_name_; }
  int Handle() const { return handle_; }
  bool HandleOwner() const { return handle_owner_; }
  // True when the constructor made a new file rather than opening one.
  bool Created() const { return created_; }

 private:
  std::string file_name_;
  int handle_ = -1;
  bool handle_owner_ = false;
  bool created_ = false;
};

// A writer over a string it owns, for composing output in memory and for
// tests that compare the exact bytes written. Writing at the end appends;
// writing inside overwrites; a position beyond the end is filled with zero
// bytes by the next write.
class TStringWriter : public AWriterEx {
 public:
  TStringWriter() = default;
  // Starts with `text` at position 0, as a file opened for writing would.
  explicit TStringWriter(std::string text);

  int64_t GetPosition() override;
  // A negative position raises EWriter "Seek error".
  void SetPosition(int64_t position) override;
  int64_t GetSize() override;
  // Cuts or zero-extends the text and moves to `size`; a negative size raises
  // EWriter "Resize error".
  void SetSize(int64_t size) override;
  int32_t Write(const char* buffer, int32_t count) override;

  const std::string& Text() const { return text_; }
  // Hands the text over and starts empty.
  std::string TakeText();

 private:
  std::string text_;
  int64_t position_ = 0;
};

}  // namespace vt
