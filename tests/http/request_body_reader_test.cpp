#include "http/request_body_reader.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/test_reader.h"

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What one body gives its reader: the bytes delivered until the end, or the
// failure that stopped it.
struct TBodyCase {
  const char* why;
  TContentFraming framing;
  int64_t length;     // Content-Length (kSized)
  int64_t max_bytes;  // the request's limit
  std::string wire;   // what the connection delivers after the head
  bool late;          // the body's deadline has passed
  std::string body;   // delivered before the end or the failure
  int status;         // EhttpContent's status; -1: EReader; 0: none
};

TEST(RequestBodyReader, DeliversTheBodyAsFramedAndRefusesWhatBreaksItsRules) {
  const TBodyCase cases[] = {
      {"a sized body ends at its length, the next request stays unread", TContentFraming::kSized, 5, 10,
       "helloGET /", false, "hello", 0},
      {"a chunked body gives its data, not its framing", TContentFraming::kChunked, 0, 10,
       "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\nT: v\r\n\r\nGET", false, "abcde", 0},
      {"an empty chunked body ends at once", TContentFraming::kChunked, 0, 10, "0\r\n\r\n", false, "", 0},
      {"a chunked body of exactly the limit passes", TContentFraming::kChunked, 0, 4,
       "4\r\nabcd\r\n0\r\n\r\n", false, "abcd", 0},
      {"a chunked body past the limit is refused before its bytes are handed on", TContentFraming::kChunked,
       0, 4, "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", false, "abc", 413},
      {"broken chunk framing is the client's fault", TContentFraming::kChunked, 0, 10,
       "3\r\nabcX\r\n0\r\n\r\n", false, "", 400},
      {"a size that is no number", TContentFraming::kChunked, 0, 10, "zz\r\n", false, "", 400},
      {"a sized body cut short in time is a read error", TContentFraming::kSized, 8, 10, "abc", false, "abc",
       -1},
      {"a sized body cut short past its deadline is a time-out", TContentFraming::kSized, 8, 10, "abc", true,
       "abc", 408},
      {"a chunked body cut short inside a chunk", TContentFraming::kChunked, 0, 10, "5\r\nab", false, "", -1},
      // The chunk's bytes go with the read that found the body cut short.
      {"a chunked body cut short past its deadline", TContentFraming::kChunked, 0, 10, "2\r\nab\r\n", true,
       "", 408},
  };
  for (const TBodyCase& c : cases) {
    SCOPED_TRACE(c.why);
    test::TTestReader wire(c.wire, 2);  // short reads, as a connection gives
    Deadline bound = Deadline::max();
    int ends = 0;
    ThttpRequestBodyReader body(wire, c.framing, c.length, c.max_bytes,
                                c.late ? Clock::now() - 1s : Clock::now() + 60s, &bound);
    body.OnEnd = [&] { ++ends; };
    std::string got;
    int status = 0;
    try {
      char buffer[3];
      while (const int32_t n = body.Read(buffer, sizeof buffer)) got.append(buffer, static_cast<size_t>(n));
    } catch (const EhttpContent& error) {
      status = error.StatusCode();
    } catch (const EReader&) {
      status = -1;
    }
    EXPECT_EQ(c.body, got);
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.status == 0, body.AtEnd());
    EXPECT_EQ(c.status == 0 ? 1 : 0, ends) << "the end is told once, and only for a whole body";
    EXPECT_EQ(Deadline::max(), bound) << "the connection's own bound is back after each read";
    if (c.status == 0) {
      EXPECT_EQ(static_cast<int64_t>(c.body.size()), body.GetSize());
      EXPECT_EQ(0, body.Read(nullptr, 1)) << "a read at the end gives nothing";
    }
  }
}

}  // namespace
}  // namespace vt
