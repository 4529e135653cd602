// Block copies, streams and Assign, over memory streams and test readers and
// writers.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "streams/memory_stream.h"
#include "streams/stream.h"
#include "support/expect_error.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using test::TTestReader;
using test::TTestWriter;

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

// A memory stream that logs where and how much it is asked to read, and can
// stop reading or writing.
class TRecordingStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  std::vector<std::pair<int64_t, int32_t>> Reads;
  bool StallReads = false;
  bool RefuseWrites = false;

  int32_t Read(char* buffer, int32_t count) override {
    Reads.emplace_back(GetPosition(), count);
    return StallReads ? 0 : TMemoryStream::Read(buffer, count);
  }
  int32_t Write(const char* buffer, int32_t count) override {
    return RefuseWrites ? 0 : TMemoryStream::Write(buffer, count);
  }
};

// Collects the totals a progress routine is called with; aborts at call
// number AbortAt (counting from 1), never when 0.
struct Progress {
  std::vector<int64_t> totals;
  size_t abortAt = 0;
  TCopyProgressEvent Routine() {
    return [this](AStream*, AStream*, int64_t total, bool& abort) {
      totals.push_back(total);
      abort = totals.size() == abortAt;
    };
  }
};

TEST(CopyReaderToWriter, CopiesEverythingThroughShortReadsAndWrites) {
  const std::string data = Pattern(5000);
  TTestReader reader(data, 700);
  TTestWriter writer;
  writer.MaxPerWrite = 300;
  EXPECT_EQ(5000, CopyReaderToWriter(&reader, &writer, 0));
  EXPECT_EQ(data, writer.Text());
  EXPECT_EQ(2048, reader.LargestRequest);

  TTestReader empty("");
  EXPECT_EQ(0, CopyReaderToWriter(&empty, &writer, 512));
  EXPECT_EQ(0, empty.ReadCalls);
}

TEST(CopyReaderToWriter, Failures) {
  TTestWriter writer;
  TTestReader reader("abcdef");
  EXPECT_VT_ERROR(CopyReaderToWriter(nullptr, &writer, 0), EStream, "Invalid source");
  EXPECT_VT_ERROR(CopyReaderToWriter(&reader, nullptr, 0), EStream, "Invalid destination");

  reader.Budget = 4;
  EXPECT_VT_ERROR(CopyReaderToWriter(&reader, &writer, 3), EReader, "Read error");
  EXPECT_EQ("abcd", writer.Text());

  TTestReader more("abcdef");
  TTestWriter full;
  full.Budget = 2;
  EXPECT_VT_ERROR(CopyReaderToWriter(&more, &full, 0), EWriter, "Write error");
  EXPECT_EQ("ab", full.Text());
}

TEST(CopyStream, InBlocksWithProgressAfterEach) {
  using Read = std::pair<int64_t, int32_t>;
  const struct {
    bool backwards;
    std::vector<Read> reads;
  } cases[] = {
      {false, {{100, 2048}, {2148, 2048}, {4196, 904}}},
      // From the end of the range: each block ends where the previous began.
      {true, {{3052, 2048}, {1004, 2048}, {100, 904}}},
  };
  for (const auto& c : cases) {
    TRecordingStream source(Pattern(6000));
    TMemoryStream destination;
    Progress progress;
    EXPECT_EQ(5000, CopyStream(&source, &destination, 2048, 100, 0, 5000, progress.Routine(), c.backwards));
    EXPECT_EQ(Pattern(6000).substr(100, 5000), destination.Text());
    EXPECT_EQ((std::vector<int64_t>{0, 2048, 4096, 5000}), progress.totals);
    EXPECT_EQ(c.reads, source.Reads);
  }
}

TEST(CopyStream, BackwardStopsAtTheSourceEnd) {
  TMemoryStream source(Pattern(5000));
  TMemoryStream shorter;
  EXPECT_EQ(6, CopyStream(&source, &shorter, 4, 4994, 0, 100, {}, true));
  EXPECT_EQ(Pattern(5000).substr(4994), shorter.Text());
}

TEST(CopyStream, WithinOneStreamInBothDirections) {
  // Towards the end: only a backward copy keeps the bytes it has yet to read.
  TMemoryStream stream("0123456789");
  EXPECT_EQ(8, CopyStream(&stream, &stream, 3, 0, 2, 8, {}, true));
  EXPECT_EQ("0101234567", stream.Text());
  // Towards the start, up to the end: finishes, although the stream is
  // never positioned at its end after a write.
  TMemoryStream shifted("0123456789");
  EXPECT_EQ(7, CopyStream(&shifted, &shifted, 4, 3, 0, -1, {}, false));
  EXPECT_EQ("3456789789", shifted.Text());
}

