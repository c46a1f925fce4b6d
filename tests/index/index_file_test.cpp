// The index file and its entries: what opening accepts and refuses, the
// rules a load follows, entries cut short, and the order of a text's new
// tokens.
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "index/entries.h"
#include "index/token_indexes.h"
#include "index_test_util.h"
#include "stream/memstream.h"
#include "stream/platform_file.h"

namespace velkor_test {
namespace {

using velkor::_CTokenIndexes;
constexpr uint32_t kMagic = 0x013265F6u;
using pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// A small saved index: one registered path, two indexed path ids.
std::vector<uint8_t> saved_index(const std::string& path) {
  handle h(open_new(path));
  EXPECT_NE(0xFFFFFFFFu, idx_id_of(h, "docs/a.txt", true));
  EXPECT_EQ(3u, idx_index(h, 5, "alpha beta gamma", nullptr));
  EXPECT_EQ(2u, idx_index(h, 0xFFFFFFFDu, "beta delta", nullptr));
  EXPECT_TRUE(idx_save(h));
  h.reset();
  return read_file(path);
}

// A saved index file written by hand, without slots; registry strings are
// stored with the key 0, that is unscrambled.
struct file_image {
  std::vector<std::pair<uint32_t, uint32_t>> tokens, paths;
  std::vector<std::tuple<uint32_t, std::string, uint32_t>> names;
};

std::vector<uint8_t> build_index_file(const file_image& image) {
  std::vector<uint8_t> f(512, 0);
  std::vector<uint32_t> words = {kMagic, 32, 512, 512, 512};
  append_u32(f, 0);  // no slot records
  for (const auto* table : {&image.tokens, &image.paths}) {
    words.insert(words.end(), 2, uint32_t(f.size()));
    append_u32(f, uint32_t(table->size()));
    for (const auto& pair : *table) {
      append_u32(f, pair.first);
      append_u32(f, pair.second);
    }
  }
  words.insert(words.end(), 2, uint32_t(f.size()));
  append_u32(f, uint32_t(image.names.size()));
  for (const auto& name : image.names) {
    append_u32(f, std::get<0>(name));
    append_u32(f, uint32_t(std::get<1>(name).size()));
    f.push_back(0);
    f.insert(f.end(), std::get<1>(name).begin(), std::get<1>(name).end());
    append_u32(f, std::get<2>(name));
  }
  words.push_back(uint32_t(f.size()));
  append_u32(f, kMagic);
  for (size_t i = 0; i < words.size(); ++i) put_u32(f, 4 * i, words[i]);
  return f;
}

// A file written by hand: equal hashes keep their order; a repeated path id
// keeps its first pair, a repeated registry id its first record; a path
// under two ids maps to the larger one in signed order.
TEST(IndexFile, HandBuiltTablesLoadByTheOrderRules) {
  // The token hash reads bytes as signed.
  EXPECT_EQ(3014u, velkor::token_hash("abc"));
  EXPECT_EQ(97u * 5 - 23, velkor::token_hash("a\xE9"));
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  file_image image;
  image.tokens = {{9, 600}, {3, 700}, {9, 500}};
  image.paths = {{7, 100}, {0xFFFFFFFEu, 200}, {7, 300}};
  image.names = {{4, "x", 1}, {4, "y", 2}, {0xFFFFFFF0u, "z", 3}, {2, "z", 4}};
  write_file(path, build_index_file(image));
  _CTokenIndexes index(path, true);
  const auto tokens = index.tokens();
  EXPECT_EQ((pairs{{3, 700}, {9, 600}, {9, 500}}), pairs(tokens.begin(), tokens.end()));
  EXPECT_EQ((std::map<int32_t, uint32_t>{{-2, 200}, {7, 100}}), index.paths());
  std::vector<std::tuple<int32_t, std::string, int32_t>> names;
  int32_t id = 0;
  velkor::path_registry::record record;
  for (bool first = true; index.registry().next(id, first, &id, &record); first = false) {
    names.emplace_back(id, record.path, record.time);
  }
  EXPECT_EQ((decltype(names){{-16, "z", 3}, {2, "z", 4}, {4, "x", 1}}), names);
  EXPECT_EQ(4u, index.registry().find_id("x"));
  EXPECT_EQ(2u, index.registry().find_id("z"));
  EXPECT_EQ(0xFFFFFFFFu, index.registry().find_id("y"));
  EXPECT_EQ(0, index.registry().dirty);

  // In order, the same path under two ids maps to the later one, whether
  // the records are scanned (the first lookups) or indexed by hash.
  image.names = {{2, "zz", 1}, {3, "yz", 2}, {5, "zz", 3}, {9, "z", 4}};
  const std::string second = dir.file("j.vx");
  write_file(second, build_index_file(image));
  _CTokenIndexes in_order(second, true);
  for (int ask = 0; ask < 12; ++ask) {
    EXPECT_EQ(5u, in_order.registry().find_id("zz")) << ask;
    EXPECT_EQ(3u, in_order.registry().find_id("yz")) << ask;
    EXPECT_EQ(0xFFFFFFFFu, in_order.registry().find_id("zy")) << ask;
  }
}

// Files of 512 bytes or less open empty and are not written; damaged ones
// are refused with their texts, and every cut of a saved file fails with a
// read error.
TEST(IndexFile, OpeningAcceptsShortFilesAndRefusesDamagedOnes) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  for (const size_t size : {1, 48, 511, 512}) {
    const std::vector<uint8_t> bytes(size, 0xAB);
    write_file(path, bytes);
    {
      handle h(idx_open(path.c_str(), false));
      ASSERT_NE(nullptr, static_cast<idx_handle>(h)) << size;
      EXPECT_EQ(static_cast<int32_t>(size), idx_count_of(h, 0));
      for (uint32_t c = 1; c <= 9; ++c) EXPECT_EQ(0, idx_count_of(h, c)) << c;
      EXPECT_EQ(0xFFFFFFFFu, idx_id_of(h, "a", false));
      EXPECT_TRUE(idx_save(h));
    }
    EXPECT_EQ(bytes, read_file(path)) << size;
  }
  const std::vector<uint8_t> saved = saved_index(path);
  for (size_t size = 513; size < saved.size(); ++size) {
    write_file(path, std::vector<uint8_t>(saved.begin(), saved.begin() + size));
    for (int attempt = 0; attempt < 2; ++attempt) {
      ASSERT_EQ(nullptr, idx_open(path.c_str(), false)) << size;
      EXPECT_EQ("_stream.ReadErr", last_error_texts().id) << size;
      EXPECT_EQ("_stream::read()", last_error_texts().where) << size;
    }
  }
  auto load_error = [](const char* id, const char* msg) {
    return error_texts{id, msg, "_CTokenIndexes._load", "", ""};
  };
  const error_texts version =
      load_error("_CTokenIndexes.VersionMismatch", "The index data is invalid for this version.");
  const error_texts invalid =
      load_error("_CTokenIndexes.InvalidMagicNum", "Invalid file header tag detected.");
  const error_texts missing =
      load_error("_CTokenIndexes.MagicNumMissing", "The ending magic number was missing.");
  const size_t last_slot_record =
      u32_at(saved, 16) + 4 + 13 * (u32_at(saved, u32_at(saved, 16)) - 1);
  const struct {
    size_t at;
    uint32_t value;
    error_texts expected;
  } cases[] = {
      {0, 0x01321BC1u, version},
      {0, 0x01324267u, version},
      {0, kMagic + 1, invalid},
      {0, 0xF6653201u, invalid},
      {u32_at(saved, 44), kMagic + 1, missing},
      // The registry is the last section read: the ending magic is looked
      // for where its (now empty) section ended.
      {u32_at(saved, 40), 0x80000000u, missing},
      // The sections of a saved index lie behind its slots: a slot reaching
      // past the file's end is refused before any slot is appended towards it.
      {last_slot_record + 4,
       0x10000000u,
       {"_CObjectStorage.InvalidSlotSize", "Invalid slot size detected in stream!",
        "_CObjectStorage::_load_stg_slots", "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.at << " " << c.value);
    std::vector<uint8_t> f = saved;
    put_u32(f, c.at, c.value);
    write_file(path, f);
    // The second open shows that the failed one closed the file again.
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(nullptr, idx_open(path.c_str(), attempt == 1));
      EXPECT_TRUE(texts_equal(last_error_texts(), c.expected));
    }
  }
  write_file(path, std::vector<uint8_t>(513, 0));
  EXPECT_EQ(nullptr, idx_open(path.c_str(), false));
  EXPECT_TRUE(texts_equal(last_error_texts(), invalid));

  // Negative counts of the token and path tables load as empty tables.
  std::vector<uint8_t> f = saved;
  for (const size_t word : {6, 8}) put_u32(f, u32_at(f, 4 * word), 0x80000000u);
  write_file(path, f);
  handle h(idx_open(path.c_str(), false));
  EXPECT_EQ((std::vector<int32_t>{0, 0, 1}),
            (std::vector<int32_t>{idx_count_of(h, 3), idx_count_of(h, 4), idx_count_of(h, 9)}));
}

TEST(IndexFile, SlotSizeWordSetsTheTokenLimit) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  const std::vector<uint8_t> saved = saved_index(path);
  // Words below 32 load as 32; the token form caps the limit at 128 bytes.
  // A huge slot size makes huge (sparse) slots, of which a load gathers only
  // the stored form.
  const struct {
    uint32_t word, slot_size;
    int32_t limit;
  } cases[] = {{0, 32, 30},  {31, 32, 30},      {0x80000000u, 32, 30},
               {64, 64, 62}, {1000, 1000, 128}, {1u << 24, 1u << 24, 128}};
  const std::string long_token(200, 'q');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    std::vector<uint8_t> f = saved;
    put_u32(f, 4, c.word);
    write_file(path, f);
    {
      _CTokenIndexes index(path, false);
      EXPECT_EQ(c.slot_size, index.header_words()[1]);
      EXPECT_EQ(c.limit, index.token_limit());
      EXPECT_EQ(1u, index._insert_tokens(9, long_token + " " + long_token, " "));
      EXPECT_TRUE(index._save());
    }
    _CTokenIndexes reopened(path, true);
    EXPECT_EQ(c.slot_size, reopened.header_words()[1]);
    uint32_t id = 0;
    const velkor::token_entry* found = reopened.query_entry(long_token, &id);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(long_token.substr(0, c.limit), found->token);
    ASSERT_EQ(1u, found->postings.size());
    EXPECT_EQ(2, uint16_t{found->postings[0].count});
  }
}

