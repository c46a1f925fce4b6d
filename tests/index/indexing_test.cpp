// Indexing, query and discarding end to end through the C interface, checked
// against counts that the test keeps on its own.
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/format_check.h"
#include "index/token_indexes.h"
#include "index_test_util.h"

namespace velkor_test {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr size_t kTokenLimit = 30;

// token (cut to the limit) -> signed path id -> count. Counts of one text
// stop at 65,535; a posting whose sum would reach 65,535 keeps its count.
class model {
 public:
  // Returns the number of distinct tokens.
  size_t index(int32_t path, const std::vector<std::string>& pieces) {
    std::map<std::string, uint32_t> counts;
    for (const std::string& piece : pieces) {
      if (!piece.empty()) ++counts[piece.substr(0, kTokenLimit)];
    }
    for (const auto& c : counts) {
      const uint32_t add = std::min<uint32_t>(c.second, 65535);
      auto& postings = tokens_[c.first];
      const auto it = postings.find(path);
      if (it == postings.end()) {
        postings[path] = add;
      } else if (it->second + add < 65535) {
        it->second += add;
      }
    }
    return counts.size();
  }
  // True when the path had postings.
  bool discard(int32_t path) {
    bool had = false;
    for (auto it = tokens_.begin(); it != tokens_.end();) {
      had |= it->second.erase(path) != 0;
      it = it->second.empty() ? tokens_.erase(it) : std::next(it);
    }
    return had;
  }
  std::string answer(const std::string& query, const std::string& sep = ",") const {
    const auto it = tokens_.find(query.substr(0, kTokenLimit));
    std::string out;
    if (it == tokens_.end()) return out;
    for (const auto& p : it->second) {
      out += (out.empty() ? "" : sep) + std::to_string(p.first) + sep + std::to_string(p.second);
    }
    return out;
  }
  int32_t token_count() const { return static_cast<int32_t>(tokens_.size()); }
  int32_t path_count() const {
    std::set<int32_t> paths;
    for (const auto& t : tokens_) {
      for (const auto& p : t.second) paths.insert(p.first);
    }
    return static_cast<int32_t>(paths.size());
  }

 private:
  std::map<std::string, std::map<int32_t, uint32_t>> tokens_;
};

// Tokens hold none of the delimiters' characters at their ends, so joining
// them never makes a delimiter that the pieces did not put there.
std::vector<std::string> vocabulary() {
  std::vector<std::string> v = {"Word", "word", "WORD", "ab", "`g", "x,y", "\xE9t\xE9", "\xFF\x01"};
  v.push_back(std::string(30, 'L'));
  v.push_back(std::string(29, 'L'));
  const std::string prefix = "0123456789abcdefghijklmnopqrst";
  for (const char* tail : {"AAAAAAAAAA", "BBBBBBBBBB", "CCCCC", ""}) v.push_back(prefix + tail);
  for (int i = 0; i < 150; ++i) v.push_back("w" + std::to_string(i));
  return v;
}

void expect_answers(idx_handle h, const model& m, const std::vector<std::string>& words,
                    const std::string& context) {
  for (const std::string& w : words) {
    ASSERT_EQ(m.answer(w), idx_query(h, w.c_str(), nullptr)) << context << " token " << w;
  }
  EXPECT_EQ(m.answer("w1", "; "), idx_query(h, "w1", "; ")) << context;
  EXPECT_EQ(m.token_count(), idx_count_of(h, 3)) << context;
  EXPECT_EQ(m.path_count(), idx_count_of(h, 4)) << context;
}

void run_workload(bool unlimited_cache) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  handle h(open_new(path));
  if (unlimited_cache) {
    ASSERT_TRUE(idx_adjust_cache(h, 1 << 20, 1 << 20));
  }
  std::mt19937 rng(7);
  const std::vector<std::string> words = vocabulary();
  std::vector<uint32_t> ids = {0, 5, 0xFFFFFFF0u, 0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFEu};
  while (ids.size() < 100) ids.push_back(rng());
  const char* delimiters[] = {" ", ", ", "|", "--"};
  model m;
  for (int step = 0; step < 400; ++step) {
    const uint32_t id = ids[rng() % ids.size()];
    if (rng() % 8 == 0) {
      const bool had = m.discard(static_cast<int32_t>(id));
      EXPECT_EQ(had, idx_discard(h, id) != kNone) << step;
      EXPECT_TRUE(no_error());
      continue;
    }
    const std::string delimiter = delimiters[rng() % 4];
    std::vector<std::string> pieces;
    std::string text;
    const size_t n = rng() % 40;
    for (size_t i = 0; i < n; ++i) {
      // Skewed toward the first words so that counts grow; some pieces empty.
      const size_t r = std::min(rng() % words.size(), rng() % words.size());
      pieces.push_back(rng() % 10 == 0 ? "" : words[r]);
      text += (i == 0 ? "" : delimiter) + pieces.back();
    }
    const size_t distinct = m.index(static_cast<int32_t>(id), pieces);
    ASSERT_EQ(distinct, idx_index(h, id, text.c_str(), delimiter.c_str())) << step;
    if (step % 50 == 0) expect_answers(h, m, words, "step " + std::to_string(step));
  }
  expect_answers(h, m, words, "before save");
  ASSERT_TRUE(idx_save(h));
  EXPECT_EQ(0, idx_count_of(h, 5));
  EXPECT_EQ(std::vector<std::string>(),
            look_at_held_file(h, path, [&] { return velkor::check_index_file(path); }));
  expect_answers(h, m, words, "after save");
  h.reopen(path, true);
  expect_answers(h, m, words, "reopened");
}

