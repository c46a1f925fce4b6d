#include "common/exception.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "test_util.h"

namespace {

using velkor::_exception;
using velkor::format_params;

TEST(ExceptionTest, CopyKeepsAllTextsAndOwnsItsMessage) {
  auto original = std::make_unique<_exception>("Class.Reason", "Something failed!", "Class::op()",
                                               "Value[7]", "Try again.");
  const _exception copy(*original);
  original.reset();  // what() of the copy must not point into the original
  EXPECT_TRUE(velkor_test::texts_equal(velkor_test::texts_of(copy),
                                       {"Class.Reason", "Something failed!", "Class::op()",
                                        "Value[7]", "Try again."}));
  EXPECT_STREQ(static_cast<const std::exception&>(copy).what(), "Something failed!");
}

// A text longer than the buffer is cut to capacity - 1 bytes rather than
// grown: the params text stays bounded whatever a path holds.
TEST(FormatParamsTest, FormatsAndCutsAtCapacity) {
  EXPECT_EQ(format_params(velkor::kParamsCapacity, "A[%s] B[%d]", "x.idx", INT32_MIN),
            "A[x.idx] B[-2147483648]");
  const std::string long_name(5000, 'n');
  EXPECT_EQ(format_params(4096, "Name[%s]", long_name.c_str()),
            ("Name[" + long_name).substr(0, 4095));
  EXPECT_EQ(format_params(8, "Value[%d]", 123456), "Value[1");
  EXPECT_EQ(format_params(1, "Value[%d]", 1), "");
  EXPECT_EQ(format_params(0, "Value[%d]", 1), "");
}

}  // namespace