// A reopened index with more slot records than the cell index serves at once
// is searched first and indexed later: answers must not change on the way,
// through queries, rewrites of long chains and a save.
TEST(IndexFile, LargeSlotTablesAnswerTheSameBeforeAndAfterTheirIndex) {
  temp_dir dir;
  const std::string path = dir.file("big.vx");
  std::string text;
  for (int i = 0; i < 70000; ++i) text += "t" + std::to_string(i) + " ";
  {
    handle h(open_new(path));
    ASSERT_TRUE(idx_adjust_cache(h, 100000, 64));
    ASSERT_EQ(70000u, idx_index(h, 1, text.c_str(), nullptr));
    ASSERT_TRUE(idx_save(h));
  }
  handle h(idx_open(path.c_str(), false));
  ASSERT_GT(idx_count_of(h, 1), 70000);  // slot records
  EXPECT_STREQ("1,1", idx_query(h, "t12345", nullptr));
  // Long chains: one token grows by a posting per call, most calls reading
  // other entries too, so lookups pass from the search to the index.
  std::string grow;
  for (uint32_t id = 2; id < 40; ++id) {
    std::string some = "grow";
    for (uint32_t k = 0; k < 200; ++k) some += " t" + std::to_string(id * 997 + k * 131);
    ASSERT_EQ(201u, idx_index(h, id, some.c_str(), nullptr));
    grow += (grow.empty() ? "" : ",") + std::to_string(id) + ",1";
  }
  EXPECT_EQ(grow, idx_query(h, "grow", nullptr));
  EXPECT_STREQ("1,1,2,1", idx_query(h, "t1994", nullptr));
  ASSERT_TRUE(idx_save(h));
  h.reopen(path, true);
  EXPECT_EQ(grow, idx_query(h, "grow", nullptr));
  EXPECT_STREQ("1,1", idx_query(h, "t69999", nullptr));
}

