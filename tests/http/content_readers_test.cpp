#include "http/content_readers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams/stream.h"
#include "support/expect_error.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using test::TTestReader;

// Everything a reader delivers, through the block copy.
std::string Drain(AReaderEx& reader) {
  TStringWriter out;
  CopyReaderToWriter(&reader, &out, 3);
  return out.Text();
}

const std::string kChunked = "5;name=x\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\n";
const std::string kNext = "GET /next HTTP/1.1\r\n";

TEST(ChunkedContentReader, DecodesDataKeepsTrailersAndStopsAtTheBodysEnd) {
  for (int32_t perRead : {0, 1}) {
    TTestReader underlying(kChunked + kNext, perRead);
    ThttpChunkedContentReader reader(&underlying, false);
    EXPECT_EQ(-1, reader.GetSize());
    EXPECT_EQ("hello", Drain(reader)) << perRead;
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(5, reader.GetSize());
    EXPECT_EQ(std::vector<std::string>{"X-Trailer: 1"}, reader.TrailerLines());
    EXPECT_EQ(kNext, underlying.ReadText(100));
    char byte;
    EXPECT_VT_ERROR(reader.Read(&byte, 1), EChunkedContentReader, "Read past EOF");
  }
}

TEST(ChunkedContentReader, RawModeDeliversTheFramingUnchanged) {
  const std::string body =
      "1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0001a;ext\r\nABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n" + kChunked;
  for (int32_t perRead : {0, 1}) {
    TTestReader underlying(body + kNext, perRead);
    ThttpChunkedContentReader raw(&underlying, true);
    EXPECT_EQ(body, Drain(raw)) << perRead;
    EXPECT_EQ(static_cast<int64_t>(body.size()), raw.GetSize());
    EXPECT_EQ(kNext, underlying.ReadText(100));
  }
  TStringReader underlying(body);
  ThttpChunkedContentReader decoded(&underlying, false);
  EXPECT_EQ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZhello", decoded.ReadAllText());
}

TEST(ChunkedContentReader, SeeksOnlyToWhereItIs) {
  TStringReader underlying(kChunked);
  ThttpChunkedContentReader reader(&underlying, false);
  char buffer[2];
  EXPECT_EQ(2, reader.Read(buffer, 2));
  reader.SetPosition(2);
  EXPECT_VT_ERROR(reader.SetPosition(0), EReader, "SetPosition failed");
}

TEST(ChunkedContentReader, BrokenBodies) {
  struct Case {
    std::string data;
    std::string error;
  };
  std::vector<Case> cases = {
      // Fewer data bytes than announced.
      {"a\r\nshort", "Stream read error"},
      // Data that ends where the next size line belongs.
      {"5\r\nhello\r\n", "Stream read error"},
      // Sizes that do not fit a signed 32-bit count: never negative, never
      // wrapped to a small number.
      {"80000000\r\nx", "Invalid chunk size"},
      {"FFFFFFFF\r\nx", "Invalid chunk size"},
      {"100000000\r\nx", "Invalid chunk size"},
      {"1 00000005\r\nx", "Invalid chunk size"},
  };
  // A trailer that never ends must not grow the trailer list without end.
  std::string endless = "0\r\n";
  for (int i = 0; i <= ThttpChunkedContentReader::kMaxTrailerLines; ++i) endless += "X: 1\r\n";
  cases.push_back({endless, "Too many trailer lines"});
  for (const Case& c : cases) {
    TStringReader underlying(c.data);
    EXPECT_VT_ERROR(
        {
          ThttpChunkedContentReader reader(&underlying, false);
          Drain(reader);
        },
        EChunkedContentReader, c.error);
  }
  // The largest size is accepted, and only the bytes that came are held.
  TTestReader underlying("7fffffff\r\n" + std::string(100, 'x'));
  ThttpChunkedContentReader reader(&underlying, false);
  EXPECT_VT_ERROR(reader.ReadAllText(), EChunkedContentReader, "Stream read error");
  EXPECT_GE(2048, underlying.LargestRequest);
}

TEST(ChunkedContentReader, SizeLines) {
  EXPECT_EQ(26, ParseChunkSizeLine("1A"));
  EXPECT_EQ(26, ParseChunkSizeLine(" 0000000001a ; x=y"));
  EXPECT_EQ(0x7fffffff, ParseChunkSizeLine("7FFFFFFF"));
  EXPECT_EQ(-1, ParseChunkSizeLine("80000000"));
  // Bytes that are not digits count as 0; a line of them ends the body.
  EXPECT_EQ(0x10, ParseChunkSizeLine("1z"));
  EXPECT_EQ(0, ParseChunkSizeLine("zz"));
  EXPECT_EQ(0, ParseChunkSizeLine(""));
}

TEST(SizedContentReader, StopsAtItsSizeAndLeavesTheRest) {
  const std::string data = "0123456789" + std::string("abcdefghijklmno");
  for (int32_t perRead : {0, 1}) {
    TTestReader underlying(data, perRead);
    ThttpSizedContentReader reader(&underlying, false, 10);
    EXPECT_EQ(10, reader.GetSize());
    EXPECT_EQ("0123456789", Drain(reader));
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ("abcdefghijklmno", underlying.ReadText(100));
  }
  // Cut short by the peer: not at its end, and the copy reports it.
  TTestReader underlying("0123");
  ThttpSizedContentReader reader(&underlying, false, 10);
  EXPECT_EQ(10, reader.GetSize());
  TStringWriter out;
  EXPECT_VT_ERROR(CopyReaderToWriter(&reader, &out, 0), EReader, "Read error");
  EXPECT_EQ("0123", out.Text());
  EXPECT_FALSE(reader.AtEnd());
}

}  // namespace
}  // namespace vt