TEST(Indexing, AnswersMatchIndependentCountsWithDefaultCacheLimits) { run_workload(false); }

TEST(Indexing, AnswersMatchIndependentCountsWhenNothingIsTrimmed) { run_workload(true); }

TEST(Indexing, TokensOfOneTextAreProcessedInByteOrder) {
  temp_dir dir;
  touch(dir.file("i.vx"));
  velkor::_CTokenIndexes index(dir.file("i.vx"), false);
  EXPECT_EQ(2u, index._insert_tokens(5, "b a b", " "));
  velkor::token_entry found;
  EXPECT_EQ(512u, index._query_token("a", found));
  EXPECT_EQ(544u, index._query_token("b", found));
  ASSERT_EQ(1u, found.postings.size());
  EXPECT_EQ(2, found.postings[0].count);
}

TEST(Indexing, TextsAreCutAtTheWholeDelimiter) {
  const std::string long_a = std::string(30, 'k') + "AAAAAAAAAA";
  const std::string long_b = std::string(30, 'k') + "BBBBBBBBBB";
  const struct {
    std::string text;
    const char* delimiter;
    uint32_t distinct;
    std::vector<std::pair<std::string, std::string>> answers;
  } cases[] = {
      {"b a b", " ", 2, {{"b", "1,2"}, {"a", "1,1"}, {"a b", ""}}},
      {"  a  b ", " ", 2, {{"a", "1,1"}, {"b", "1,1"}, {" ", ""}}},
      {"a b", nullptr, 2, {{"a", "1,1"}}},
      {"a b", "", 2, {{"b", "1,1"}}},
      {"x,y, z", ", ", 2, {{"x,y", "1,1"}, {"z", "1,1"}, {"x", ""}}},
      {", , ", ", ", 0, {{",", ""}}},
      {"1aaa2", "aa", 2, {{"1", "1,1"}, {"a2", "1,1"}}},
      {"", " ", 0, {}},
      {"a\tb\nc", " ", 1, {{"a\tb\nc", "1,1"}}},
      {"Abc abc ABC abc", " ", 3, {{"abc", "1,2"}, {"ABC", "1,1"}, {"aBc", ""}}},
      {long_a + " " + long_b,
       " ",
       1,
       {{long_a, "1,2"},
        {long_b.substr(0, 35), "1,2"},
        {long_a.substr(0, 30), "1,2"},
        {long_a.substr(0, 29), ""}}},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    handle h(open_new(dir.file("i.vx")));
    EXPECT_EQ(c.distinct, idx_index(h, 1, c.text.c_str(), c.delimiter)) << c.text;
    EXPECT_EQ(c.distinct == 0 ? 0 : 1, idx_count_of(h, 4)) << c.text;
    for (const auto& a : c.answers)
      EXPECT_EQ(a.second, idx_query(h, a.first.c_str(), nullptr)) << c.text;
  }
}

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
  EXPECT_STREQ("3,2", idx_query(h, "y", nullptr));
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
  } steps[] = {{600, "1,65000", 0}, {535, "1,65000", 0}, {534, "1,65534", 1}, {1, "1,65534", 1}};
  for (const auto& s : steps) {
    ASSERT_EQ(1u, idx_index(h, 1, repeated("t", s.add).c_str(), nullptr));
    EXPECT_STREQ(s.after, idx_query(h, "t", nullptr)) << s.add;
    EXPECT_EQ(s.modified, idx_count_of(h, 6)) << s.add;
  }
  // One text that holds a token more than 65,535 times gives the largest count.
  ASSERT_EQ(1u, idx_index(h, 2, repeated("t", 70000).c_str(), nullptr));
  ASSERT_EQ(1u, idx_index(h, 3, repeated("t", 65535).c_str(), nullptr));
  EXPECT_STREQ("1,65534,2,65535,3,65535", idx_query(h, "t", nullptr));
}