// A stored token entry that ends inside its postings keeps the whole
// postings before the cut and fails with the memory stream's read error,
// also when not one posting is whole.
TEST(IndexFile, TokenEntryCutInsideItsPostingsFailsTheLoad) {
  // Token form of "t" (length, byte), three postings announced.
  const std::vector<uint8_t> stored = {1, 't', 3, 0, 0, 0, 7, 0, 0, 0, 2, 0, 9, 0, 0, 0, 1, 0};
  for (const size_t kept : {0u, 4u, 6u, 10u}) {
    SCOPED_TRACE(kept);
    velkor::_memadapter adapter;
    adapter.buffer.assign(stored.begin(), stored.begin() + 6 + static_cast<std::ptrdiff_t>(kept));
    velkor::_memstream memory(&adapter);
    velkor::token_entry entry;
    velkor::platform::set_last_error_code(0);  // the memory stream never sets it
    VELKOR_CATCH(e, entry.load(memory));
    const std::string required = kept % 6 == 0 ? "4" : "2";
    EXPECT_TRUE(texts_equal(
        texts_of(e),
        {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
         "AvailableSize[0] RequiredSize[" + required + "] StreamName[MemoryStream] ErrCode[0]",
         "If you're working with file-sharing, please try again. Otherwise there might be either "
         "a network failure, or a file I/O error !"}));
    EXPECT_EQ(entry.token, "t");
    ASSERT_EQ(entry.postings.size(), kept / 6);
    if (kept >= 6) {
      EXPECT_EQ(int32_t{entry.postings[0].path_id}, 7);
    }
  }
}

// New entries take ascending slots, so the ids of one text's new tokens show
// the order in which they were processed: unsigned bytes, shorter first.
// The cases share long prefixes, differ beyond the eighth byte, hold bytes
// above 0x7F and a zero byte.
TEST(IndexFile, NewTokensAreStoredInByteOrder) {
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
    _CTokenIndexes index(path, false);
    // The entries stay cached: a token read back from the file ends at its
    // first zero byte.
    index._adjust_cache(1000, 1000);
    std::string text;
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) text += *it + "  " + *it + " ";
    ASSERT_EQ(ordered.size(), index._insert_tokens(9, text, " "));
    uint32_t previous = 0;
    for (const std::string& token : ordered) {
      uint32_t id = 0;
      const velkor::token_entry* found = index.query_entry(token, &id);
      ASSERT_NE(nullptr, found) << token;
      EXPECT_LT(previous, id) << token;
      ASSERT_EQ(1u, found->postings.size());
      EXPECT_EQ(2, uint16_t{found->postings[0].count}) << token;
      previous = id;
    }
  }
}

}  // namespace
}  // namespace velkor_test
