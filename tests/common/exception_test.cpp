#include "common/exception.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

TEST(ExceptionTest, WhatIsTheMessageAlsoForACopy) {
  const _exception e("a.B", "msg text", "where", "P[1]", "advice");
  const _exception copy(e);
  EXPECT_STREQ(e.what(), "msg text");
  EXPECT_STREQ(copy.what(), "msg text");
  EXPECT_EQ(copy.get_id(), "a.B");
  EXPECT_EQ(copy.get_comment(), "advice");
}

TEST(ExceptionTest, FormatParamsCutsAtCapacity) {
  EXPECT_EQ(format_params(32768, "A[%d] B[%s]", -5, "x y"), "A[-5] B[x y]");
  EXPECT_EQ(format_params(4, "ABCDEFG[%d]", 1), "ABC");
}

}  // namespace
}  // namespace velkor
