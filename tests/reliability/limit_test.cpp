// The 2 GiB limit: a file stretched (sparsely) close to 0x7F7FFFFF bytes
// refuses the slot that would cross it, and the index stays usable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "file_image.h"
#include "format_check/format_check.h"
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
    EXPECT_EQ(std::string(idx_query(index, token.c_str(), ",")), c.fits ? answer + "1" : "");
    EXPECT_TRUE(idx_save(index)) << _get_err_id();
    idx_close(index);
    EXPECT_EQ(velkor::check_index_file(file), std::vector<std::string>());
  }
}

#ifndef _WIN32
// A damaged file claims a token entry of 64 MiB of postings in one slot, which
// is a hole of a sparse file: the claim is not backed by bytes and is refused
// (reading it whole would take several times the claim in memory). The same
// claim over bytes that are there loads.
TEST(LimitTest, ALoadGathersNoMoreThanTheBytesTheFileReallyHolds) {
  velkor_test::temp_dir dir;
  auto build = [&](const std::string& name, uint32_t slot_size, bool dense) {
    // Token "a" claims all the postings its one slot has room for; dense,
    // they are there (path id 1, count 1).
    velkor_test::file_image image;
    image.data = velkor_test::token_entry_form("a");
    velkor_test::put_u32(image.data, 3, (slot_size - 7) / 6);
    for (uint32_t i = 0; dense && i < (slot_size - 7) / 6; ++i) {
      velkor_test::append_u32(image.data, 1);
      image.data.insert(image.data.end(), {1, 0});
    }
    image.slots = {{512, slot_size, 1, velkor::format::kNoSlot}};
    image.tokens = {{'a', 512}};
    image.write(dir.file(name));
    return dir.file(name);
  };
  const std::string sparse = build("sparse.idx", 64u << 20, false);
  idx_handle index = idx_open(sparse.c_str(), true);
  ASSERT_NE(index, nullptr) << _get_err_id();
  EXPECT_STREQ(idx_query(index, "a", ","), "");
  EXPECT_STREQ(_get_err_id(), "_stream.ReadErr");
  idx_close(index);

  const std::string dense = build("dense.idx", 2u << 20, true);
  index = idx_open(dense.c_str(), true);
  ASSERT_NE(index, nullptr) << _get_err_id();
  EXPECT_EQ(std::string(idx_query(index, "a", ",")).substr(0, 8), "1,1,1,1,");
  EXPECT_STREQ(_get_err_id(), "");
  idx_close(index);
}
#endif

}  // namespace
