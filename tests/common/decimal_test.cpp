#include "common/decimal.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
// cut into head and fixed digits can drop or pad a zero; random values of
// every length besides.
TEST(Decimal, MatchesToChars) {
  std::vector<uint32_t> values = {0u, 4294967295u, 2147483648u};
  for (uint64_t p = 1; p <= 1000000000u; p *= 10) {
    for (int d = -2; d <= 2; ++d) values.push_back(static_cast<uint32_t>(p + d));
  }
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) values.push_back(random() >> (random() % 32));
  for (const uint32_t v : values) {
    ASSERT_EQ(written(v), reference(v));
    ASSERT_EQ(written(static_cast<int32_t>(v)), reference(static_cast<int32_t>(v)));
    ASSERT_EQ(written(-static_cast<int32_t>(v & 0x7FFFFFFF)),
              reference(-static_cast<int32_t>(v & 0x7FFFFFFF)));
  }
}

}  // namespace
}  // namespace velkor
