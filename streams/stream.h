#pragma once

// Streams and block copies.
//
// AStream pairs a reader and a writer over one medium (a connection, memory)
// and adds a copy-progress event and whole-stream assignment. Two routines
// move data in blocks: CopyReaderToWriter (message bodies onto a connection)
// and CopyStream (stream to stream, the heart of Assign). Each copy allocates
// one block for its whole run and frees it on every path.
//
// Threading: a stream is used by one thread at a time; progress handlers run
// on the copying thread, synchronously, in the middle of the copy.

#include <cstdint>
#include <functional>
#include <string>

#include "streams/reader.h"
#include "streams/writer.h"
#include "util/exception.h"

namespace vt {

VT_EXCEPTION_CLASS(EStream, EIOError);

class EStreamOperationAborted : public EStream {
 public:
  EStreamOperationAborted() : EStream("Stream operation aborted") {}
  const char* ClassName() const noexcept override { return "EStreamOperationAborted"; }
};

// The block size of copies when the caller gives none.
constexpr int32_t kDefaultCopyBlockSize = 2048;

// The common base of objects that can be the source of an Assign. Assign
// accepts any of them and decides at run time whether it can copy from it,
// so "assigning from something that is not a stream" is a checked error
// rather than something the compiler has to rule out.
class TPersistent {
 public:
  virtual ~TPersistent() = default;
};

class AStream;

// Progress of a copy: the two streams, the bytes copied so far, and an abort
// flag (false on entry) that the handler sets to stop the copy, which then
// raises EStreamOperationAborted.
using TCopyProgressEvent =
    std::function<void(AStream* source, AStream* destination, int64_t bytesCopied, bool& abort)>;

class AStream : public TPersistent {
 public:
  AStream() = default;
  AStream(const AStream&) = delete;
  AStream& operator=(const AStream&) = delete;

  virtual int64_t GetPosition() = 0;
  virtual void SetPosition(int64_t position) = 0;
  virtual int64_t GetSize() = 0;
  virtual void SetSize(int64_t size) = 0;
  // The stream's own reader and writer; the stream keeps ownership.
  virtual AReaderEx* GetReader() = 0;
  virtual AWriterEx* GetWriter() = 0;
  // Calls OnCopyProgress with the same values when it is set.
  virtual void TriggerCopyProgress(AStream* source, AStream* destination, int64_t bytesCopied, bool& abort);
  virtual int32_t Read(char* buffer, int32_t count) = 0;
  virtual int32_t Write(const char* buffer, int32_t count) = 0;
  // GetPosition() >= GetSize().
  virtual bool AtEnd();
  // Replaces this stream's content with the whole of `source`: copies it
  // from offset 0 to offset 0, reporting progress to the source's and then
  // this stream's TriggerCopyProgress, and sets this stream's size to the
  // bytes copied. A null source raises EStream "Invalid source", one that is
  // not an AStream "Assign not defined for source type".
  virtual void Assign(TPersistent* source);

  // Writes all `count` bytes or raises EStream "Write error".
  void WriteExact(const char* buffer, int32_t count);
  // WriteExact over the text's bytes; an empty text writes nothing.
  void WriteText(const std::string& text);

  // Runs on the copying thread; may be empty.
  TCopyProgressEvent OnCopyProgress;

 private:
  void WriteBytes(const char* buffer, int64_t count);
};

// Copies `reader` to its end into `writer` in blocks of `blockSize` bytes
// (2048 when 0 or less); the number of bytes copied. A null reader or writer
// raises EStream "Invalid source" / "Invalid destination"; a reader that
// yields nothing before its end raises EReader "Read error"; a short write
// raises EWriter "Write error".
int64_t CopyReaderToWriter(AReader* reader, AWriterEx* writer, int32_t blockSize);

// Copies `count` bytes (negative: up to the source's end) from
// `sourceOffset` of `source` to `destinationOffset` of `destination` in
// blocks of `blockSize` bytes (2048 when 0 or less); the number of bytes
// copied. `progress`, when set, is called with 0 before anything moves and
// with the running total after each block; setting its abort flag raises
// EStreamOperationAborted.
//
// Backwards copies run from the end of the range towards its start, so a
// stream can move a part of itself towards its end; they need a count of 0
// or more and stop at the source's end.
int64_t CopyStream(AStream* source, AStream* destination, int32_t blockSize, int64_t sourceOffset,
                   int64_t destinationOffset, int64_t count, const TCopyProgressEvent& progress,
                   bool backwards);

}  // namespace vt
