#include "http/request_head_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "http/message.h"

namespace vt {
namespace {

// The status a check refuses with, 0 when it passes.
template <typename Check>
int RefusalOf(Check check) {
  try {
    check();
    return 0;
  } catch (const EhttpContent& error) {
    return error.StatusCode();
  }
}

// Every byte at every place of lines of every length up to three words
// (looked at a word at a time, the last word overlapping the one before, and
// byte by byte when shorter than a word): only the controls other than HTAB,
// and DEL, make a line unclean, wherever they stand and whatever is beside
// them. A request line has no place for a tab either.
TEST(RequestHead, OnlyControlsOtherThanTabAndDeleteMakeALineUnclean) {
  const std::string text = "X-Field: value\xe9 abcdefghi";
  for (std::size_t size = 1; size <= 24; ++size) {
    for (int byte = 0; byte < 256; ++byte) {
      const bool refused = (byte < 32 && byte != '\t') || byte == 127;
      for (std::size_t at = 0; at < size; ++at) {
        std::string line = text.substr(0, size);
        line[at] = static_cast<char>(byte);
        ASSERT_EQ(!refused, IsCleanHeadLine(line)) << "byte " << byte << " at " << at << " of " << size;
      }
    }
    std::string request_line = "GET /" + std::string(size, 'a');
    request_line[4 + size / 2] = '\t';
    EXPECT_EQ(400, RefusalOf([&] { CheckRequestLine(request_line + " HTTP/1.1"); })) << size;
  }
  // Bytes just above 32 beside a high byte (which the word test must not
  // take for one below 32).
  EXPECT_TRUE(IsCleanHeadLine("\xff!\xff!\xff!\xff!\xff!"));
  EXPECT_TRUE(IsCleanHeadLine(""));
}

// The line the reader takes in one step, by its plain definition: the
// bytes up to the first LF, which a CR must come just before, with no byte
// IsCleanHeadLine refuses between (nor a tab in a request line), and no
// longer than the limit.
std::size_t PlainUsualLength(std::string_view bytes, std::int64_t maxLength, bool requestLine) {
  const std::size_t lf = bytes.find('\n');
  if (lf == std::string_view::npos || lf == 0 || bytes[lf - 1] != '\r') return std::string_view::npos;
  const std::string_view text = bytes.substr(0, lf - 1);
  if (static_cast<std::int64_t>(text.size()) > maxLength || !IsCleanHeadLine(text) ||
      (requestLine && text.find('\t') != std::string_view::npos))
    return std::string_view::npos;
  return text.size();
}

// The one pass that finds the line end and checks the bytes before it
// (sixteen, then eight bytes at a time, then byte by byte) agrees with the
// plain definition for a byte of each kind at every place of lines of
// every length across those steps, the line end itself moved about among
// them, with more of the buffer after it or none, and tabs passed over
// before the byte that counts.
TEST(RequestHead, UsualLinesAreFoundAndCheckedInOnePass) {
  const char kinds[] = {'\0', '\t', '\n', '\r', '\x1a', '\x1f', ' ', 'a', '\x7f', '\x80', '\xff'};
  const std::string_view afters[] = {"", "\r", "\r\n", "\r\nHost: h\r\n\r\n", "\n\r\n"};
  const std::string text = "X-Field: value\xe9 abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t size = 0; size <= 40; ++size) {
    for (const std::string_view after : afters) {
      for (const bool request_line : {false, true}) {
        const std::string usual = text.substr(0, size) + std::string(after);
        for (const std::int64_t max :
             {std::int64_t{1} << 20, static_cast<std::int64_t>(size), static_cast<std::int64_t>(size) - 1}) {
          ASSERT_EQ(PlainUsualLength(usual, max, request_line), UsualHeadLineLength(usual, max, request_line))
              << size << " " << max << " " << request_line;
        }
        for (std::size_t at = 0; at < size; ++at) {
          for (const char kind : kinds) {
            std::string bytes = usual;
            bytes[at] = kind;
            // A tab before it: passed over in a field line, refused in a
            // request line.
            if (at >= 3) bytes[at - 3] = '\t';
            ASSERT_EQ(PlainUsualLength(bytes, 1 << 20, request_line),
                      UsualHeadLineLength(bytes, 1 << 20, request_line))
                << "byte " << int{static_cast<unsigned char>(kind)} << " at " << at << " of " << size << " + "
                << after.size() << (request_line ? " (request line)" : "");
          }
        }
      }
    }
  }
}

TEST(RequestHead, FieldLinesAreNameColonValueAndNothingElse) {
  struct Row {
    std::string line;
    int status;  // 0: passes
    const char* why;
  };
  const Row rows[] = {
      {"Host: h", 0, "the usual line"},
      {"X-A:\tv\t", 0, "tabs are blanks around the value"},
      {"X-A: a\tb", 0, "and may stand inside it"},
      {"X-A: caf\xc3\xa9 \x80\xff", 0, "bytes from 128 on are obs-text in a value"},
      {"X-A:", 0, "an empty value"},
      {"!#$%&'*+-.^_`|~09azAZ: v", 0, "every token byte in a name"},
      {"X-A: a:b", 0, "colons after the first belong to the value"},
      {"no colon", 400, "a line that names nothing"},
      {": v", 400, "an empty name"},
      {" X-A: v", 400, "a folded line"},
      {"\tX-A: v", 400, "a folded line, by a tab"},
      {"X-A : v", 400, "a blank before the colon"},
      {"X\tA: v", 400, "a tab in the name"},
      {"Caf\xc3\xa9: v", 400, "a byte >= 128 in the name"},
      {"X(A): v", 400, "a delimiter in the name"},
      {"X-A\x7f: v", 400, "DEL in the name"},
      {"X-A: a\x7f", 400, "DEL in the value"},
      {std::string("X-A: a\0b", 8), 400, "NUL in the value"},
      {"X-A: a\x1b[2Jb", 400, "an escape in the value"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.status, RefusalOf([&] { CheckRequestFieldLine(row.line); })) << row.why;

  // The framing fields with a control byte before or after their value:
  // trimmed as a blank, `\x0bchunked` would frame the body as chunked here
  // and not for a reader that keeps the byte.
  for (const char* field : {"Transfer-Encoding", "Content-Length"}) {
    const std::string value = std::string(field) == "Content-Length" ? "3" : "chunked";
    EXPECT_EQ(0, RefusalOf([&] { CheckRequestFieldLine(std::string(field) + ": \t" + value + " \t"); }));
    for (const char control : {'\0', '\x01', '\x0b', '\x0c', '\x1f', '\x7f'}) {
      for (const std::string& line :
           {std::string(field) + ": " + control + value, std::string(field) + ":" + control + value,
            std::string(field) + ": " + value + control, std::string(field) + ": " + value + control + " "}) {
        EXPECT_EQ(400, RefusalOf([&] { CheckRequestFieldLine(line); }))
            << field << " with byte " << static_cast<int>(control);
      }
    }
  }
}

TEST(RequestHead, RequestLinesAreMethodTargetVersionWithSingleBlanks) {
  struct Row {
    std::string line;
    int status;  // 0: passes
    int minor;   // when it passes
    const char* why;
  };
  const Row rows[] = {
      {"GET /a?b HTTP/1.1", 0, 1, "the usual line"},
      {"GET / HTTP/1.0", 0, 0, "HTTP/1.0"},
      {"GET / HTTP/1.2", 0, 2, "a later minor version is still HTTP/1"},
      {"post /x HTTP/1.1", 0, 1, "a method in small letters is a token"},
      {"GET http://h:81/a HTTP/1.1", 0, 1, "the absolute form"},
      {"GET /caf\xc3\xa9 HTTP/1.1", 0, 1, "bytes >= 128 in the target"},
      {"GET /", 0, -1, "no version: HTTP/0.9, which has no header"},
      {"GET / http/1.1", 400, 0, "the protocol name is case-sensitive"},
      {"GET / Http/1.1", 400, 0, "the protocol name is case-sensitive"},
      {"GET / HTTP/1.1 ", 400, 0, "a blank after the version"},
      {"GET  / HTTP/1.1", 400, 0, "two blanks after the method"},
      {"GET /  HTTP/1.1", 400, 0, "two blanks before the version"},
      {" GET / HTTP/1.1", 400, 0, "a blank before the method"},
      {"GET\t/ HTTP/1.1", 400, 0, "a tab after the method"},
      {"GET /\tHTTP/1.1", 400, 0, "a tab before the version"},
      {"GET /a\tb HTTP/1.1", 400, 0, "a tab in the target"},
      {"GET /a b HTTP/1.1", 400, 0, "a blank in the target"},
      {"GET / HTTP/1.1\x0b", 400, 0, "a control byte after the version"},
      {"GET /\x01 HTTP/1.1", 400, 0, "a control byte in the target"},
      {"<A>b / HTTP/1.1", 0, 1, "a method that is no token is answered as unknown"},
      {"GET / HTTP/1", 400, 0, "a version without its minor number"},
      {"GET / HTTP/1.10", 400, 0, "a version of three digits"},
      {"GET / HTTP/x.1", 400, 0, "a version that is no number"},
      {"GET / HTTP/1.1/", 400, 0, "bytes after the version"},
      {"GET", 400, 0, "a method alone"},
      {"", 400, 0, "nothing"},
      {"GET / HTTP/2.0", 505, 0, "a version this server does not speak"},
      {"GET / HTTP/0.9", 505, 0, "a version this server does not speak"},
      {"GET / HTTP/9.9", 505, 0, "a version this server does not speak"},
  };
  for (const Row& row : rows) {
    int minor = -7;
    EXPECT_EQ(row.status, RefusalOf([&] { minor = CheckRequestLine(row.line); })) << row.why;
    if (row.status == 0) {
      EXPECT_EQ(row.minor, minor) << row.why;
    }
  }
}

}  // namespace
}  // namespace vt
