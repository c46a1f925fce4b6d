// Postings lists against a map of maps, at every size a search passes
// through and under every reader: queries, discards, write-backs of a small
// cache, saving and reloading. A new index appends the postings of path ids
// it has not seen and orders them later; an index that held tokens when it
// was opened searches every list.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "format_check/format_check.h"
#include "index_test_util.h"

namespace velkor_test {
namespace {

using model = std::map<std::string, std::map<int32_t, uint32_t>>;

std::string answer(const model& m, const std::string& token) {
  std::string text;
  const auto found = m.find(token);
  if (found == m.end()) return text;
  for (const auto& p : found->second) {
    if (!text.empty()) text += ',';
    text += std::to_string(p.first) + ',' + std::to_string(p.second);
  }
  return text;
}

void index_text(idx_handle h, model& m, uint32_t path_id, const std::vector<std::string>& tokens) {
  std::string text;
  for (const std::string& t : tokens) {
    text += t + ' ';
    ++m[t][static_cast<int32_t>(path_id)];
  }
  ASSERT_NE(0xFFFFFFFFu, idx_index(h, path_id, text.c_str(), nullptr));
}

void discard(idx_handle h, model& m, uint32_t path_id) {
  idx_discard(h, path_id);
  for (auto t = m.begin(); t != m.end();) {
    t->second.erase(static_cast<int32_t>(path_id));
    t = t->second.empty() ? m.erase(t) : std::next(t);
  }
}

TEST(PostingsOrder, NewIndexAgreesWithTheModelUnderEveryReader) {
  for (const int32_t cache_limit : {64, 1 << 20}) {
    SCOPED_TRACE(cache_limit);
    temp_dir dir;
    const std::string file = dir.file("i.vx");
    handle h(open_new(file));
    idx_adjust_cache(h, cache_limit, cache_limit);
    std::mt19937 random(7);
    model m;
    std::vector<uint32_t> ids;
    for (int step = 0; step < 1500; ++step) {
      const uint32_t roll = random() % 100;
      if (roll < 10 && !ids.empty()) {
        // Again under a known path id: its postings are searched for.
        index_text(h, m, ids[random() % ids.size()], {"w" + std::to_string(random() % 3), "w1"});
      } else if (roll < 14 && !ids.empty()) {
        discard(h, m, ids[random() % ids.size()]);
      } else if (roll < 20) {
        const std::string token = "w" + std::to_string(random() % 61);
        ASSERT_EQ(answer(m, token), idx_query(h, token.c_str(), nullptr)) << "step " << step;
      } else {
        ids.push_back(random() & 0xFFFFFFFEu);
        std::vector<std::string> tokens = {"w60"};
        for (int k = random() % 12; k >= 0; --k)
          tokens.push_back("w" + std::to_string(random() % 60));
        index_text(h, m, ids.back(), tokens);
      }
    }
    ASSERT_TRUE(idx_save(h));
    h.reset();  // on Windows nobody may read a file an index holds
    EXPECT_EQ(std::vector<std::string>(), velkor::check_index_file(file));
    h.reopen(file);
    for (int t = 0; t <= 60; ++t) {
      const std::string token = "w" + std::to_string(t);
      EXPECT_EQ(answer(m, token), idx_query(h, token.c_str(), nullptr)) << token;
    }
  }
}

// Thousands of appended postings are put in order by counting passes.
TEST(PostingsOrder, LongAppendedListsComeOutInOrder) {
  temp_dir dir;
  const std::string file = dir.file("i.vx");
  handle h(open_new(file));
  std::mt19937 random(3);
  model m;
  for (int i = 0; i < 3000; ++i) index_text(h, m, random() & 0xFFFFFFFEu, {"a", i % 2 ? "b" : "c"});
  EXPECT_EQ(answer(m, "a"), idx_query(h, "a", nullptr));
  for (int i = 0; i < 300; ++i) index_text(h, m, random() & 0xFFFFFFFEu, {"a", "b"});
  // Long texts: their path entries list hundreds of token entry ids, most
  // of them known, in ascending order.
  std::vector<std::string> words;
  for (int k = 0; k < 400; ++k) words.push_back("x" + std::to_string(random() % 1000));
  for (int i = 0; i < 3; ++i) index_text(h, m, 9000 + i, words);
  ASSERT_TRUE(idx_save(h));
  h.reset();
  EXPECT_EQ(std::vector<std::string>(), velkor::check_index_file(file));
  h.reopen(file);
  for (const char* t : {"a", "b", "c"}) EXPECT_EQ(answer(m, t), idx_query(h, t, nullptr)) << t;
}

TEST(PostingsOrder, ListsOfAnIndexThatHeldTokensAreSearchedAtEverySize) {
  temp_dir dir;
  const std::string file = dir.file("i.vx");
  handle h(open_new(file));
  model m;
  index_text(h, m, 5, {"seed"});
  ASSERT_TRUE(idx_save(h));
  h.reopen(file);
  std::mt19937 random(11);
  std::vector<uint32_t> ids;
  for (int step = 0; step < 400; ++step) {
    const uint32_t roll = random() % 10;
    if (roll == 0 && !ids.empty()) {
      index_text(h, m, ids[random() % ids.size()], {"t"});
    } else if (roll == 1 && !ids.empty()) {
      discard(h, m, ids[random() % ids.size()]);
    } else {
      ids.push_back(random() & 0xFFFFFFFEu);
      index_text(h, m, ids.back(), {"t"});
    }
    ASSERT_EQ(answer(m, "t"), idx_query(h, "t", nullptr)) << "step " << step;
  }
}

}  // namespace
}  // namespace velkor_test
