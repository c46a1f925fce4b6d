#include "common/decimal.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace velkor {
namespace {

template <class T>
std::string written(T v) {
  char text[16];
  return std::string(text, write_decimal(text, v));
}

template <class T>
std::string reference(T v) {
  char text[16];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// Every power of ten and its neighbours crosses a change of length, where a
// cut into head and fixed digits can drop or pad a zero.
TEST(Decimal, MatchesToCharsAtEveryLengthBoundary) {
  for (uint64_t p = 1; p <= 10000000000ull; p *= 10) {
    for (int64_t d = -2; d <= 2; ++d) {
      const int64_t v = static_cast<int64_t>(p) + d;
      if (v < 0 || v > std::numeric_limits<uint32_t>::max()) continue;
      EXPECT_EQ(written(static_cast<uint32_t>(v)), reference(static_cast<uint32_t>(v)));
      if (v <= std::numeric_limits<int32_t>::max()) {
        EXPECT_EQ(written(static_cast<int32_t>(v)), reference(static_cast<int32_t>(v)));
        EXPECT_EQ(written(static_cast<int32_t>(-v)), reference(static_cast<int32_t>(-v)));
      }
    }
  }
  for (const uint32_t v : {0u, 4294967295u, 100000001u, 1000000000u, 2147450879u}) {
    EXPECT_EQ(written(v), reference(v));
  }
  EXPECT_EQ(written(std::numeric_limits<int32_t>::min()), "-2147483648");
}

TEST(Decimal, MatchesToCharsOnRandomValues) {
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t v = random() >> (random() % 32);
    ASSERT_EQ(written(v), reference(v));
    ASSERT_EQ(written(static_cast<int32_t>(v)), reference(static_cast<int32_t>(v)));
  }
}

}  // namespace
}  // namespace velkor
