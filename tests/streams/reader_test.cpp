// Behaviour every reader shares, run over each kind of reader: the memory and
// string readers (in-place overrides), the AReaderEx defaults over readers
// that deliver 1, 2 or all bytes per Read, a file, a window in the middle of
// other data, and a plain forwarding proxy. One expectation, many readers:
// an override that drifts from the defaults fails here.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "streams/reader.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using test::TempDir;
using test::TTestReader;

struct ReaderKind {
  std::string name;
  std::function<std::unique_ptr<AReaderEx>(const std::string& data, const TempDir& dir)> make;
};

std::unique_ptr<AReaderEx> MakeWindow(const std::string& data) {
  auto underlying = std::make_unique<TStringReader>("HEAD" + data + "TAIL\r\n");
  underlying->SetPosition(4);
  return std::make_unique<TReaderProxy>(underlying.release(), true, static_cast<int64_t>(data.size()));
}

const ReaderKind kReaderKinds[] = {
    {"Memory", [](const std::string& d,
                  const TempDir&) { return std::make_unique<TMemoryReader>(d.data(), d.size()); }},
    {"String", [](const std::string& d, const TempDir&) { return std::make_unique<TStringReader>(d); }},
    {"OneBytePerRead",
     [](const std::string& d, const TempDir&) { return std::make_unique<TTestReader>(d, 1); }},
    {"TwoBytesPerRead",
     [](const std::string& d, const TempDir&) { return std::make_unique<TTestReader>(d, 2); }},
    {"Defaults", [](const std::string& d, const TempDir&) { return std::make_unique<TTestReader>(d); }},
    {"File", [](const std::string& d,
                const TempDir& dir) { return std::make_unique<TFileReader>(dir.WriteFile("f", d)); }},
    {"Window", [](const std::string& d, const TempDir&) { return MakeWindow(d); }},
    {"Proxy", [](const std::string& d,
                 const TempDir&) { return std::make_unique<AReaderProxy>(new TTestReader(d, 3), true); }},
};

void PrintTo(const ReaderKind& kind, std::ostream* out) { *out << kind.name; }

class AnyReader : public ::testing::TestWithParam<ReaderKind> {
 protected:
  // The bytes live as long as the test: the memory reader does not copy them.
  std::unique_ptr<AReaderEx> Make(const std::string& data) {
    return GetParam().make(data_.emplace_back(data), dir_);
  }

  std::vector<std::string> Lines(const std::string& data, int64_t maxLength) {
    auto reader = Make(data);
    std::vector<std::string> lines;
    while (!reader->AtEnd()) lines.push_back(reader->ReadLine(maxLength, true));
    return lines;
  }

 private:
  TempDir dir_;
  std::deque<std::string> data_;
};

INSTANTIATE_TEST_SUITE_P(Kinds, AnyReader, ::testing::ValuesIn(kReaderKinds),
                         [](const auto& info) { return info.param.name; });

using LineList = std::vector<std::string>;

