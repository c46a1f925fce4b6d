// The format check, which the other reliability tests trust: silent on
// sound files, and each kind of damage is named.
#include "format_check/format_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "file_image.h"
#include "test_util.h"

namespace {

using velkor_test::bytes;
using velkor_test::put_u32;
using velkor_test::u32_at;

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

std::vector<std::string> check(const bytes& b, const velkor::check_options& o = {}) {
  return velkor::check_index_bytes(b.data(), b.size(), o);
}

TEST(FormatCheckTest, SoundFilesHaveNoFindingsAndEachDamageIsNamed) {
  // Path 5 and 17 share "shared"; path 9 was discarded, leaving idle slots.
  // Every entry fits one slot of 32 bytes.
  velkor_test::temp_dir dir;
  const std::string file = dir.file("sound.idx");
  {
    velkor_test::handle index(velkor_test::open_new(file));
    idx_id_of(index, "docs/a", true);
    idx_id_of(index, "docs/b", true);
    idx_index(index, 5, "shared alone ab", " ");
    idx_index(index, 17, "shared `g", " ");
    idx_index(index, 9, "gone soon", " ");
    idx_discard(index, 9);
    ASSERT_TRUE(idx_save(index));
  }
  const bytes sound = velkor_test::read_file(file);
  EXPECT_EQ(check(sound), std::vector<std::string>());
  EXPECT_EQ(check(bytes()), std::vector<std::string>());
  EXPECT_EQ(check(bytes(512, 0xAB)), std::vector<std::string>());
  EXPECT_EQ(velkor::check_index_file(file), std::vector<std::string>());
  EXPECT_EQ(velkor::check_index_file(dir.file("missing.idx")).size(), 1u);
  // Any prefix longer than the header is found damaged.
  for (std::size_t n = 513; n < sound.size(); ++n) {
    EXPECT_FALSE(
        check(bytes(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(n))).empty())
        << n;
  }

  auto word = [&](int i) { return u32_at(sound, 4 * static_cast<size_t>(i)); };
  const uint32_t records = word(4) + 4;
  auto record = [&](uint32_t offset) { return records + 13 * ((offset - 512) / 32); };
  const uint32_t entry = u32_at(sound, word(8) + 8);  // the path entry of 5
  uint32_t idle = records;
  while (sound.at(idle + 8) != 0) idle += 13;
  const struct {
    std::function<void(bytes&)> damage;
    std::string finding;
    bool reported_on_request = false;  // lost space or a half-done call
  } cases[] = {
      {[](bytes& b) { put_u32(b, 4, 16); }, "slot size) is 16"},
      {[&](bytes& b) { put_u32(b, 12, word(3) + 32); }, "data end"},
      {[&](bytes& b) { put_u32(b, 20, word(5) + 1); }, "word 5 (slot table end)"},
      {[](bytes& b) { b[300] = 1; }, "not zero, the first at 300"},
      {[&](bytes& b) { b[record(entry) + 8] = 0; }, "slot " + std::to_string(entry) + " is idle"},
      {[&](bytes& b) { put_u32(b, record(entry) + 9, entry); }, "comes back to slot"},
      {[&](bytes& b) { put_u32(b, records + 13, u32_at(b, records + 13) + 4); }, "(gap)"},
      {[&](bytes& b) { b[idle + 8] = 1; }, "in use but in no chain", true},
      {[&](bytes& b) { put_u32(b, word(6) + 4, u32_at(b, word(6) + 4) + 1); }, "token hash is"},
      // The path entry of 5 forgets its last token id.
      {[&](bytes& b) { put_u32(b, entry + 4, u32_at(b, entry + 4) - 1); }, "does not list it",
       true},
      {[&](bytes& b) {
         const uint32_t first = u32_at(b, word(8) + 4);
         put_u32(b, word(8) + 4, u32_at(b, word(8) + 12));
         put_u32(b, word(8) + 12, first);
       },
       "does not ascend"},
      {[&](bytes& b) { put_u32(b, word(10) + 4, 0x7FFFFFFF); }, "registry record 1: path id"},
  };
  velkor::check_options lenient;
  lenient.report_orphan_slots = false;
  lenient.report_cross_references = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.finding);
    bytes b = sound;
    c.damage(b);
    const std::string all = joined(check(b));
    EXPECT_NE(all.find(c.finding), std::string::npos) << all;
    if (c.reported_on_request) {
      const std::string rest = joined(check(b, lenient));
      EXPECT_EQ(rest.find(c.finding), std::string::npos) << rest;
    }
  }
}

}  // namespace
