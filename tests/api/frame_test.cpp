// The call frame shared by the exports: result buffers and the last-error
// record. The C host checks the null-handle answers of every export, and
// that each of them empties the record.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/exception.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

using velkor_test::error_texts;
using velkor_test::last_error_texts;
using velkor_test::no_error;
using velkor_test::texts_equal;

constexpr uint32_t kNone = 0xFFFFFFFFu;

bool count_calls(uint32_t, const char*, int32_t, void* user) {
  ++*static_cast<int*>(user);
  return true;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velkor_test::touch(dir.file("frame.idx"));
    index = idx_open(dir.file("frame.idx").c_str(), false);
    ASSERT_NE(index, nullptr) << _get_err_id() << " " << _get_err_params();
  }
  void TearDown() override { idx_close(index); }

  velkor_test::temp_dir dir;
  idx_handle index = nullptr;
};

TEST_F(FrameTest, EachResultBufferChangesOnlyWithItsOwnExport) {
  const uint32_t one = idx_id_of(index, "one", true);
  const uint32_t two = idx_id_of(index, "two", true);
  idx_index(index, 7, "t", nullptr);
  const char* path = idx_path_of(index, one);
  EXPECT_STREQ(path, "one");
  const char* query = idx_query(index, "t", nullptr);
  EXPECT_STREQ(query, "7,1");
  EXPECT_STREQ(path, "one");
  EXPECT_STREQ(idx_path_of(index, two), "two");
  EXPECT_STREQ(path, "two");
  EXPECT_STREQ(query, "7,1");
  EXPECT_STREQ(idx_path_of(index, kNone), "");
  EXPECT_STREQ(path, "");

  // A query that answers nothing leaves no earlier answer behind the pointer.
  const struct {
    const char* what;
    idx_handle handle;
    const char* token;
  } empty_answers[] = {{"unknown token", index, "absent"},
                       {"empty token", index, ""},
                       {"null token", index, nullptr},
                       {"null handle", nullptr, "t"}};
  for (const auto& c : empty_answers) {
    query = idx_query(index, "t", nullptr);
    ASSERT_STREQ(query, "7,1");
    EXPECT_STREQ(idx_query(c.handle, c.token, nullptr), "") << c.what;
    EXPECT_STREQ(query, "") << c.what;
  }
}

TEST_F(FrameTest, ForeignThrowsAreRecordedAsUnknown) {
  ASSERT_NE(idx_id_of(index, "p", true), kNone);
  const error_texts unknown{"._ExceptionUnknown",
                            "Fatal error: unknown exception! [velkor::index.dll]", "", "", ""};
  const struct {
    const char* thrown;
    idx_enum_callback callback;
    error_texts expected;
  } cases[] = {
      {"int", [](uint32_t, const char*, int32_t, void*) -> bool { throw 7; }, unknown},
      {"bad_alloc", [](uint32_t, const char*, int32_t, void*) -> bool { throw std::bad_alloc(); },
       unknown},
      {"runtime_error",
       [](uint32_t, const char*, int32_t, void*) -> bool { throw std::runtime_error("lost"); },
       unknown},
      // A _exception with an empty id is recorded as it is.
      {"_exception",
       [](uint32_t, const char*, int32_t, void*) -> bool {
         throw velkor::_exception("", "Fault in design!", "w", "p", "c");
       },
       {"", "Fault in design!", "w", "p", "c"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(idx_enum_path(index, c.callback, nullptr), -1) << c.thrown;
    EXPECT_TRUE(texts_equal(last_error_texts(), c.expected)) << c.thrown;
    EXPECT_TRUE(texts_equal(last_error_texts(), c.expected)) << c.thrown << ", read again";
  }
  int calls = 0;
  EXPECT_EQ(idx_enum_path(index, count_calls, &calls), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(no_error());
}

}  // namespace
