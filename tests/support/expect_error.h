#pragma once

// EXPECT_VT_ERROR(statement, EClass, "text"): the statement raises a
// vt::Exception whose most derived class is EClass and whose message is text.

#include <gtest/gtest.h>

#include "util/exception.h"

#define EXPECT_VT_ERROR(statement, ExceptionClass, text)                  \
  do {                                                                    \
    try {                                                                 \
      statement;                                                          \
      ADD_FAILURE() << "no exception from: " #statement;                  \
    } catch (const ::vt::Exception& vt_error_) {                          \
      EXPECT_STREQ(#ExceptionClass, vt_error_.ClassName()) << #statement; \
      EXPECT_EQ(std::string(text), vt_error_.Message()) << #statement;    \
    }                                                                     \
  } while (0)
