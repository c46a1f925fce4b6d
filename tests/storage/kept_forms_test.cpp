// Kept forms and the run of new objects change when slot bytes are
// written, never which: a workload with small caches leaves the same file
// whether every form goes into its slots at once (bound 0), in batches past
// a small bound, or only at the save. Freed slots keep the bytes of their
// last form, which only a comparison of the files sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace velkor_test
