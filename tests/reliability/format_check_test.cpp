// The format check: silent on sound files, and each kind of damage is named.
#include "index/format_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "velkor_index.h"

namespace {

using bytes = std::vector<uint8_t>;

uint32_t u32_at(const bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void put32(bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

class FormatCheckTest : public ::testing::Test {
 protected:
  // Path 5 and 17 share "shared"; path 9 was discarded, leaving idle slots.
  void SetUp() override {
    const std::string file = dir_.file("sound.idx");
    velkor_test::touch(file);
    idx_handle index = idx_open(file.c_str(), false);
    ASSERT_NE(index, nullptr);
    idx_id_of(index, "docs/a", true);
    idx_id_of(index, "docs/b", true);
    idx_index(index, 5, "shared alone ab", " ");
    idx_index(index, 17, "shared `g", " ");
    idx_index(index, 9, "gone soon", " ");
    idx_discard(index, 9);
    ASSERT_TRUE(idx_save(index));
    idx_close(index);
    sound_ = velkor_test::read_file(file);
  }

  std::vector<std::string> check(const bytes& b, const velkor::check_options& o = {}) {
    return velkor::check_index_bytes(b.data(), b.size(), o);
  }
  // Expects exactly the findings that contain `part` to be there.
  void expect_finding(const bytes& b, const std::string& part) {
    const std::string all = joined(check(b));
    EXPECT_NE(all.find(part), std::string::npos) << "wanted \"" << part << "\" in:\n" << all;
  }
  uint32_t word(int i) const { return u32_at(sound_, 4 * i); }
  // Offset of the slot record with the given slot offset.
  std::size_t slot_record(uint32_t offset) const {
    const uint32_t count = u32_at(sound_, word(4));
    for (uint32_t i = 0; i < count; ++i) {
      const std::size_t at = word(4) + 4 + 13 * i;
      if (u32_at(sound_, at) == offset) return at;
    }
    ADD_FAILURE() << "no slot record at " << offset;
    return 0;
  }
  uint32_t path_entry(int32_t path_id) const {
    const uint32_t count = u32_at(sound_, word(8));
    for (uint32_t i = 0; i < count; ++i) {
      if (static_cast<int32_t>(u32_at(sound_, word(8) + 4 + 8 * i)) == path_id) {
        return u32_at(sound_, word(8) + 8 + 8 * i);
      }
    }
    ADD_FAILURE() << "no path entry for " << path_id;
    return 0;
  }

  velkor_test::temp_dir dir_;
  bytes sound_;
};

TEST_F(FormatCheckTest, SoundAndEmptyFilesHaveNoFindings) {
  EXPECT_EQ(check(sound_), std::vector<std::string>());
  EXPECT_EQ(check(bytes()), std::vector<std::string>());
  EXPECT_EQ(check(bytes(512, 0xAB)), std::vector<std::string>());
  EXPECT_EQ(velkor::check_index_file(dir_.file("sound.idx")), std::vector<std::string>());
  EXPECT_EQ(velkor::check_index_file(dir_.file("missing.idx")).size(), 1u);
}

TEST_F(FormatCheckTest, HeaderDamageIsNamed) {
  bytes b = sound_;
  put32(b, 0, 0x01324267);
  expect_finding(b, "magic");
  b = sound_;
  put32(b, 4, 16);
  expect_finding(b, "slot size) is 16");
  b = sound_;
  put32(b, 12, word(3) + 32);
  expect_finding(b, "data end");
  b = sound_;
  put32(b, 20, word(5) + 1);
  expect_finding(b, "word 5 (slot table end)");
  b = sound_;
  b[300] = 1;
  expect_finding(b, "not zero, the first at 300");
  b = sound_;
  put32(b, word(11), 0);
  expect_finding(b, "ending magic is 0x00000000");
}

TEST_F(FormatCheckTest, SlotAndChainDamageIsNamed) {
  const uint32_t entry = path_entry(5);
  bytes b = sound_;
  b[slot_record(entry) + 8] = 0;  // a slot of a live chain marked idle
  expect_finding(b, "slot " + std::to_string(entry) + " is idle");

  b = sound_;
  put32(b, slot_record(entry) + 9, entry);  // the chain loops on itself
  expect_finding(b, "comes back to slot");

  b = sound_;
  const std::size_t second = word(4) + 4 + 13;
  put32(b, second, u32_at(b, second) + 4);
  expect_finding(b, "(gap)");

  // An idle slot marked in use belongs to no chain: lost space, reported
  // only on request.
  const uint32_t count = u32_at(sound_, word(4));
  std::size_t idle = 0;
  for (uint32_t i = 0; i < count && idle == 0; ++i) {
    if (sound_[word(4) + 4 + 13 * i + 8] == 0) idle = word(4) + 4 + 13 * i;
  }
  ASSERT_NE(idle, 0u);
  b = sound_;
  b[idle + 8] = 1;
  expect_finding(b, "in use but in no chain");
  velkor::check_options lenient;
  lenient.report_orphan_slots = false;
  EXPECT_EQ(check(b, lenient), std::vector<std::string>());
}

TEST_F(FormatCheckTest, EntryAndTableDamageIsNamed) {
  bytes b = sound_;
  put32(b, word(6) + 4, u32_at(b, word(6) + 4) + 1);  // first token pair's hash
  expect_finding(b, "token hash is");

  // The path entry of 5 forgets its last token id: the posting of that token
  // for 5 is no longer backed. A half-done call leaves the same, so it is
  // reported only on request.
  const uint32_t entry = path_entry(5);
  b = sound_;
  put32(b, entry + 4, u32_at(b, entry + 4) - 1);
  expect_finding(b, "does not list it");
  velkor::check_options lenient;
  lenient.report_cross_references = false;
  const std::string rest = joined(check(b, lenient));
  EXPECT_EQ(rest.find("does not list"), std::string::npos) << rest;

  // Two path table pairs out of order.
  b = sound_;
  const uint32_t first = u32_at(b, word(8) + 4), second = u32_at(b, word(8) + 12);
  put32(b, word(8) + 4, second);
  put32(b, word(8) + 12, first);
  expect_finding(b, "does not ascend");

  // The registry's two records out of order.
  b = sound_;
  put32(b, word(10) + 4, 0x7FFFFFFF);
  expect_finding(b, "registry record 1: path id");
}

// Any prefix of a sound file is checked without crashing, and every prefix
// longer than the header is found damaged.
TEST_F(FormatCheckTest, EveryTruncationIsFound) {
  for (std::size_t n = 513; n < sound_.size(); ++n) {
    const bytes cut(sound_.begin(), sound_.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(check(cut).empty()) << n;
  }
}

}  // namespace
