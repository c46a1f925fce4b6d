// The index file: what opening accepts and refuses, and what a save leaves
// in the file.
#include <algorithm>
#include <string>
#include <vector>

#include "index/token_indexes.h"
#include "index_test_util.h"

namespace velkor_test {
namespace {

constexpr uint32_t kMagic = 0x013265F6u;

error_texts load_error(const char* id, const char* msg) {
  return {id, msg, "_CTokenIndexes._load", "", ""};
}

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

// A file written by hand (index_test_util.h spells out every header word
// and section) loads and saves back unchanged.
TEST(IndexFile, HandBuiltFileLoadsAndSavesByteForByte) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  file_image image;
  image.objects = {{5, 0, 0, 0, 0, 0, 0, 0}};  // path entry of path id 5, no tokens
  image.paths = {{5, 512}};
  const std::vector<uint8_t> built = build_index_file(image);
  write_file(path, built);
  {
    velkor::_CTokenIndexes index(path, false);
    EXPECT_EQ((std::map<int32_t, uint32_t>{{5, 512}}), index.paths());
    EXPECT_TRUE(index.tokens().empty());
    EXPECT_TRUE(index._save());
  }
  const std::vector<uint8_t> f = read_file(path);
  EXPECT_EQ(built, f);
  const std::vector<uint8_t> path_table = {1, 0, 0, 0, 5, 0, 0, 0, 0, 2, 0, 0};
  EXPECT_TRUE(std::equal(path_table.begin(), path_table.end(), f.begin() + u32_at(f, 32)));
  EXPECT_EQ(12u, u32_at(f, 36) - u32_at(f, 32));

  // A path entry without tokens is erased whole: its slot goes idle.
  handle h(idx_open(path.c_str(), false));
  EXPECT_EQ(512u, idx_discard(h, 5));
  EXPECT_EQ(0, idx_count_of(h, 4));
  EXPECT_EQ(1, idx_count_of(h, 2));
}

TEST(IndexFile, MissingFileFailsWithTheOpenError) {
  temp_dir dir;
  const std::string path = dir.file("missing.vx");
  for (const bool read_only : {false, true}) {
    EXPECT_EQ(nullptr, idx_open(path.c_str(), read_only));
    const std::string mode = read_only ? "read" : "read|write";
    EXPECT_TRUE(texts_equal(last_error_texts(),
                            {"_fstream.ErrOpenFile", "Failed to open file!", "_fstream::open()",
                             "FileName[" + path + "] OpenMode[" + mode + "] ErrCode[2]", ""}));
  }
  EXPECT_FALSE(file_exists(path));
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(nullptr, idx_open(name, false));
    EXPECT_EQ("_fstream.ErrOpenFile", last_error_texts().id);
    EXPECT_EQ(0u, last_error_texts().params.find("FileName[] OpenMode[read|write] ErrCode["));
  }
}

TEST(IndexFile, FilesOf512BytesOrLessOpenEmptyAndAreNotWritten) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  for (const size_t size : {0, 1, 48, 511, 512}) {
    const std::vector<uint8_t> bytes(size, 0xAB);
    write_file(path, bytes);
    {
      handle h(idx_open(path.c_str(), false));
      ASSERT_NE(nullptr, static_cast<idx_handle>(h)) << size;
      EXPECT_TRUE(no_error());
      EXPECT_EQ(static_cast<int32_t>(size), idx_count_of(h, 0));
      for (uint32_t c = 1; c <= 9; ++c) EXPECT_EQ(0, idx_count_of(h, c)) << c;
      EXPECT_FALSE(idx_get_modify(h));
      EXPECT_EQ(0xFFFFFFFFu, idx_id_of(h, "a", false));
      EXPECT_TRUE(idx_save(h));
    }
    EXPECT_EQ(bytes, read_file(path)) << size;
  }
}

TEST(IndexFile, MagicNumbersDecideWhetherAFileOpens) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  const std::vector<uint8_t> saved = saved_index(path);
  const error_texts version =
      load_error("_CTokenIndexes.VersionMismatch", "The index data is invalid for this version.");
  const error_texts invalid =
      load_error("_CTokenIndexes.InvalidMagicNum", "Invalid file header tag detected.");
  const error_texts missing =
      load_error("_CTokenIndexes.MagicNumMissing", "The ending magic number was missing.");
  const size_t ending = u32_at(saved, 44);
  const struct {
    size_t at;
    uint32_t magic;
    error_texts expected;
  } cases[] = {{0, 0x01321BC1u, version},
               {0, 0x01324267u, version},
               {0, kMagic + 1, invalid},
               {0, 0xF6653201u, invalid},
               {ending, kMagic + 1, missing}};
  for (const auto& c : cases) {
    std::vector<uint8_t> f = saved;
    put_u32(f, c.at, c.magic);
    write_file(path, f);
    // The second open shows that the failed one closed the file again.
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(nullptr, idx_open(path.c_str(), attempt == 1));
      EXPECT_TRUE(texts_equal(last_error_texts(), c.expected)) << c.at << " " << c.magic;
    }
  }
  write_file(path, std::vector<uint8_t>(513, 0));
  EXPECT_EQ(nullptr, idx_open(path.c_str(), false));
  EXPECT_TRUE(texts_equal(last_error_texts(), invalid));
}

