#pragma once

// A stream over bytes in memory, for composing data and for tests of code
// that works on streams.

#include <string>

#include "streams/reader.h"
#include "streams/stream.h"
#include "streams/writer.h"

namespace vt {

// A stream over a string it owns. The stream, its reader and its writer share
// one position: reading consumes from it, writing overwrites or appends at
// it, and a position beyond the end is filled with zero bytes by the next
// write (as in a file). Errors of positioning are the writer's (EWriter
// "Seek error", "Resize error"); a negative position asked of the reader
// raises EReader "Seek error".
//
// Owned by its creator; the reader and writer live as long as the stream.
class TMemoryStream : public AStream {
 public:
  TMemoryStream() = default;
  // Starts with `text`, at position 0.
  explicit TMemoryStream(std::string text);

  int64_t GetPosition() override;
  void SetPosition(int64_t position) override;
  int64_t GetSize() override;
  // Cuts or zero-extends the data and moves to `size`.
  void SetSize(int64_t size) override;
  AReaderEx* GetReader() override;
  AWriterEx* GetWriter() override;
  int32_t Read(char* buffer, int32_t count) override;
  int32_t Write(const char* buffer, int32_t count) override;

  const std::string& Text() const { return data_.Text(); }

 private:
  // Reads the text of the stream's writer at the writer's position.
  class TStreamReader : public AReaderEx {
   public:
    explicit TStreamReader(TStringWriter& data) : data_(data) {}
    int64_t GetPosition() override;
    void SetPosition(int64_t position) override;
    int64_t GetSize() override;
    int32_t Read(char* buffer, int32_t count) override;
    bool AtEnd() override;

   private:
    TStringWriter& data_;
  };

  TStringWriter data_;
  TStreamReader reader_{data_};
};

}  // namespace vt
