// Postings lists of thousands of path ids against a map of maps, under
// every reader: queries, discards, write-backs of a small cache, saving and
// reloading. A new index appends the postings of path ids it has not seen
// and puts them in order later (long runs by counting passes); an index that
// held tokens when it was opened searches every list.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "format_check/format_check.h"
#include "test_util.h"

namespace velkor_test {
namespace {

class lists {
 public:
  explicit lists(const std::string& file) : file_(file), h_(open_new(file)) {}

  void index(uint32_t path_id, const std::vector<std::string>& tokens) {
    std::string text;
    for (const std::string& t : tokens) {
      text += t + ' ';
      ++model_[t][static_cast<int32_t>(path_id)];
    }
    ASSERT_NE(0xFFFFFFFFu, idx_index(h_, path_id, text.c_str(), nullptr));
  }
  void discard(uint32_t path_id) {
    idx_discard(h_, path_id);
    for (auto t = model_.begin(); t != model_.end();) {
      t->second.erase(static_cast<int32_t>(path_id));
      t = t->second.empty() ? model_.erase(t) : std::next(t);
    }
  }
  ::testing::AssertionResult answers(const std::string& token) {
    std::string expected;
    for (const auto& p : model_[token]) {
      expected +=
          (expected.empty() ? "" : ",") + std::to_string(p.first) + ',' + std::to_string(p.second);
    }
    const std::string got = idx_query(h_, token.c_str(), nullptr);
    if (got == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << token << ": " << got.substr(0, 80) << ", expected " << expected.substr(0, 80);
  }
  // Saves, checks the file and opens it again.
  void reopen() {
    ASSERT_TRUE(idx_save(h_));
    h_.reset();  // on Windows nobody may read a file an index holds
    EXPECT_EQ(std::vector<std::string>(), velkor::check_index_file(file_));
    h_.reopen(file_);
  }
  idx_handle h() const { return h_; }

 private:
  std::string file_;
  handle h_;
  std::map<std::string, std::map<int32_t, uint32_t>> model_;
};

TEST(PostingsOrder, ListsAgreeWithAMapUnderEveryReader) {
  temp_dir dir;
  for (const int32_t cache_limit : {64, 1 << 20}) {
    SCOPED_TRACE(cache_limit);
    lists l(dir.file("i" + std::to_string(cache_limit) + ".vx"));
    idx_adjust_cache(l.h(), cache_limit, cache_limit);
    std::mt19937 random(7);
    std::vector<uint32_t> ids;
    for (int step = 0; step < 4000; ++step) {
      const uint32_t roll = random() % 100;
      if (roll < 10 && !ids.empty()) {
        // Again under a known path id: its postings are searched for.
        l.index(ids[random() % ids.size()], {"w" + std::to_string(random() % 3), "w1"});
      } else if (roll < 14 && !ids.empty()) {
        l.discard(ids[random() % ids.size()]);
      } else if (roll < 20) {
        ASSERT_TRUE(l.answers("w" + std::to_string(random() % 61))) << "step " << step;
      } else {
        ids.push_back(random() & 0xFFFFFFFEu);
        std::vector<std::string> tokens = {"w60", step % 2 ? "a" : "b"};
        for (int k = random() % 12; k >= 0; --k)
          tokens.push_back("w" + std::to_string(random() % 60));
        l.index(ids.back(), tokens);
      }
      if (step == 1000) {
        // Long texts: their path entries list hundreds of token entry ids,
        // most of them known, in ascending order.
        std::vector<std::string> words;
        for (int k = 0; k < 400; ++k) words.push_back("x" + std::to_string(random() % 1000));
        for (uint32_t i = 0; i < 3; ++i) l.index(9000 + i, words);
      }
      if (step == 2500) {
        l.reopen();
        for (int t = 0; t <= 60; ++t) EXPECT_TRUE(l.answers("w" + std::to_string(t)));
      }
    }
    l.reopen();
    for (const char* t : {"a", "b", "w0", "w60", "x1", "x2"}) EXPECT_TRUE(l.answers(t));
  }
}

}  // namespace
}  // namespace velkor_test
