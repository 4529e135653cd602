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
    bool framing;  // the peer broke the coding (else the data ended)
  };
  std::vector<Case> cases = {
      // Fewer data bytes than announced.
      {"a\r\nshort", "Stream read error", false},
      // Data that ends where the next size line belongs.
      {"5\r\nhello\r\n", "Stream read error", false},
      {"5\r\nhello\r\n0", "Stream read error", false},
      // Sizes past 63 bits: never negative, never wrapped to a small number.
      {"8000000000000000\r\nx", "Invalid chunk size", true},
      {"10000000000000000\r\nx", "Invalid chunk size", true},
      // Anything but hexadecimal digits, then blanks or extensions.
      {"1 00000005\r\nx", "Invalid chunk size", true},
      {"z\r\n\r\n", "Invalid chunk size", true},
      {"-5\r\nhello\r\n0\r\n\r\n", "Invalid chunk size", true},
      {"1g\r\n" + std::string(16, 'x') + "\r\n0\r\n\r\n", "Invalid chunk size", true},
      {" 5\r\nhello\r\n0\r\n\r\n", "Invalid chunk size", true},
      {"0x5\r\nhello\r\n0\r\n\r\n", "Invalid chunk size", true},
      {"\r\nhello\r\n0\r\n\r\n", "Invalid chunk size", true},
      // The data's line end, and nothing else, follows the data.
      {"5\r\nhelloXX\r\n0\r\n\r\n", "Bytes after chunk data", true},
      {"5\r\nhello\r0\r\n\r\n", "Bare CR in chunk framing", true},
      {"5\rhello\r\n0\r\n\r\n", "Bare CR in chunk framing", true},
      // A line that does not end within the bound is not cut: its rest would
      // be read as data.
      {"5;" + std::string(5000, 'e') + "\r\nhello\r\n0\r\n\r\n", "Chunk framing line too long", true},
  };
  // A trailer that never ends must not grow the trailer list without end.
  std::string endless = "0\r\n";
  for (int i = 0; i <= ThttpChunkedContentReader::kMaxTrailerLines; ++i) endless += "X: 1\r\n";
  cases.push_back({endless, "Too many trailer lines", true});
  for (const Case& c : cases) {
    for (int32_t perRead : {0, 1}) {
      TTestReader underlying(c.data, perRead);
      const auto drain = [&] {
        ThttpChunkedContentReader reader(&underlying, false);
        Drain(reader);
      };
      if (c.framing) {
        EXPECT_VT_ERROR(drain(), EChunkedContentFraming, c.error);
      } else {
        EXPECT_VT_ERROR(drain(), EChunkedContentReader, c.error);
      }
    }
  }
  // The largest size is accepted, and only the bytes that came are held.
  TTestReader underlying("7fffffffffffffff\r\n" + std::string(100, 'x'));
  ThttpChunkedContentReader reader(&underlying, false);
  EXPECT_VT_ERROR(reader.ReadAllText(), EChunkedContentReader, "Stream read error");
  EXPECT_GE(2048, underlying.LargestRequest);
  // LF alone ends a framing line too.
  TTestReader bare("5;x\nhello\n0\nX-T: 1\n\n");
  ThttpChunkedContentReader lf(&bare, false);
  EXPECT_EQ("hello", Drain(lf));
  EXPECT_EQ(std::vector<std::string>{"X-T: 1"}, lf.TrailerLines());
}

TEST(ChunkedContentReader, SizeLines) {
  EXPECT_EQ(26, ParseChunkSizeLine("1A"));
  EXPECT_EQ(26, ParseChunkSizeLine("0000000000000000001a ; x=y"));
  EXPECT_EQ(5, ParseChunkSizeLine("5\t"));
  EXPECT_EQ(INT64_MAX, ParseChunkSizeLine("7FFFFFFFFFFFFFFF"));
  for (const char* line : {"8000000000000000", "1z", "zz", "", " 1", "+1", "1 2", ";x"})
    EXPECT_EQ(-1, ParseChunkSizeLine(line)) << line;
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
