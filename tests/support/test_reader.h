#pragma once

// Readers and writers for tests that misbehave on demand: short reads and
// writes, hidden sizes, no seeking back, and stalling or failing after a
// budget of bytes. Header-only, so a test program needs nothing but vt_streams.

#include <algorithm>
#include <cstring>
#include <string>

#include "streams/reader.h"
#include "streams/writer.h"

namespace vt::test {

// A reader over a string that implements only the five primitives, so every
// derived operation runs the AReaderEx defaults. Set the fields before use.
class TTestReader : public AReaderEx {
 public:
  explicit TTestReader(std::string data, int32_t maxPerRead = 0)
      : MaxPerRead(maxPerRead), data_(std::move(data)) {}

  // At most this many bytes per Read; 0: no limit.
  int32_t MaxPerRead;
  // GetSize reports -1 (unknown).
  bool SizeUnknown = false;
  // SetPosition below the position raises EReader "Seeking not supported",
  // as a connection's reader does.
  bool ForwardOnly = false;
  // Bytes Read delivers in all before it stops: it then returns 0 although
  // the reader is not at its end (a stalled peer). Negative: no limit.
  int64_t Budget = -1;
  // With the budget spent, Read raises EReader "Injected failure" instead.
  bool FailWhenSpent = false;

  // What happened.
  int ReadCalls = 0;
  int32_t LargestRequest = 0;

  int64_t GetPosition() override { return position_; }
  void SetPosition(int64_t position) override {
    if (ForwardOnly && position < position_) throw EReader("Seeking not supported");
    if (position < 0 || position > Size()) throw EReader("Seek error");
    position_ = position;
  }
  int64_t GetSize() override { return SizeUnknown ? -1 : Size(); }
  int32_t Read(char* buffer, int32_t count) override {
    ++ReadCalls;
    LargestRequest = std::max(LargestRequest, count);
    int64_t n = std::min<int64_t>(count, Size() - position_);
    if (MaxPerRead > 0) n = std::min<int64_t>(n, MaxPerRead);
    if (Budget >= 0) {
      if (Budget == 0 && FailWhenSpent && n > 0) throw EReader("Injected failure");
      n = std::min(n, Budget);
      Budget -= std::max<int64_t>(n, 0);
    }
    if (n <= 0) return 0;
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return static_cast<int32_t>(n);
  }
  bool AtEnd() override { return position_ >= Size(); }

 private:
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }

  std::string data_;
  int64_t position_ = 0;
};

// A string writer that takes at most MaxPerWrite bytes per Write and, with a
// budget, stops taking bytes (returns 0) or fails once it is spent.
class TTestWriter : public TStringWriter {
 public:
  int32_t MaxPerWrite = 0;  // 0: no limit
  int64_t Budget = -1;      // negative: no limit
  bool FailWhenSpent = false;
  int WriteCalls = 0;

  int32_t Write(const char* buffer, int32_t count) override {
    ++WriteCalls;
    if (MaxPerWrite > 0) count = std::min(count, MaxPerWrite);
    if (Budget >= 0) {
      if (Budget == 0 && FailWhenSpent && count > 0) throw EWriter("Injected failure");
      count = static_cast<int32_t>(std::min<int64_t>(count, Budget));
      Budget -= std::max(count, 0);
    }
    return TStringWriter::Write(buffer, count);
  }
};

}  // namespace vt::test
