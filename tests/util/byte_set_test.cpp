#include "util/byte_set.h"

#include <gtest/gtest.h>

namespace vt {
namespace {

TEST(ByteSet, WhitespaceIsTheBytesZeroToThirtyTwo) {
  const ByteSet ws = ByteSet::Whitespace();
  EXPECT_TRUE(ws.Contains('\0'));
  EXPECT_TRUE(ws.Contains('\t'));
  EXPECT_TRUE(ws.Contains(' '));
  EXPECT_FALSE(ws.Contains('!'));
  EXPECT_FALSE(ws.Contains('\x7f'));
  EXPECT_FALSE(ws.Contains('\xff'));
}

TEST(ByteSet, MembersFromTextAndUnion) {
  const ByteSet set = ByteSet("\r\n") | ByteSet(std::string_view("\x1a\xe9", 2));
  EXPECT_TRUE(set.Contains('\r'));
  EXPECT_TRUE(set.Contains('\n'));
  EXPECT_TRUE(set.Contains('\x1a'));
  EXPECT_TRUE(set.Contains('\xe9'));
  EXPECT_FALSE(set.Contains('a'));
}

}  // namespace
}  // namespace vt
