// Indexing, query and discarding through the C interface: cutting texts,
// counts at their limit, slot reuse and the read-only refusals. Random
// sequences against a reference model cover the common paths.
#include <string>
#include <vector>

#include "index_test_util.h"

namespace velkor_test {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

TEST(Indexing, TextsAreCutAtTheWholeDelimiter) {
  const std::string long_a = std::string(30, 'k') + "AAAAAAAAAA";
  const std::string long_b = std::string(30, 'k') + "BBBBBBBBBB";
  const struct {
    std::string text;
    const char* delimiter;
    uint32_t distinct;
    std::vector<std::pair<std::string, std::string>> answers;
  } cases[] = {
      {"b a b", nullptr, 2, {{"b", "1,2"}, {"a", "1,1"}, {"a b", ""}}},
      {"  a  b ", "", 2, {{"a", "1,1"}, {"b", "1,1"}, {" ", ""}}},
      {"x,y, z", ", ", 2, {{"x,y", "1,1"}, {"z", "1,1"}, {"x", ""}}},
      {", , ", ", ", 0, {{",", ""}}},
      {"1aaa2", "aa", 2, {{"1", "1,1"}, {"a2", "1,1"}}},
      // Tokens and queries are cut to 30 bytes.
      {long_a + " " + long_b,
       " ",
       1,
       {{long_a, "1,2"}, {long_a.substr(0, 30), "1,2"}, {long_a.substr(0, 29), ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    temp_dir dir;
    handle h(open_new(dir.file("i.vx")));
    EXPECT_EQ(c.distinct, idx_index(h, 1, c.text.c_str(), c.delimiter));
    EXPECT_EQ(c.distinct == 0 ? 0 : 1, idx_count_of(h, 4));
    for (const auto& a : c.answers) EXPECT_EQ(a.second, idx_query(h, a.first.c_str(), nullptr));
  }
}

// Counters 6 to 8: modified token entries, cached and modified path entries.
TEST(Indexing, IndexingATextAgainDoublesCountsAndLeavesThePathEntryAlone) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  ASSERT_EQ(2u, idx_index(h, 3, "x y x", nullptr));
  ASSERT_TRUE(idx_save(h));
  ASSERT_EQ(2u, idx_index(h, 3, "x y x", nullptr));
  EXPECT_EQ(2, idx_count_of(h, 6));
  EXPECT_EQ(1, idx_count_of(h, 7));
  EXPECT_EQ(0, idx_count_of(h, 8));
  EXPECT_STREQ("3,4", idx_query(h, "x", nullptr));
  ASSERT_EQ(1u, idx_index(h, 3, "z", nullptr));
  EXPECT_EQ(1, idx_count_of(h, 8));
}

std::string repeated(const std::string& token, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += token + " ";
  return text;
}

TEST(Indexing, CountsStopShortOfOverflow) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  ASSERT_EQ(1u, idx_index(h, 1, repeated("t", 65000).c_str(), nullptr));
  ASSERT_TRUE(idx_save(h));
  // Sums that would reach 65,535 leave the posting as it was, unmarked.
  const struct {
    int add;
    const char* after;
    int32_t modified;
  } steps[] = {{535, "1,65000", 0}, {534, "1,65534", 1}, {1, "1,65534", 1}};
  for (const auto& s : steps) {
    ASSERT_EQ(1u, idx_index(h, 1, repeated("t", s.add).c_str(), nullptr));
    EXPECT_STREQ(s.after, idx_query(h, "t", nullptr)) << s.add;
    EXPECT_EQ(s.modified, idx_count_of(h, 6)) << s.add;
  }
  // One text that holds a token more than 65,535 times gives the largest count.
  ASSERT_EQ(1u, idx_index(h, 2, repeated("t", 70000).c_str(), nullptr));
  EXPECT_STREQ("1,65534,2,65535", idx_query(h, "t", nullptr));
}

TEST(Indexing, DiscardingFreesTokensLeftWithoutPostings) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  idx_index(h, 1, "a b", nullptr);  // a 512, b 544, path entry 576
  idx_index(h, 2, "b c", nullptr);  // c 608, path entry 640
  EXPECT_EQ(576u, idx_discard(h, 1));
  EXPECT_EQ(2, idx_count_of(h, 3));
  EXPECT_EQ(2, idx_count_of(h, 2));
  EXPECT_STREQ("2,1", idx_query(h, "b", nullptr));
  // Freed slots are taken again before the file grows.
  const int32_t size = idx_count_of(h, 0);
  idx_index(h, 3, "d", nullptr);
  EXPECT_EQ(size, idx_count_of(h, 0));
  EXPECT_EQ(0, idx_count_of(h, 2));
  EXPECT_EQ(640u, idx_discard(h, 2));
  EXPECT_EQ(1, idx_count_of(h, 3));
  EXPECT_EQ(3, idx_count_of(h, 2));
  EXPECT_STREQ("3,1", idx_query(h, "d", nullptr));
}

TEST(Indexing, AReadOnlyIndexAnswersButRefusesChanges) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  uint32_t id = 0;
  {
    handle h(open_new(path));
    id = idx_id_of(h, "doc", true);
    idx_index(h, id, "x y", nullptr);
    ASSERT_TRUE(idx_save(h));
  }
  const std::vector<uint8_t> saved = read_file(path);
  handle h(idx_open(path.c_str(), true));
  const std::string readonly = "Cannot modify the index database that is open as Readonly!";
  EXPECT_EQ(kNone, idx_index(h, id, "z", nullptr));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.Readonly", readonly,
                                               "_CTokenIndexes::_insert_tokens", "", ""}));
  EXPECT_EQ(kNone, idx_discard(h, id));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.ReadonlyIndex", readonly,
                                               "_CTokenIndexes::_delete_path_id", "", ""}));
  // Registering works in memory; a save refuses without an error.
  EXPECT_NE(kNone, idx_id_of(h, "new", true));
  EXPECT_TRUE(idx_get_modify(h));
  EXPECT_FALSE(idx_save(h));
  EXPECT_TRUE(no_error());
  h.reset();
  EXPECT_EQ(saved, read_file(path));
}

}  // namespace
}  // namespace velkor_test
