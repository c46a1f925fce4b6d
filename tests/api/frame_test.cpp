// The call frame shared by the exports: result buffers, the last-error
// record, and the decimal writer of answers. The C host checks the null-handle answers of every
// export, and that each of them empties the record.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/decimal.h"
#include "common/exception.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

using velkor_test::error_texts;
using velkor_test::last_error_texts;
using velkor_test::texts_equal;

// Each result buffer changes only with its own export; a query that answers
// nothing leaves no earlier answer behind the pointer.
TEST(FrameTest, EachResultBufferChangesOnlyWithItsOwnExport) {
  velkor_test::temp_dir dir;
  velkor_test::handle index(velkor_test::open_new(dir.file("frame.idx")));
  const uint32_t one = idx_id_of(index, "one", true);
  const uint32_t two = idx_id_of(index, "two", true);
  idx_index(index, 7, "t", nullptr);
  const char* path = idx_path_of(index, one);
  const char* query = idx_query(index, "t", nullptr);
  EXPECT_STREQ(path, "one");
  EXPECT_STREQ(idx_path_of(index, two), "two");
  EXPECT_STREQ(path, "two");
  EXPECT_STREQ(query, "7,1");
  EXPECT_STREQ(idx_path_of(index, 0xFFFFFFFFu), "");
  EXPECT_STREQ(path, "");
  const struct {
    idx_handle handle;
    const char* token;
  } empty_answers[] = {{index, "absent"}, {index, ""}, {index, nullptr}, {nullptr, "t"}};
  for (const auto& c : empty_answers) {
    ASSERT_STREQ(idx_query(index, "t", nullptr), "7,1");
    EXPECT_STREQ(idx_query(c.handle, c.token, nullptr), "");
    EXPECT_STREQ(query, "") << (c.token ? c.token : "null token");
  }
}

// Whatever a callback throws reaches the host as the unknown error, but a
// _exception, which is recorded as it is.
TEST(FrameTest, ForeignThrowsAreRecordedAsUnknown) {
  velkor_test::temp_dir dir;
  velkor_test::handle index(velkor_test::open_new(dir.file("frame.idx")));
  idx_id_of(index, "p", true);
  const error_texts unknown{"._ExceptionUnknown",
                            "Fatal error: unknown exception! [velkor::index.dll]", "", "", ""};
  const struct {
    idx_enum_callback callback;
    error_texts expected;
  } cases[] = {
      {[](uint32_t, const char*, int32_t, void*) -> bool { throw 7; }, unknown},
      {[](uint32_t, const char*, int32_t, void*) -> bool { throw std::runtime_error("x"); },
       unknown},
      {[](uint32_t, const char*, int32_t, void*) -> bool {
         throw velkor::_exception("", "Fault in design!", "w", "p", "c");
       },
       {"", "Fault in design!", "w", "p", "c"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(idx_enum_path(index, c.callback, nullptr), -1);
    EXPECT_TRUE(texts_equal(last_error_texts(), c.expected));
  }
  EXPECT_EQ(idx_enum_path(
                index, [](uint32_t, const char*, int32_t, void*) { return true; }, nullptr),
            1);
  EXPECT_TRUE(velkor_test::no_error());
}

// Numbers in answers are written by the engine's own decimal writer.
template <class T>
std::string written(T v) {
  char text[16];
  return std::string(text, velkor::write_decimal(text, v));
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