TEST_P(AnyReader, EveryLineTerminator) {
  const struct {
    std::string data;
    LineList lines;
  } cases[] = {
      {"abc\r\ndef", {"abc", "def"}},
      {"abc\n\rdef", {"abc", "def"}},
      {"abc\rdef\n", {"abc", "def"}},
      {"abc\r\rdef", {"abc", "", "def"}},
      {"abc\n\ndef", {"abc", "", "def"}},
      {"abc\r\n\n", {"abc", ""}},
      {"abc\n\r\n", {"abc", ""}},
      {"abc\x1a\n", {"abc", ""}},
      {"abc\r\x1a", {"abc", ""}},
      {"abc\x1a\x1a", {"abc", ""}},
      {"\r\n\r\n", {"", ""}},
      {"a\rb\nc\r\nd\n\re\x1a"
       "f",
       {"a", "b", "c", "d", "e", "f"}},
      // A terminator, or half of a pair, as the last byte of the data.
      {"abc\r", {"abc"}},
      {"abc\n", {"abc"}},
      {"abc\r\n", {"abc"}},
      {"abc\n\r", {"abc"}},
      {"abc", {"abc"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.lines, Lines(c.data, -1)) << testing::PrintToString(c.data);
}

TEST_P(AnyReader, LengthLimitedLineConsumesTheByteAfterTheCut) {
  const struct {
    std::string data;
    int64_t limit;
    LineList lines;
  } cases[] = {
      {"abcd\r\n", 2, {"ab", "d"}},       // 'c' stands in for the terminator
      {"ab\r\ncd", 2, {"ab", "cd"}},      // a terminator right at the limit still ends the line
      {"abc\r\nx", 2, {"ab", "", "x"}},   // the real terminator then gives an empty line
      {"ab\n\r\nx", 2, {"ab", "", "x"}},  // an LF CR pair at the limit is one line end
      {"abcde", 2, {"ab", "de"}},        {"abc\r\n", 3, {"abc"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.lines, Lines(c.data, c.limit)) << testing::PrintToString(c.data);
}

TEST_P(AnyReader, LineAtTheEndWithoutTerminator) {
  auto reader = Make("abc\r\ndef");
  EXPECT_EQ("abc", reader->ReadLine(-1, false));
  EXPECT_VT_ERROR(reader->ReadLine(-1, false), EReader, "Read error");

  reader = Make("abc\r\ndef");
  EXPECT_EQ("abc", reader->ReadLine(4096, false));
  EXPECT_EQ("def", reader->ReadLine(4096, true));
  EXPECT_TRUE(reader->AtEnd());
}

TEST_P(AnyReader, Searches) {
  const std::string digits = "0123456789";
  const struct {
    std::string data;
    std::function<int64_t(AReaderEx&)> search;
    int64_t expected;
  } cases[] = {
      {"abc\r\ndef", [](AReaderEx& r) { return r.FindText("\r\n", -1, true); }, 3},
      {"abc\r\ndef", [](AReaderEx& r) { return r.FindText("\r\n", 2, true); }, -1},
      {"abc\r\ndef", [](AReaderEx& r) { return r.FindText("\r\n", 3, true); }, 3},
      // Where the data ends inside the pattern, the part that is there counts.
      {"abc\r", [](AReaderEx& r) { return r.FindText("\r\n", -1, true); }, 3},
      {"ab\r\n\r", [](AReaderEx& r) { return r.FindText("\r\n\r\n", -1, true); }, 2},
      {"abcxa", [](AReaderEx& r) { return r.FindText("xyz", -1, true); }, -1},
      {"abcd", [](AReaderEx& r) { return r.FindText("CD", -1, false); }, 2},
      {"abcd", [](AReaderEx& r) { return r.FindText("CD", -1, true); }, -1},
      // Only ASCII letters fold.
      {"x{\xc9", [](AReaderEx& r) { return r.FindText("[", -1, false); }, -1},
      {"x{\xc9", [](AReaderEx& r) { return r.FindText("\xe9", -1, false); }, -1},
      {"abc", [](AReaderEx& r) { return r.FindText("", -1, true); }, -1},
      {"abc", [](AReaderEx& r) { return r.FindByte('a', false, 0); }, 0},
      {"abc", [](AReaderEx& r) { return r.FindByte('b', false, 0); }, -1},
      {"abc", [](AReaderEx& r) { return r.FindByte('c', false, 2); }, 2},
      {"aab", [](AReaderEx& r) { return r.FindByte('a', true, -1); }, 2},
      {"aaa", [](AReaderEx& r) { return r.FindByte('a', true, -1); }, -1},
      {"ab12", [&](AReaderEx& r) { return r.FindByteInSet(ByteSet(digits), false, -1); }, 2},
      {"12ab", [&](AReaderEx& r) { return r.FindByteInSet(ByteSet(digits), true, -1); }, 2},
      {"12ab", [&](AReaderEx& r) { return r.FindByteInSet(ByteSet(digits), true, 1); }, -1},
      {"", [](AReaderEx& r) { return r.FindByte('a', false, -1); }, -1},
  };
  for (const auto& c : cases) {
    auto reader = Make(c.data);
    EXPECT_EQ(c.expected, c.search(*reader)) << testing::PrintToString(c.data);
    EXPECT_EQ(0, reader->GetPosition());
  }
  // Offsets count from the position, which the search leaves alone.
  auto reader = Make("a\r\nb\r\n");
  reader->Skip(2);
  EXPECT_EQ(2, reader->FindText("\r\n", -1, true));
  EXPECT_EQ(2, reader->GetPosition());
}

TEST_P(AnyReader, MatchingNeverMoves) {
  auto reader = Make("abc");
  EXPECT_TRUE(reader->MatchText("ab", true));
  EXPECT_TRUE(reader->MatchText("AB", false));
  EXPECT_FALSE(reader->MatchText("AB", true));
  EXPECT_FALSE(reader->MatchText("", true));
  EXPECT_EQ(3, reader->MatchBytes("abcd", 4, true));
  EXPECT_EQ(-1, reader->MatchBytes("abcd", 0, true));
  EXPECT_VT_ERROR(reader->MatchText("abcd", true), EReader, "Read error");
  EXPECT_EQ(0, reader->GetPosition());
}

TEST_P(AnyReader, CountedAndExactReads) {
  auto reader = Make("hello world");
  EXPECT_EQ("", reader->ReadText(0));
  EXPECT_EQ("", reader->ReadText(-5));
  EXPECT_EQ(0, reader->GetPosition());
  EXPECT_EQ('h', reader->PeekByte());
  EXPECT_EQ('h', reader->ReadByte());
  EXPECT_EQ("ello", reader->PeekText(4));
  EXPECT_EQ("ello", reader->ReadText(4));
  reader->SkipByte();
  char buffer[16];
  EXPECT_EQ(5, reader->Peek(buffer, 16));
  EXPECT_VT_ERROR(reader->PeekExact(buffer, 6), EReader, "Read error");
  EXPECT_VT_ERROR(reader->Skip(-1), EReader, "Skip error");
  EXPECT_EQ(6, reader->GetPosition());
  // An exact read that runs out consumes what it got.
  EXPECT_VT_ERROR(reader->ReadExact(buffer, 6), EReader, "Read error");
  EXPECT_TRUE(reader->AtEnd());
  EXPECT_EQ(std::string("world"), std::string(buffer, 5));
  EXPECT_VT_ERROR(reader->ReadByte(), EReader, "Read error");
  EXPECT_VT_ERROR(reader->PeekByte(), EReader, "Read error");
  // A count far beyond the data reserves nothing like it.
  reader->SetPosition(0);
  EXPECT_EQ("hello world", reader->ReadText(std::numeric_limits<int32_t>::max()));
}

TEST_P(AnyReader, ReadAllTextStartsOverAndEndsAtTheEnd) {
  const std::string big(200000, 'x');
  auto reader = Make(big + "!");
  reader->Skip(7);
  EXPECT_EQ(big + "!", reader->ReadAllText());
  // The string reader hands over its string without moving (tested below).
  if (GetParam().name != "String") {
    EXPECT_TRUE(reader->AtEnd());
  }
}

TEST(StringReader, ReadAllTextIsTheStringWhereverThePosition) {
  TStringReader reader("abcdef");
  reader.Skip(2);
  EXPECT_EQ("abcdef", reader.ReadAllText());
  EXPECT_EQ(2, reader.GetPosition());
}

TEST(MemoryReader, SeeksWithinItsBytesOnly) {
  const char data[] = "0123456789";
  TMemoryReader reader(data, 10);
  reader.SetPosition(10);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_VT_ERROR(reader.SetPosition(11), EMemoryReader, "Seek error");
  EXPECT_VT_ERROR(reader.SetPosition(-1), EMemoryReader, "Seek error");
  EXPECT_VT_ERROR(reader.Skip(1), EMemoryReader, "Seek error");
  // At the very end nothing is left to differ: no match, no error.
  EXPECT_FALSE(reader.MatchText("x", true));
}

TEST(DefaultReader, UnknownSizeIsReadToTheEnd) {
  TTestReader reader(std::string(5000, 'y'), 700);
  reader.SizeUnknown = true;
  EXPECT_EQ(std::string(5000, 'y'), reader.ReadAllText());
}

// A reader that stops delivering before its end must fail, not hang or
// pass off what it got as the whole.
TEST(DefaultReader, StalledReaderFailsInsteadOfLooping) {
  const std::function<void(AReaderEx&)> operations[] = {
      [](AReaderEx& r) { r.ReadAllText(); },
      [](AReaderEx& r) { r.ReadLine(-1, true); },
      [](AReaderEx& r) { r.ReadLine(100, true); },
      [](AReaderEx& r) { r.FindText("zz", -1, true); },
  };
  for (bool sizeUnknown : {false, true}) {
    for (const auto& operation : operations) {
      TTestReader reader("abcdefghij", 3);
      reader.SizeUnknown = sizeUnknown;
      reader.Budget = 4;
      EXPECT_VT_ERROR(operation(reader), EReader, "Read error");
    }
  }
  // Only the scan happens within budget here; the line itself then stalls.
  TTestReader reader("abcdef", 2);
  reader.Budget = 8;
  EXPECT_VT_ERROR(reader.ReadLine(-1, true), EReader, "Read error");
}

TEST(DefaultReader, FailureOfTheSourcePropagates) {
  TTestReader reader("abc\r\ndef", 2);
  reader.Budget = 2;
  reader.FailWhenSpent = true;
  EXPECT_VT_ERROR(reader.ReadLine(-1, true), EReader, "Injected failure");
}

TEST(ReadError, EmptyTextMeansReadError) {
  EXPECT_VT_ERROR(RaiseReadError(), EReader, "Read error");
  EXPECT_VT_ERROR(RaiseReadError("Seeking not supported"), EReader, "Seeking not supported");
}

}  // namespace
}  // namespace vt
