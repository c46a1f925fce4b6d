// Kept forms change when slot bytes are written, never which: a workload
// with small caches leaves the same file whether every written-back form
// goes into its slots at once (bound 0), in batches past a small bound, or
// only at the save. A damaged index that reaches a kept form
// otherwise than through its own id and kind, and a chain taken past the
// length a walk accepts, answer as their slots would.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "file_image.h"
#include "index/token_indexes.h"
#include "test_util.h"
#include "velkor_index.h"

namespace velkor_test {
namespace {

velkor::_CTokenIndexes* index_of(idx_handle h) {
  return reinterpret_cast<velkor::_CTokenIndexes*>(h);
}

// Texts over a vocabulary where a few tokens are in most texts (long
// chains that grow a slot at a time) and many are rare (more distinct
// tokens per text than the cache holds).
std::string text(std::mt19937& random) {
  std::string out;
  for (int i = 0; i < 160; ++i) {
    const uint32_t r = random() % 1000;
    const uint32_t token = r < 400 ? r % 12 : r < 800 ? 12 + r % 90 : 100 + random() % 700;
    out += "w" + std::to_string(token) + " ";
  }
  return out;
}

// Indexes, re-indexes (counts add), discards (chains shrink and are freed),
// saves; reopens a saved file and goes on.
std::vector<uint8_t> run(const std::string& path, size_t bound) {
  std::srand(7);  // the scrambling keys
  std::mt19937 random(11);
  touch(path);
  std::vector<uint32_t> ids;
  for (int round = 0; round < 3; ++round) {
    idx_handle h = idx_open(path.c_str(), false);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return {};
    index_of(h)->object_storage()->bound_forms(bound);
    std::vector<uint32_t> again;
    for (int i = 0; i < 60; ++i) {
      const bool reindex = i % 5 == 4 && !ids.empty();
      const uint32_t id = reindex ? ids[random() % ids.size()] : 1000 + random();
      ids.push_back(id);
      if (reindex) again.push_back(id);
      EXPECT_NE(idx_index(h, id, text(random).c_str(), " "), 0xFFFFFFFFu);
      if (i % 9 == 8) idx_discard(h, ids[random() % ids.size()]);
      if (round == 1 && i == 30) {
        EXPECT_TRUE(idx_save(h));
      }
    }
    // Freed chains keep their last bytes unless new ones take them: those
    // of path entries rewritten since they were loaded.
    for (const uint32_t id : again) idx_discard(h, id);
    EXPECT_TRUE(idx_save(h));
    idx_close(h);
  }
  return read_file(path);
}

TEST(KeptForms, TheFileIsTheSameWhenFormsAreWrittenLaterOrAtOnce) {
  temp_dir dir;
  const std::vector<uint8_t> at_once = run(dir.file("at_once.idx"), 0);
  ASSERT_GT(at_once.size(), 100000u);
  EXPECT_EQ(run(dir.file("batches.idx"), 16 * 1024), at_once);
  EXPECT_EQ(run(dir.file("kept.idx"), size_t{1} << 30), at_once);
}

// New entries lie end to end behind the file's end, where the storage
// writes them late: an entry pushed out of the cache as it was made reads
// back as it was made.
TEST(KeptForms, NewEntriesPushedOutOfTheCacheAreReadBackBeforeTheSave) {
  temp_dir dir;
  const std::string path = dir.file("new.idx");
  touch(path);
  idx_handle h = idx_open(path.c_str(), false);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(idx_adjust_cache(h, 64, 64));
  std::string text;
  for (int i = 0; i < 200; ++i) text += "t" + std::to_string(i) + " ";
  EXPECT_EQ(idx_index(h, 7, text.c_str(), " "), 200u);
  for (int i = 0; i < 200; i += 9) {
    EXPECT_STREQ(idx_query(h, ("t" + std::to_string(i)).c_str(), ","), "7,1") << i;
  }
  idx_close(h);
}

struct outcome {
  uint32_t result;
  error_texts error;
};

// Path id 254 has the entry 254, 4, then four token ids: read as a token
// entry, its first byte 0xFE is a two-byte token and its count (4) asks for
// 24 bytes of postings, which the slot holds and the form does not.
outcome discard_through_a_path_entry(const std::string& path, size_t bound) {
  std::srand(5);
  touch(path);
  idx_handle h = idx_open(path.c_str(), false);
  EXPECT_NE(h, nullptr);
  idx_index(h, 5, "a b", " ");
  idx_index(h, 254, "c d", " ");
  EXPECT_TRUE(idx_save(h));
  const uint32_t listing = index_of(h)->paths().at(5);
  const uint32_t listed = index_of(h)->paths().at(254);
  idx_close(h);
  // The path entry of 5 lists the path entry of 254 in place of a token.
  std::vector<uint8_t> bytes = read_file(path);
  put_u32(bytes, listing + 8, listed);
  write_file(path, bytes);

  h = idx_open(path.c_str(), false);
  EXPECT_NE(h, nullptr);
  index_of(h)->object_storage()->bound_forms(bound);
  idx_index(h, 254, "e f", " ");
  EXPECT_TRUE(idx_save(h));
  const outcome out{idx_discard(h, 5), last_error_texts()};
  idx_close(h);
  return out;
}

TEST(KeptForms, AFormReadAsTheOtherKindAnswersAsItsSlots) {
  temp_dir dir;
  const outcome at_once = discard_through_a_path_entry(dir.file("at_once.idx"), 0);
  const outcome kept = discard_through_a_path_entry(dir.file("kept.idx"), size_t{1} << 30);
  EXPECT_EQ(kept.result, at_once.result);
  EXPECT_TRUE(texts_equal(kept.error, at_once.error));
}

// A saved index whose token entry "x" fills a chain of exactly 65,536 slots
// of 32 bytes, a byte short of its room; path id 0 lists it.
bytes full_chain_file() {
  std::vector<std::pair<uint32_t, uint16_t>> postings((65536 * 32 - 7) / 6);
  for (uint32_t i = 0; i < postings.size(); ++i) postings[i] = {i, 1};
  file_image image;
  const uint32_t x = image.store(token_entry_form("x", postings));
  image.tokens = {{'x', x}};
  image.paths = {{0, image.store(path_entry_form(0, {x}))}};
  return image.file();
}

TEST(KeptForms, AChainPastTheWalkLimitIsSavedAndRefusesToLoad) {
  temp_dir dir;
  const std::string path = dir.file("long.idx");
  write_file(path, full_chain_file());
  idx_handle h = idx_open(path.c_str(), false);
  ASSERT_NE(h, nullptr);
  // "x" comes first and is written back by the trim: one more posting, and
  // its chain gains a 65,537th slot.
  std::string text = "x";
  for (int i = 0; i < 70; ++i) text += " z" + std::to_string(i);
  EXPECT_EQ(idx_index(h, 1000000, text.c_str(), " "), 71u);
  EXPECT_TRUE(no_error());
  // Loading the entry walks its chain, which is now too long.
  EXPECT_STREQ(idx_query(h, "x", nullptr), "");
  EXPECT_STREQ(_get_err_id(), "_CObjectStorage.TooManySlotsLinked");
  // The save writes the other entries and the sections all the same.
  EXPECT_TRUE(idx_save(h));
  EXPECT_TRUE(no_error());
  idx_close(h);
}

}  // namespace
}  // namespace velkor_test
