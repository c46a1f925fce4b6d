#include "common/exception.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "test_util.h"

namespace {

using velkor::_exception;
using velkor::format_params;
using velkor_test::texts_of;

TEST(ExceptionTest, CopyKeepsAllTextsAndOwnsItsMessage) {
  auto original = std::make_unique<_exception>("Class.Reason", "Something failed!", "Class::op()",
                                               "Value[7]", "Try again.");
  const _exception copy(*original);
  original.reset();  // what() of the copy must not point into the original
  EXPECT_TRUE(velkor_test::texts_equal(texts_of(copy), {"Class.Reason", "Something failed!",
                                                        "Class::op()", "Value[7]", "Try again."}));
  const std::exception& base = copy;
  EXPECT_STREQ(base.what(), "Something failed!");
}

TEST(ExceptionTest, ThrownByValueCaughtByReference) {
  try {
    throw _exception("", "Fault in design!", "", "", "");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Fault in design!");
    const auto* ours = dynamic_cast<const _exception*>(&e);
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(ours->get_id(), "");
  }
}

TEST(FormatParamsTest, FormatsItems) {
  EXPECT_EQ(format_params(velkor::kParamsCapacity, "FileName[%s] OpenMode[%s] ErrCode[%d]", "x.idx",
                          "read|write", 2),
            "FileName[x.idx] OpenMode[read|write] ErrCode[2]");
  EXPECT_EQ(format_params(velkor::kParamsCapacity, "A[%d] B[%d]", -1, INT32_MIN),
            "A[-1] B[-2147483648]");
  EXPECT_EQ(format_params(velkor::kParamsCapacity, "Empty[%s]", ""), "Empty[]");
}

// A text longer than the buffer is cut to capacity - 1 bytes rather than
// grown: the params text stays bounded whatever a path holds.
TEST(FormatParamsTest, CutsAtCapacity) {
  const std::string long_name(5000, 'n');
  const std::string cut = format_params(4096, "Name[%s]", long_name.c_str());
  EXPECT_EQ(cut.size(), 4095u);
  EXPECT_EQ(cut, ("Name[" + long_name).substr(0, 4095));
  EXPECT_EQ(format_params(8, "Value[%d]", 123456), "Value[1");
  EXPECT_EQ(format_params(1, "Value[%d]", 1), "");
  EXPECT_EQ(format_params(0, "Value[%d]", 1), "");
}

}  // namespace
