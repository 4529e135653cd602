#include "app/cgi_program.h"

#include <gtest/gtest.h>

#include "app/cgi_output.h"

namespace vt {
namespace {

TEST(CGIAnswer, TheLengthAnnouncedIsNeverMoreThanTheProgramWrote) {
  const struct {
    const char* why;
    std::int64_t given;  // the program's Content-Length; -1: none
    bool ended;          // its output ended within the read-ahead
    std::size_t bytes;   // body bytes read by then
    std::int64_t length;
  } cases[] = {
      {"ended, no length given: what it wrote", -1, true, 5, 5},
      {"ended, its own length", 5, true, 5, 5},
      {"ended, a length past what it wrote would keep the client waiting", 999, true, 3, 3},
      {"ended, a shorter length cuts the body", 2, true, 5, 2},
      {"still writing, its own length stands", 1000000, false, 100, 1000000},
      {"still writing, no length: the answer streams", -1, false, 100, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.length, CGIAnswerLength(c.given, c.ended, c.bytes)) << c.why;
}

TEST(CGIAnswer, AWholeHeaderSectionAndTheProgramsLength) {
  const struct {
    const char* output;
    bool whole;
    std::int64_t length;  // -1: none kept
  } cases[] = {
      {"Content-Type: a\r\n\r\nbody", true, -1},
      {"Content-Type: a\n\nbody", true, -1},
      {"X: 1\n\r\n", true, -1},
      {"\r\nbody", true, -1},
      {"\nbody", true, -1},
      {"Content-Type: a\r\n", false, -1},
      {"Content-Length: 12\r\n\r\n", true, 12},
      {"content-length:0\n\n", true, 0},
      {"Content-Length: 12x\r\n\r\n", true, -1},
      {"Content-Length: -1\r\n\r\n", true, -1},
      {"Content-Length: 1234567890123456789\r\n\r\n", true, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.whole, HasWholeCGIHeader(c.output)) << c.output;
    const TCGIAnswer answer = ParseCGIOutput(c.output);
    EXPECT_EQ(c.length, answer.content_length) << c.output;
    for (const std::string& field : answer.fields)
      EXPECT_NE(0u, field.rfind("Content-Length", 0)) << "never passed on as a field: " << c.output;
  }
}

}  // namespace
}  // namespace vt
