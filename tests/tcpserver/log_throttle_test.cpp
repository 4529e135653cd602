#include "tcpserver/log_throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace vt {
namespace {

// One line per interval; the lines held back meanwhile are told with the
// next one that goes, and counted afresh after it.
TEST(LogThrottle, OneLinePerIntervalWithTheCountHeldBack) {
  struct Step {
    std::int64_t now;
    bool allowed;
    std::int64_t held_back;  // when allowed
    const char* why;
  };
  const std::vector<Step> steps = {
      {-5000, true, 0, "the first line goes, whatever the clock says"},
      {-4000, false, 0, "within the interval"},
      {4999, false, 0, "still within it"},
      {5000, true, 2, "the interval has passed: the two held back are told"},
      {5001, false, 0, "a new interval"},
      {20000, true, 1, "long after: one held back"},
      {30000, true, 0, "none held back since"},
  };
  TLogThrottle throttle(10000);
  for (const Step& step : steps) {
    std::int64_t held_back = -1;
    EXPECT_EQ(step.allowed, throttle.Allow(step.now, held_back)) << step.why;
    if (step.allowed) {
      EXPECT_EQ(step.held_back, held_back) << step.why;
    }
  }
}

}  // namespace
}  // namespace vt
