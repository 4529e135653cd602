#include "http/protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/scoped_time_zone.h"
#include "util/date_time.h"

namespace vt {
namespace {

TEST(Protocol, ReasonPhraseTable) {
  int known = 0;
  for (int32_t code = 0; code < 1000; ++code) known += GetReasonPhrase(code).empty() ? 0 : 1;
  EXPECT_EQ(41, known);
  EXPECT_EQ("Not modified", GetReasonPhrase(304));
  EXPECT_EQ("Reserved", GetReasonPhrase(306));
  EXPECT_EQ("Method Not Found", GetReasonPhrase(405));
  EXPECT_EQ("Requested Range Not Satisfiable", GetReasonPhrase(416));
  EXPECT_EQ("HTTP Version Not Supported", GetReasonPhrase(505));
}

struct RequestLineCase {
  std::string line;
  std::string method;
  std::string uri;
  std::string query;
  std::string protocol;
  int32_t major;
  int32_t minor;
};

TEST(Protocol, ParsesRequestLines) {
  const RequestLineCase cases[] = {
      {"GET /a+b%20c%2 HTTP/1.0", "GET", "/a+b c%2", "", "HTTP", 1, 0},
      {"get /x", "GET", "/x", "", "", 0, 0},
      {"  post  /x  y  http/1.1 ", "POST", "/x  y", "", "HTTP", 1, 1},
      {"GET / HTTP", "GET", "/", "", "HTTP", 0, 0},
      {"GET / HTTP/x.2", "GET", "/", "", "HTTP", 0, 2},
      {"OPTIONS", "OPTIONS", "", "", "", 0, 0},
      // The target is cut at its first "?" before decoding; the query stays
      // as sent.
      {"GET /c++.txt?a+b=%26%3D HTTP/1.1", "GET", "/c++.txt", "a+b=%26%3D", "HTTP", 1, 1},
      {"GET /what%3F.txt?x?y HTTP/1.1", "GET", "/what?.txt", "x?y", "HTTP", 1, 1},
      {"GET /%25%32%35? HTTP/1.1", "GET", "/%25", "", "HTTP", 1, 1},
      // Versions beside the usual two.
      {"GET /x HTTP/1.10", "GET", "/x", "", "HTTP", 1, 10},
      {"GET /x HTTP/2.0", "GET", "/x", "", "HTTP", 2, 0},
      {"GET /x Http/1.0", "GET", "/x", "", "HTTP", 1, 0},
  };
  for (const RequestLineCase& c : cases) {
    std::string method, uri, query, protocol;
    int32_t major = -1, minor = -1;
    ParseRequestLine(c.line, method, uri, query, protocol, major, minor);
    EXPECT_EQ(c.method, method) << c.line;
    EXPECT_EQ(c.uri, uri) << c.line;
    EXPECT_EQ(c.query, query) << c.line;
    EXPECT_EQ(c.protocol, protocol) << c.line;
    EXPECT_EQ(c.major, major) << c.line;
    EXPECT_EQ(c.minor, minor) << c.line;
  }
  EXPECT_EQ("GET /x", ComposeRequestLine("GET", "/x", "", 0, 0));
  EXPECT_EQ("GET /x HTTP/1.0", ComposeRequestLine("GET", "/x", "HTTP", 1, 0));
  EXPECT_EQ("GET /x HTTP", ComposeRequestLine("GET", "/x", "HTTP", 0, 0));
}

TEST(Protocol, URLDecode) {
  EXPECT_EQ("a b", URLDecode("a+b"));
  EXPECT_EQ("/x y?q=1 2", URLDecode("/x%20y?q=1+2"));
  EXPECT_EQ(std::string("\xff\0/", 3), URLDecode("%fF%00%2f"));
  EXPECT_EQ("100%", URLDecode("100%%"));
  EXPECT_EQ("%zz%4", URLDecode("%zz%4"));
  EXPECT_EQ("%", URLDecode("%"));
  EXPECT_EQ("c++ d", PercentDecode("c++%20d"));
}

TEST(Protocol, StatusLines) {
  std::string protocol, reason;
  int32_t major = -1, minor = -1, code = -1;
  ParseStatusLine("HTTP/1.1 404", protocol, major, minor, code, reason);
  EXPECT_EQ("HTTP", protocol);
  EXPECT_EQ(1, major);
  EXPECT_EQ(1, minor);
  EXPECT_EQ(404, code);
  EXPECT_EQ("", reason);
  EXPECT_EQ("HTTP/1.1 404 Not Found", ComposeStatusLine(code, reason, protocol, major, minor));

  ParseStatusLine(" http/1.0  200  All  good ", protocol, major, minor, code, reason);
  EXPECT_EQ("HTTP", protocol);
  EXPECT_EQ(0, minor);
  EXPECT_EQ(200, code);
  EXPECT_EQ("All  good", reason);
  ParseStatusLine("HTTP/1.1 abc", protocol, major, minor, code, reason);
  EXPECT_EQ(0, code);

  // A code outside the table without a reason leaves the trailing blank.
  EXPECT_EQ("HTTP/1.1 299 ", ComposeStatusLine(299, "", "HTTP", 1, 1));
  EXPECT_EQ("HTTP/1.0 200 Fine", ComposeStatusLine(200, "Fine", "HTTP", 1, 0));
}

struct RangeCase {
  std::string text;
  bool valid;
  int64_t start;
  int64_t end;
  int64_t rangeStart;  // over a body of 1000 bytes
  int64_t length;
};

TEST(Protocol, ByteRanges) {
  const RangeCase cases[] = {
      {"bytes=-500", true, -1, 500, 500, 500},
      {"bytes=900-", true, 900, -1, 900, 100},
      {"bytes=0-4999", true, 0, 4999, 0, 1000},
      {"BYTES=10-19", true, 10, 19, 10, 10},
      {"bytes=0-99,200-299", true, 0, 99, 0, 100},
      {"bytes=-5000", true, -1, 5000, 0, 1000},
      {"bytes=1000-1100", true, 1000, 1100, 0, 0},
      {"bytes=2000-", true, 2000, -1, 2000, 0},
      {"bytes=-0", true, -1, 0, 1000, 0},
      // The list syntax: blanks and tabs around elements, empty elements.
      {"bytes=0-4, 6-8", true, 0, 4, 0, 5},
      {"bytes=0-4,,6-8", true, 0, 4, 0, 5},
      {"bytes=,0-4", true, 0, 4, 0, 5},
      {"bytes= 0-4 ,\t6-8 ,", true, 0, 4, 0, 5},
      // Numbers past 63 bits are past any body.
      {"bytes=99999999999999999999-", true, INT64_MAX, -1, INT64_MAX, 0},
      {"bytes=0-99999999999999999999", true, 0, INT64_MAX, 0, 1000},
      {"bytes=-99999999999999999999", true, -1, INT64_MAX, 0, 1000},
      // Not ranges at all: the field is ignored whole. A first position read
      // as missing would turn "0x1-4" into the last 4 bytes.
      {"items=0-1", false, -1, -1, 0, 0},
      {"bytes=", false, -1, -1, 0, 0},
      {"bytes=,", false, -1, -1, 0, 0},
      {"bytes=5", false, -1, -1, 0, 0},
      {"bytes=-", false, -1, -1, 0, 0},
      {"bytes=x-y", false, -1, -1, 0, 0},
      {"bytes=0x1-4", false, -1, -1, 0, 0},
      {"bytes=0 - 4", false, -1, -1, 0, 0},
      {"bytes=0- 4", false, -1, -1, 0, 0},
      {"bytes=+1-4", false, -1, -1, 0, 0},
      {"bytes=1-4x", false, -1, -1, 0, 0},
      {"bytes=--4", false, -1, -1, 0, 0},
      {"bytes=1-2-3", false, -1, -1, 0, 0},
      {"bytes=0-4;6-8", false, -1, -1, 0, 0},
      {"bytes=0-4,x", false, -1, -1, 0, 0},
      {"bytes = 0-4", false, -1, -1, 0, 0},
      {"bytes=\x0b0-4", false, -1, -1, 0, 0},
      // An end before the start makes the field invalid (RFC 9110 14.1.1),
      // in any element.
      {"bytes=500-400", false, -1, -1, 0, 0},
      {"bytes=0-4,9-8", false, -1, -1, 0, 0},
  };
  for (const RangeCase& c : cases) {
    int64_t start = 7, end = 7;
    EXPECT_EQ(c.valid, ParseByteRange(c.text, start, end)) << c.text;
    EXPECT_EQ(c.start, start) << c.text;
    EXPECT_EQ(c.end, end) << c.text;
    if (!c.valid) continue;
    int64_t rangeStart = -7, length = -7;
    ComputeByteRange(1000, start, end, rangeStart, length);
    EXPECT_EQ(c.rangeStart, rangeStart) << c.text;
    EXPECT_EQ(c.length, length) << c.text;
  }
}

TEST(Protocol, HTMLErrorPage) {
  test::ScopedTimeZone zone("CET-1");
  const TDateTime local = EncodeDate(2024, 3, 5) + EncodeTime(13, 4, 5, 0);
  EXPECT_EQ(
      "<HTML><HEAD>\r\n<TITLE>Not found</TITLE>\r\n</HEAD><BODY>\r\n<H1>Not found</H1>\r\n"
      "<B>Not <found>\r\n<BR><BR><PRE>\r\nThe requested resource was not found.\r\n</PRE><BR><HR>\r\n"
      "<FONT SIZE=2>Generated Tue, 05 Mar 2024 12:04:05 GMT by Veltrana Web Server.</FONT>\r\n"
      "</BODY></HTML>\r\n",
      HTMLErrorPage("Not found", "Not <found>", "The requested resource was not found.",
                    "Veltrana Web Server", local));
  const std::string page = HTMLErrorPage("Internal server error", "x", "", "");
  EXPECT_NE(std::string::npos, page.find("<PRE>\r\n\r\n</PRE>"));
  EXPECT_NE(std::string::npos, page.find(" GMT by ZO-RIVI/1.09.</FONT>\r\n</BODY></HTML>\r\n"));
}

}  // namespace
}  // namespace vt
