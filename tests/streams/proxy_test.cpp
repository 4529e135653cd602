// Window readers: a part of another reader, from its position at
// construction, as the message bodies on a connection are read.

#include <gtest/gtest.h>

#include <string>

#include "streams/reader.h"
#include "support/expect_error.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using test::TTestReader;

TEST(WindowReader, IsBoundedByItsSizeAndRelativeToItsStart) {
  TTestReader underlying(std::string(100, '-') + "0123456789");
  underlying.SetPosition(100);
  TReaderProxy window(&underlying, false, 5);
  EXPECT_EQ(0, window.GetPosition());
  EXPECT_EQ(5, window.GetSize());
  EXPECT_EQ("01234", window.ReadText(50));
  EXPECT_TRUE(window.AtEnd());
  EXPECT_FALSE(underlying.AtEnd());
  EXPECT_EQ("", window.ReadText(1));
  EXPECT_VT_ERROR(window.SetPosition(6), EReader, "Seek error");
  EXPECT_VT_ERROR(window.SetPosition(-1), EReader, "Seek error");
  window.SetPosition(5);
  window.SetPosition(2);
  EXPECT_EQ(102, underlying.GetPosition());
  EXPECT_EQ("234", window.ReadText(10));
  EXPECT_EQ("01234", window.ReadAllText());
}

TEST(WindowReader, ReadsNothingFromTheUnderlyingReaderOnceUsedUp) {
  TTestReader underlying("abcdef");
  TReaderProxy window(&underlying, false, 0);
  char buffer[4];
  EXPECT_EQ(0, window.Read(buffer, 4));
  EXPECT_EQ(0, underlying.ReadCalls);
  EXPECT_TRUE(window.AtEnd());
}

TEST(WindowReader, WithoutSizeRunsToTheUnderlyingEnd) {
  TTestReader underlying("abcdef");
  underlying.SetPosition(2);
  TReaderProxy window(&underlying, false, -1);
  EXPECT_EQ(4, window.GetSize());
  EXPECT_EQ("cdef", window.ReadText(10));
  EXPECT_TRUE(window.AtEnd());

  underlying.SizeUnknown = true;
  EXPECT_LT(window.GetSize(), 0);
  TReaderProxy sized(&underlying, false, 3);
  EXPECT_LT(sized.GetSize(), 0);
}

// A line that ends with the window must not eat the byte beyond it: that
// byte belongs to whatever follows the body.
TEST(WindowReader, LineEndSplitByTheWindowStaysInside) {
  TStringReader underlying("abc\r\nnext");
  TReaderProxy window(&underlying, false, 4);
  EXPECT_EQ("abc", window.ReadLine(-1, true));
  EXPECT_TRUE(window.AtEnd());
  EXPECT_EQ(4, underlying.GetPosition());
  EXPECT_EQ(-1, window.FindByte('\n', false, -1));
}

TEST(WindowReader, DeletesTheUnderlyingReaderOnlyWhenItOwnsIt) {
  bool deleted = false;
  struct TWatchedReader : TStringReader {
    explicit TWatchedReader(bool& flag) : TStringReader("x"), flag_(flag) {}
    ~TWatchedReader() override { flag_ = true; }
    bool& flag_;
  };
  TWatchedReader kept(deleted);
  { TReaderProxy window(&kept, false, 1); }
  EXPECT_FALSE(deleted);
  bool ownedDeleted = false;
  { TReaderProxy window(new TWatchedReader(ownedDeleted), true, 1); }
  EXPECT_TRUE(ownedDeleted);
}

}  // namespace
}  // namespace vt
