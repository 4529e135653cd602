#include "util/exception.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vt {
namespace {

VT_EXCEPTION_CLASS(ESample, Exception);
VT_EXCEPTION_CLASS(ESampleChild, ESample);

TEST(Exception, NamesItsOwnClassThroughTheBase) {
  try {
    throw ESampleChild("boom");
  } catch (const Exception& e) {
    EXPECT_STREQ("ESampleChild", e.ClassName());
    EXPECT_EQ("boom", e.Message());
    EXPECT_STREQ("boom", e.what());
  }
}

TEST(Exception, OSErrorCarriesErrnoAndSystemText) {
  try {
    RaiseOSError(ENOENT);
  } catch (const EOSError& e) {
    EXPECT_EQ(ENOENT, e.ErrorCode());
    EXPECT_EQ("No such file or directory", e.Message());
    EXPECT_STREQ("EOSError", e.ClassName());
  }
}

}  // namespace
}  // namespace vt