// The sections of a saved index lie behind its slots; a slot record that
// reaches past the file's end is damage, refused before any slot is appended
// towards it.
TEST(IndexFile, ASlotReachingPastTheFileIsRefused) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  std::vector<uint8_t> f = saved_index(path);
  const size_t last_record = u32_at(f, 16) + 4 + 13 * (u32_at(f, u32_at(f, 16)) - 1);
  put_u32(f, last_record + 4, 0x10000000u);  // its size
  write_file(path, f);
  EXPECT_EQ(nullptr, idx_open(path.c_str(), false));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CObjectStorage.InvalidSlotSize",
                                               "Invalid slot size detected in stream!",
                                               "_CObjectStorage::_load_stg_slots", "", ""}));
}

TEST(IndexFile, EveryCutOfASavedFileFailsWithAReadError) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  const std::vector<uint8_t> saved = saved_index(path);
  for (size_t size = 0; size < saved.size(); ++size) {
    write_file(path, std::vector<uint8_t>(saved.begin(), saved.begin() + size));
    for (int attempt = 0; attempt < 2; ++attempt) {
      handle h(idx_open(path.c_str(), false));
      if (size <= 512) {
        EXPECT_NE(nullptr, static_cast<idx_handle>(h)) << size;
        continue;
      }
      ASSERT_EQ(nullptr, static_cast<idx_handle>(h)) << size;
      const error_texts e = last_error_texts();
      EXPECT_EQ("_stream.ReadErr", e.id) << size;
      EXPECT_EQ("_stream::read()", e.where) << size;
    }
  }
  write_file(path, saved);
  handle h(idx_open(path.c_str(), false));
  EXPECT_STREQ("5,1", idx_query(h, "gamma", nullptr));
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
    std::vector<uint8_t> f = saved;
    put_u32(f, 4, c.word);
    write_file(path, f);
    {
      velkor::_CTokenIndexes index(path, false);
      EXPECT_EQ(c.slot_size, index.header_words()[1]);
      EXPECT_EQ(c.limit, index.token_limit());
      EXPECT_EQ(1u, index._insert_tokens(9, long_token + " " + long_token, " "));
      velkor::token_entry found;
      EXPECT_NE(0xFFFFFFFFu, index._query_token(long_token, found));
      EXPECT_EQ(long_token.substr(0, c.limit), found.token);
      EXPECT_TRUE(index._save());
    }
    velkor::_CTokenIndexes reopened(path, true);
    EXPECT_EQ(c.slot_size, reopened.header_words()[1]) << c.word;
    velkor::token_entry found;
    EXPECT_NE(0xFFFFFFFFu, reopened._query_token(long_token.substr(0, c.limit), found));
    ASSERT_EQ(1u, found.postings.size());
    EXPECT_EQ(2, uint16_t{found.postings[0].count});
    EXPECT_GT(1024u, reopened.object_storage()->bytes_gathered) << c.word;
  }
}

TEST(IndexFile, AFileIsHeldByOneHandleAtATime) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  saved_index(path);
  handle first(idx_open(path.c_str(), true));
  ASSERT_NE(nullptr, static_cast<idx_handle>(first));
  for (const bool read_only : {true, false}) {
    EXPECT_EQ(nullptr, idx_open(path.c_str(), read_only));
    const error_texts e = last_error_texts();
    EXPECT_EQ("_fstream.ErrOpenFile", e.id);
    EXPECT_EQ(0u, e.params.find("FileName[" + path + "] OpenMode[" +
                                (read_only ? "read]" : "read|write]")));
  }
  first.reset();
  handle again(idx_open(path.c_str(), false));
  EXPECT_NE(nullptr, static_cast<idx_handle>(again));
}

TEST(IndexFile, SavingAgainWithoutChangeKeepsEverySectionInPlace) {
  temp_dir dir;
  const std::string path = dir.file("i.vx");
  handle h(open_new(path));
  idx_id_of(h, "some/path", true);
  idx_index(h, 7, "one two three two", nullptr);
  ASSERT_TRUE(idx_save(h));
  const auto first = look_at_held_file(h, path, [&] { return read_file(path); });
  EXPECT_FALSE(idx_get_modify(h));
  ASSERT_TRUE(idx_save(h));
  const auto second = look_at_held_file(h, path, [&] { return read_file(path); });
  ASSERT_EQ(first.size(), second.size());
  // Only the scrambling keys of stored strings may differ.
  for (int word = 0; word < 12; ++word)
    EXPECT_EQ(u32_at(first, 4 * word), u32_at(second, 4 * word));
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + u32_at(first, 40), second.begin()));
}

}  // namespace
}  // namespace velkor_test

namespace velkor_test {
namespace {

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
  for (uint32_t id = 2; id < 40; ++id) {
    std::string some = "grow";
    for (uint32_t k = 0; k < 200; ++k) some += " t" + std::to_string(id * 997 + k * 131);
    ASSERT_EQ(201u, idx_index(h, id, some.c_str(), nullptr));
  }
  std::string grow;
  for (uint32_t id = 2; id < 40; ++id) grow += (grow.empty() ? "" : ",") + std::to_string(id) + ",1";
  EXPECT_EQ(grow, idx_query(h, "grow", nullptr));
  EXPECT_STREQ("1,1,2,1", idx_query(h, "t1994", nullptr));
  ASSERT_TRUE(idx_save(h));
  h.reopen(path, true);
  EXPECT_EQ(grow, idx_query(h, "grow", nullptr));
  EXPECT_STREQ("1,1", idx_query(h, "t69999", nullptr));
}

}  // namespace
}  // namespace velkor_test