TEST(CopyStream, CountZeroAndAbort) {
  TMemoryStream source(Pattern(5000));
  TMemoryStream destination;
  Progress once;
  EXPECT_EQ(0, CopyStream(&source, &destination, 0, 0, 0, 0, once.Routine(), false));
  EXPECT_EQ(std::vector<int64_t>{0}, once.totals);

  Progress first{{}, 1};
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, -1, first.Routine(), false),
                  EStreamOperationAborted, "Stream operation aborted");
  EXPECT_EQ("", destination.Text());

  Progress second{{}, 2};
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, -1, second.Routine(), false),
                  EStreamOperationAborted, "Stream operation aborted");
  EXPECT_EQ(2048, destination.GetSize());
}

TEST(CopyStream, Failures) {
  TRecordingStream source("abcdef");
  TRecordingStream destination;
  EXPECT_VT_ERROR(CopyStream(nullptr, &destination, 0, 0, 0, -1, {}, false), EStream, "Invalid source");
  EXPECT_VT_ERROR(CopyStream(&source, nullptr, 0, 0, 0, -1, {}, false), EStream, "Invalid destination");
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, -1, 0, -1, {}, false), EStream, "Invalid offset");
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, -1, -1, {}, false), EStream, "Invalid offset");
  EXPECT_VT_ERROR(CopyStream(&source, &source, 0, 0, 1, -1, {}, false), EStream, "Invalid parameters");
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, -1, {}, true), EStream, "Invalid count");
  destination.RefuseWrites = true;
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, -1, {}, false), EStream, "Write error");
  source.StallReads = true;
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, -1, {}, false), EStream, "Stream read error");
  EXPECT_VT_ERROR(CopyStream(&source, &destination, 0, 0, 0, 3, {}, true), EStream, "Stream read error");
}

TEST(Stream, AssignReplacesTheWholeContent) {
  TMemoryStream source(Pattern(3000));
  source.SetPosition(3000);  // as left by whoever wrote it
  TMemoryStream destination(Pattern(5000) + "tail");
  std::vector<std::string> calls;
  source.OnCopyProgress = [&](AStream* from, AStream* to, int64_t total, bool&) {
    EXPECT_EQ(&source, from);
    EXPECT_EQ(&destination, to);
    calls.push_back("source " + std::to_string(total));
  };
  destination.OnCopyProgress = [&](AStream*, AStream*, int64_t total, bool&) {
    calls.push_back("destination " + std::to_string(total));
  };
  destination.Assign(&source);
  EXPECT_EQ(Pattern(3000), destination.Text());
  EXPECT_EQ((std::vector<std::string>{"source 0", "destination 0", "source 2048", "destination 2048",
                                      "source 3000", "destination 3000"}),
            calls);
}

TEST(Stream, AssignFailures) {
  TMemoryStream source("abc");
  TMemoryStream destination("keep");
  EXPECT_VT_ERROR(destination.Assign(nullptr), EStream, "Invalid source");
  TPersistent notAStream;
  EXPECT_VT_ERROR(destination.Assign(&notAStream), EStream, "Assign not defined for source type");
  // The source's handler aborting keeps the destination's from hearing of it.
  bool destinationCalled = false;
  source.OnCopyProgress = [](AStream*, AStream*, int64_t, bool& abort) { abort = true; };
  destination.OnCopyProgress = [&](AStream*, AStream*, int64_t, bool&) { destinationCalled = true; };
  EXPECT_VT_ERROR(destination.Assign(&source), EStreamOperationAborted, "Stream operation aborted");
  EXPECT_FALSE(destinationCalled);
  EXPECT_EQ("keep", destination.Text());
}

TEST(Stream, WritesAllOrFails) {
  TRecordingStream stream;
  stream.WriteText("");
  stream.WriteText("hello");
  EXPECT_EQ("hello", stream.Text());
  EXPECT_TRUE(stream.AtEnd());
  stream.RefuseWrites = true;
  EXPECT_VT_ERROR(stream.WriteText("x"), EStream, "Write error");
  // Reading shares the position with writing.
  stream.SetPosition(1);
  EXPECT_EQ("ell", stream.GetReader()->ReadText(3));
  EXPECT_EQ(4, stream.GetWriter()->GetPosition());
}

TEST(StringWriter, OverwritesExtendsAndCuts) {
  TStringWriter writer;
  writer.WriteText("hello");
  writer.SetPosition(1);
  writer.WriteText("EL");
  writer.SetPosition(7);
  writer.WriteText("!");
  EXPECT_EQ(std::string("hELlo\0\0!", 8), writer.Text());
  writer.SetPosition(2);
  writer.Truncate();
  EXPECT_EQ("hE", writer.TakeText());
  EXPECT_EQ(0, writer.GetSize());
  EXPECT_VT_ERROR(writer.SetPosition(-1), EWriter, "Seek error");
  EXPECT_VT_ERROR(writer.SetSize(-1), EWriter, "Resize error");
}

}  // namespace
}  // namespace vt