TEST(Indexing, TokensOfEqualHashAreToldApart) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  handle h(open_new(path));
  ASSERT_EQ(1u, idx_index(h, 1, "ab", nullptr));
  ASSERT_EQ(1u, idx_index(h, 2, "`g `g", nullptr));
  EXPECT_EQ(2, idx_count_of(h, 3));
  for (int round = 0; round < 2; ++round) {
    EXPECT_STREQ("1,1", idx_query(h, "ab", nullptr));
    EXPECT_STREQ("2,2", idx_query(h, "`g", nullptr));
    EXPECT_STREQ("", idx_query(h, "ac", nullptr));
    // Reopened, nothing is cached: candidates are told apart by their stored token.
    ASSERT_TRUE(idx_save(h));
    h.reopen(path, false);
  }
  EXPECT_NE(kNone, idx_discard(h, 1));
  EXPECT_STREQ("", idx_query(h, "ab", nullptr));
  EXPECT_STREQ("2,2", idx_query(h, "`g", nullptr));
}

TEST(Indexing, PathIdsAreListedAsSignedNumbersInSignedOrder) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  for (const uint32_t id : {7u, 0xFFFFFFF0u, 0x80000000u, 0u, 0x7FFFFFFFu}) {
    ASSERT_EQ(1u, idx_index(h, id, "t", nullptr));
  }
  EXPECT_STREQ("-2147483648,1,-16,1,0,1,7,1,2147483647,1", idx_query(h, "t", nullptr));
  EXPECT_STREQ("-2147483648;1;-16;1;0;1;7;1;2147483647;1", idx_query(h, "t", ";"));
  EXPECT_EQ(5, idx_count_of(h, 4));
  EXPECT_EQ(0, idx_count_of(h, 9));
}

TEST(Indexing, DiscardingFreesTokensLeftWithoutPostings) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  idx_index(h, 1, "a b", nullptr);  // a 512, b 544, path entry 576
  idx_index(h, 2, "b c", nullptr);  // c 608, path entry 640
  EXPECT_EQ(576u, idx_discard(h, 1));
  EXPECT_TRUE(no_error());
  EXPECT_EQ(2, idx_count_of(h, 3));
  EXPECT_EQ(2, idx_count_of(h, 2));
  EXPECT_STREQ("", idx_query(h, "a", nullptr));
  EXPECT_STREQ("2,1", idx_query(h, "b", nullptr));
  EXPECT_EQ(kNone, idx_discard(h, 1));
  EXPECT_TRUE(no_error());
  // Freed slots are taken again before the file grows.
  const int32_t size = idx_count_of(h, 0);
  idx_index(h, 3, "d", nullptr);
  EXPECT_EQ(size, idx_count_of(h, 0));
  EXPECT_EQ(0, idx_count_of(h, 2));
  EXPECT_EQ(640u, idx_discard(h, 2));
  EXPECT_EQ(1, idx_count_of(h, 3));
  EXPECT_EQ(3, idx_count_of(h, 2));
  EXPECT_STREQ("", idx_query(h, "b", nullptr));
  EXPECT_STREQ("3,1", idx_query(h, "d", nullptr));
}

TEST(Indexing, DiscardingARegisteredPathThatWasNeverIndexedForgetsItsName) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  const uint32_t id = idx_id_of(h, "named", true);
  idx_index(h, id, "", nullptr);
  idx_index(h, 9, "x", nullptr);  // something stored, so that the save writes
  ASSERT_TRUE(idx_save(h));
  EXPECT_FALSE(idx_get_modify(h));
  EXPECT_EQ(1, idx_count_of(h, 4));
  EXPECT_EQ(kNone, idx_discard(h, id));
  EXPECT_TRUE(no_error());
  EXPECT_TRUE(idx_get_modify(h));  // only the registry changed
  EXPECT_STREQ("", idx_path_of(h, id));
  EXPECT_EQ(kNone, idx_id_of(h, "named", false));
  EXPECT_EQ(0, idx_count_of(h, 9));
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
  EXPECT_STREQ("doc", idx_path_of(h, id));
  EXPECT_EQ(std::to_string(static_cast<int32_t>(id)) + ",1", idx_query(h, "x", nullptr));
  EXPECT_FALSE(idx_get_modify(h));
  EXPECT_FALSE(idx_save(h));
  EXPECT_TRUE(no_error());
  const uint32_t added = idx_id_of(h, "new", true);
  EXPECT_NE(kNone, added);
  EXPECT_EQ(added, idx_id_of(h, "new", false));
  EXPECT_TRUE(idx_get_modify(h));
  EXPECT_FALSE(idx_save(h));
  h.reset();
  EXPECT_EQ(saved, read_file(path));
}

}  // namespace
}  // namespace velkor_test
