// The order of tokens: the token table keeps the pairs of one hash in the
// order in which they came and saves by hash, and a text's tokens are
// processed in byte order, which decides the slots of new entries.
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/token_indexes.h"
#include "index/token_table.h"
#include "index_test_util.h"

namespace velkor_test {
namespace {

using velkor::token_hash_table;
using pairs = std::vector<std::pair<uint32_t, uint32_t>>;

pairs candidates(const token_hash_table& table, uint32_t hash) {
  pairs seen;
  table.find_if(hash, 0xFFFFFFFFu, [&](uint32_t id) {
    seen.emplace_back(hash, id);
    return false;
  });
  return seen;
}

// Random inserts and erases against an ordered multimap, which appends
// equal keys and erases the first match. Hashes come from a small set, so
// that pairs of one hash pile up, probe runs of different hashes interleave
// and wrap around the table's end, and the table is rebuilt as it grows.
TEST(TokenTable, KeepsTheOrderOfAnOrderedMultimap) {
  std::mt19937 rng(20021);
  token_hash_table table;
  std::multimap<uint32_t, uint32_t> model;
  std::vector<uint32_t> hashes;
  for (int i = 0; i < 40; ++i) hashes.push_back(static_cast<uint32_t>(rng()));
  hashes.push_back(0);
  hashes.push_back(0xFFFFFFFFu);
  for (int step = 0; step < 20000; ++step) {
    const uint32_t hash = hashes[rng() % hashes.size()];
    if (model.empty() || rng() % 3 != 0) {
      const uint32_t id = 512 + 32 * (rng() % 1000);
      table.insert(hash, id);
      model.emplace(hash, id);
    } else {
      auto victim = model.begin();
      std::advance(victim, rng() % model.size());
      // The first pair with this hash and id goes, as in the table.
      auto first = model.lower_bound(victim->first);
      while (first->second != victim->second) ++first;
      ASSERT_TRUE(table.erase(first->first, first->second));
      model.erase(first);
    }
    if (step % 1000 == 0 || step == 19999) {
      ASSERT_EQ(model.size(), table.size());
      for (const uint32_t h : hashes) {
        const auto range = model.equal_range(h);
        ASSERT_EQ(pairs(range.first, range.second), candidates(table, h)) << "step " << step;
      }
      ASSERT_EQ(pairs(model.begin(), model.end()), table.sorted());
    }
  }
  EXPECT_FALSE(table.erase(hashes[0], 1));
  EXPECT_EQ(model, table.as_multimap());
}

TEST(TokenTable, FindStopsAtTheFirstAcceptedPair) {
  token_hash_table table;
  table.insert(7, 100);
  table.insert(7, 200);
  table.insert(7, 300);
  EXPECT_EQ(200u, table.find_if(7, 0, [](uint32_t id) { return id >= 200; }));
  EXPECT_EQ(0u, table.find_if(8, 0, [](uint32_t) { return true; }));
  EXPECT_EQ(100u, table.first(7, 0));
  table.clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(0u, table.first(7, 0));
}

// New entries take ascending slots, so the ids of one text's new tokens show
// the order in which they were processed: unsigned bytes, shorter first.
// The cases share long prefixes, differ beyond the eighth byte, hold bytes
// above 0x7F and a zero byte.
TEST(TokenOrder, NewTokensAreStoredInByteOrder) {
  const std::vector<std::string> tricky = {
      "A",        "a\x01",     "ab",           std::string("ab\0", 3),
      "abcdefgh", "abcdefgh1", "abcdefgh\xE9", "abcdefgi",
      "a\x7F",    "a\x80",     "a\xFF",        "b",
      "\xE9t\xE9"};
  // A long text's tokens are ordered another way than a short one's.
  std::set<std::string> many(tricky.begin(), tricky.end());
  std::mt19937 random(5);
  while (many.size() < 400) {
    std::string token = many.size() % 2 ? "abcdefgh" : "";
    for (int k = 1 + random() % 10; k > 0; --k) token += static_cast<char>(33 + random() % 223);
    many.insert(token);
  }
  for (const std::vector<std::string>& ordered :
       {tricky, std::vector<std::string>(many.begin(), many.end())}) {
    temp_dir dir;
    const std::string path = dir.file("i.vx");
    touch(path);
    velkor::_CTokenIndexes index(path, false);
    // The entries stay cached: a token read back from the file ends at its
    // first zero byte.
    index._adjust_cache(1000, 1000);
    std::string text;
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) text += *it + "  " + *it + " ";
    ASSERT_EQ(ordered.size(), index._insert_tokens(9, text, " "));
    uint32_t previous = 0;
    for (const std::string& token : ordered) {
      velkor::token_entry found;
      const uint32_t id = index._query_token(token, found);
      ASSERT_NE(velkor::_CTokenIndexes::kNoId, id) << token;
      EXPECT_LT(previous, id) << token;
      ASSERT_EQ(1u, found.postings.size());
      EXPECT_EQ(2, uint16_t{found.postings[0].count}) << token;
      previous = id;
    }
  }
}

}  // namespace
}  // namespace velkor_test
