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
  ASSERT_EQ(idx_index(index, doc, "alpha beta gamma beta", " "), 3u);
  ASSERT_TRUE(idx_save(index));
  idx_close(index);

  // Bytes behind the ending magic mean nothing: stretch the file so that a
  // request of 39 bytes or more crosses the limit.
  std::filesystem::resize_file(file, static_cast<uintmax_t>(kLimit - 39));
  index = idx_open(file.c_str(), false);
  ASSERT_NE(index, nullptr) << _get_err_id();
  EXPECT_EQ(idx_count_of(index, 0), kLimit - 39);

  const std::string refused(39 - kEntryOverhead, 'r');
  EXPECT_EQ(idx_index(index, doc, refused.c_str(), " "), 0xFFFFFFFFu);
  EXPECT_TRUE(
      velkor_test::texts_equal(velkor_test::last_error_texts(),
                               {"_CStgSlotItem.FileSizeLimit2G", "File size exceeding 2GB limit!",
                                "_CStgSlotItem::__alloc_new_slot", "", ""}));
  EXPECT_EQ(idx_count_of(index, 0), kLimit - 39) << "the refused slot changed the file";

  // What needs no new slot still works: queries, counts added to existing
  // postings, and a save.
  EXPECT_STREQ(idx_query(index, "beta", ","),
               (std::to_string(static_cast<int32_t>(doc)) + ",2").c_str());
  EXPECT_STREQ(idx_query(index, refused.c_str(), ","), "");
  EXPECT_EQ(idx_index(index, doc, "alpha beta", " "), 2u);
  EXPECT_TRUE(idx_save(index)) << _get_err_id();
  idx_close(index);
  EXPECT_EQ(velkor::check_index_file(file), std::vector<std::string>());

  index = idx_open(file.c_str(), false);
  ASSERT_NE(index, nullptr) << _get_err_id();
  EXPECT_STREQ(idx_query(index, "beta", ","),
               (std::to_string(static_cast<int32_t>(doc)) + ",3").c_str());

  // One byte less fits: the new slot goes behind the slot data and the file
  // ends there again.
  const std::string fits(38 - kEntryOverhead, 'f');
  EXPECT_EQ(idx_index(index, doc, fits.c_str(), " "), 1u) << _get_err_id();
  EXPECT_LT(idx_count_of(index, 0), 1 << 20);
  EXPECT_TRUE(idx_save(index));
  idx_close(index);
  EXPECT_EQ(velkor::check_index_file(file), std::vector<std::string>());
  index = idx_open(file.c_str(), true);
  ASSERT_NE(index, nullptr);
  EXPECT_STREQ(idx_query(index, fits.c_str(), ","),
               (std::to_string(static_cast<int32_t>(doc)) + ",1").c_str());
  idx_close(index);
}

}  // namespace
