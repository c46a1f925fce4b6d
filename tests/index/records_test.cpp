// Token and path entries, the token hash, and the three tables as they go
// through a save and a load.
#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "index/entries.h"
#include "index/token_indexes.h"
#include "stream/memstream.h"
#include "index_test_util.h"

namespace velkor_test {
namespace {

using velkor::_CTokenIndexes;

TEST(Records, TokenHashReadsBytesAsSigned) {
  const struct {
    std::string token;
    uint32_t hash;
  } cases[] = {{"", 0},
               {"abc", 3014},
               {"\xE9", static_cast<uint32_t>(-23)},
               {"a\xE9", 97 * 5 - 23},
               {"`g", 583}};
  for (const auto& c : cases) EXPECT_EQ(c.hash, velkor::token_hash(c.token)) << c.token;
}

TEST(Records, IndexedEntriesAreStoredInTheirSlots) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  handle h(open_new(path));
  ASSERT_EQ(2u, idx_index(h, 5, "b a", nullptr));
  ASSERT_EQ(1u, idx_index(h, 0xFFFFFFF0u, "a", nullptr));
  ASSERT_TRUE(idx_save(h));
  h.reset();
  const std::vector<uint8_t> f = read_file(path);
  // Token entries first, in byte order (a at 512, b at 544), then the path
  // entry at 576: path id, token count, token entry ids.
  const std::vector<uint8_t> path_entry = {5, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0x20, 2, 0, 0};
  EXPECT_TRUE(std::equal(path_entry.begin(), path_entry.end(), f.begin() + 576));
  EXPECT_EQ(255, f[512]);
  EXPECT_EQ('a', f[512 + 2] ^ f[512 + 1]);
  // Token entry of a: token form (255, key, a ^ key), two postings (id, u16 count).
  EXPECT_EQ(std::vector<uint8_t>({2, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 1, 0, 5, 0, 0, 0, 1, 0}),
            std::vector<uint8_t>(f.begin() + 515, f.begin() + 531));
}

// A stored token entry that ends inside its postings keeps the whole
// postings before the cut and fails with the stream's read error, also when
// not one posting is whole.
TEST(Records, TokenEntryCutInsideItsPostingsFailsTheLoad) {
  // Token form of "t" (length, byte), three postings announced.
  const std::vector<uint8_t> head = {1, 't', 3, 0, 0, 0};
  const std::vector<uint8_t> postings = {7, 0, 0, 0, 2, 0, 9, 0, 0, 0, 1, 0};
  for (const size_t kept : {0u, 4u, 6u, 10u}) {
    SCOPED_TRACE(kept);
    velkor::_memadapter adapter;
    adapter.buffer = head;
    adapter.buffer.insert(adapter.buffer.end(), postings.begin(), postings.begin() + kept);
    velkor::_memstream memory(&adapter);
    velkor::token_entry entry;
    VELKOR_CATCH(e, entry.load(memory));
    EXPECT_EQ(e.get_id(), "_stream.ReadErr");
    EXPECT_EQ(entry.token, "t");
    EXPECT_EQ(entry.postings.size(), kept / 6);
    if (kept >= 6) {
      EXPECT_EQ(int32_t{entry.postings[0].path_id}, 7);
    }
  }
}

using name = std::tuple<int32_t, std::string, int32_t>;

std::vector<name> names_of(const _CTokenIndexes& index) {
  std::vector<name> names;
  for (const auto& n : index.registry().names)
    names.emplace_back(n.first, n.second.path, n.second.time);
  return names;
}

TEST(Records, TokensOfEqualHashKeepTheirOrderAcrossSaveAndReopen) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  touch(path);
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  {
    _CTokenIndexes index(path, false);
    index._insert_tokens(1, "q", " ");   // q at 512, path entry 1 at 544
    index._insert_tokens(2, "ab", " ");  // ab at 576
    index._delete_path_id(1);            // 512 and 544 go idle
    index._insert_tokens(3, "`g", " ");  // `g reuses 512: the later token has the smaller id
    const auto tokens = index.tokens();
    const auto range = tokens.equal_range(583);
    pairs.assign(range.first, range.second);
    ASSERT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{583, 576}, {583, 512}}), pairs);
    ASSERT_TRUE(index._save());
  }
  _CTokenIndexes reopened(path, false);
  const auto tokens = reopened.tokens();
  const auto range = tokens.equal_range(583);
  EXPECT_EQ(pairs, (std::vector<std::pair<uint32_t, uint32_t>>(range.first, range.second)));
  velkor::token_entry found;
  EXPECT_EQ(512u, reopened._query_token("`g", found));
  EXPECT_EQ(576u, reopened._query_token("ab", found));
}

TEST(Records, LoadedTablesFollowTheFileOrderRules) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  file_image image;
  image.tokens = {{9, 600}, {3, 700}, {9, 500}};
  image.paths = {{7, 100}, {0xFFFFFFFEu, 200}, {7, 300}};
  // A repeated id keeps its first record; a path under two ids maps to the
  // larger one in signed order.
  image.names = {{4, "x", 1}, {4, "y", 2}, {0xFFFFFFF0u, "z", 3}, {2, "z", 4}};
  write_file(path, build_index_file(image));
  _CTokenIndexes index(path, true);
  using pairs = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ((pairs{{3, 700}, {9, 600}, {9, 500}}), [&] {
    const auto tokens = index.tokens();
    return pairs(tokens.begin(), tokens.end());
  }());
  EXPECT_EQ((std::map<int32_t, uint32_t>{{-2, 200}, {7, 100}}), index.paths());
  EXPECT_EQ((std::vector<name>{name{-16, "z", 3}, name{2, "z", 4}, name{4, "x", 1}}),
            names_of(index));
  EXPECT_EQ((std::map<std::string, uint32_t>{{"x", 4}, {"z", 2}}), index.registry().ids);
  EXPECT_EQ(0, index.registry().dirty);
}

TEST(Records, NegativeSectionCountsGiveEmptyTables) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  file_image image;
  image.tokens = {{1, 2}};
  image.paths = {{1, 2}};
  image.names = {{1, "n", 0}};
  std::vector<uint8_t> f = build_index_file(image);
  for (const size_t word : {6, 8, 10}) put_u32(f, u32_at(f, 4 * word), 0x80000000u);
  write_file(path, f);
  // The registry is the last section read: the ending magic is looked for
  // where its (now empty) section ended.
  EXPECT_EQ(nullptr, idx_open(path.c_str(), false));
  EXPECT_EQ("_CTokenIndexes.MagicNumMissing", last_error_texts().id);
  put_u32(f, u32_at(f, 40), 1);
  write_file(path, f);
  _CTokenIndexes index(path, false);
  EXPECT_TRUE(index.tokens().empty());
  EXPECT_TRUE(index.paths().empty());
  EXPECT_EQ(1u, index.registry().names.size());
}

}  // namespace
}  // namespace velkor_test
