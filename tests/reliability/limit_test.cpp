// The 2 GiB limit: a file stretched (sparsely) close to 0x7F7FFFFF bytes
// refuses the slot that would cross it, and the index stays usable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "index/format_check.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

constexpr int64_t kLimit = 0x7F7FFFFF;

// A new token entry's stored form: token form (2 + length), posting count
// (4) and one posting (6).
constexpr int kEntryOverhead = 12;

TEST(LimitTest, ASlotCrossingTheLimitIsRefusedAndTheIndexStaysUsable) {
  velkor_test::temp_dir dir;
  const std::string file = dir.file("big.idx");
  velkor_test::touch(file);
  idx_handle index = idx_open(file.c_str(), false);
  ASSERT_NE(index, nullptr);
  const uint32_t doc = idx_id_of(index, "docs/one.txt", true);
  const std::string answer = std::to_string(static_cast<int32_t>(doc)) + ",";
  ASSERT_EQ(idx_index(index, doc, "alpha beta gamma beta", " "), 3u);
  ASSERT_TRUE(idx_save(index));
  idx_close(index);

  // Bytes behind the ending magic mean nothing: the file is stretched so
  // that the new token's request just crosses the limit or just fits. The
  // request counts, not the slot it is rounded up to.
  const struct {
    int64_t stretched;
    int token_length;
    bool fits;
  } cases[] = {{kLimit - 39, 39 - kEntryOverhead, false},
               {kLimit - 39, 38 - kEntryOverhead, true},
               {kLimit - 14, 1, true}};
  int beta = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stretched);
    std::filesystem::resize_file(file, static_cast<uintmax_t>(c.stretched));
    index = idx_open(file.c_str(), false);
    ASSERT_NE(index, nullptr) << _get_err_id();
    EXPECT_EQ(idx_count_of(index, 0), c.stretched);
    const std::string token(static_cast<size_t>(c.token_length), c.fits ? 'f' : 'r');
    if (c.fits) {
      EXPECT_EQ(idx_index(index, doc, token.c_str(), " "), 1u) << _get_err_id();
      // The new slot goes behind the slot data and the file ends there again.
      EXPECT_LT(idx_count_of(index, 0), 1 << 20);
    } else {
      EXPECT_EQ(idx_index(index, doc, token.c_str(), " "), 0xFFFFFFFFu);
      EXPECT_TRUE(velkor_test::texts_equal(
          velkor_test::last_error_texts(),
          {"_CStgSlotItem.FileSizeLimit2G", "File size exceeding 2GB limit!",
           "_CStgSlotItem::__alloc_new_slot", "", ""}));
      EXPECT_EQ(idx_count_of(index, 0), c.stretched) << "the refused slot changed the file";
      // What needs no new slot still works.
      EXPECT_EQ(idx_index(index, doc, "alpha beta", " "), 2u);
      ++beta;
    }
    EXPECT_EQ(std::string(idx_query(index, "beta", ",")), answer + std::to_string(beta));
    EXPECT_TRUE(idx_save(index)) << _get_err_id();
    idx_close(index);
    EXPECT_EQ(velkor::check_index_file(file), std::vector<std::string>());
    index = idx_open(file.c_str(), true);
    ASSERT_NE(index, nullptr) << _get_err_id();
    EXPECT_EQ(std::string(idx_query(index, token.c_str(), ",")), c.fits ? answer + "1" : "");
    idx_close(index);
  }
}

}  // namespace
