#include "common/exception.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using velkor::format_params;

TEST(ExceptionTest, ParamsAreCutAtCapacity) {
  // A text longer than the buffer is cut to capacity - 1 bytes rather than
  // grown: the params text stays bounded whatever a path holds.
  EXPECT_EQ(format_params(velkor::kParamsCapacity, "A[%s] B[%d]", "x", INT32_MIN),
            "A[x] B[-2147483648]");
  const std::string long_name(5000, 'n');
  EXPECT_EQ(format_params(4096, "N[%s]", long_name.c_str()), ("N[" + long_name).substr(0, 4095));
  EXPECT_EQ(format_params(8, "Value[%d]", 123456), "Value[1");
  EXPECT_EQ(format_params(1, "V[%d]", 1), "");
  EXPECT_EQ(format_params(0, "V[%d]", 1), "");
}

}  // namespace
