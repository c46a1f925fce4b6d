// What the random sequences of the model test leave open: the exact
// counters and cache sizes, the read-only refusals with all their texts,
// stored times, and enumeration while the callback changes the registry.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "index_test_util.h"

namespace velkor_test {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

std::vector<int32_t> counters(idx_handle h) {
  std::vector<int32_t> out;
  for (uint32_t c = 0; c <= 9; ++c) out.push_back(idx_count_of(h, c));
  return out;
}

std::string numbered_text(int first, int count) {
  std::string text;
  for (int i = first; i < first + count; ++i) text += "t" + std::to_string(i) + " ";
  return text;
}

// size, slots, idle slots, tokens, paths, cached/modified token entries,
// cached/modified path entries, registered paths
TEST(Indexing, CountersAndCacheSizesFollowTheIndex) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  EXPECT_EQ(std::vector<int32_t>(10, 0), counters(h));
  idx_id_of(h, "p", true);
  ASSERT_EQ(2u, idx_index(h, 5, "a b", nullptr));
  EXPECT_EQ(std::vector<int32_t>({512 + 3 * 32, 3, 0, 2, 1, 2, 0, 1, 0, 1}), counters(h));
  ASSERT_TRUE(idx_save(h));
  const auto saved_size = static_cast<int32_t>(std::filesystem::file_size(dir.file("i.vx")));
  EXPECT_EQ(std::vector<int32_t>({saved_size, 3, 0, 2, 1, 0, 0, 0, 0, 1}), counters(h));
  // The same tokens again change token entries only; a new one, the path entry.
  ASSERT_EQ(2u, idx_index(h, 5, "b a", nullptr));
  EXPECT_EQ(std::vector<int32_t>({saved_size, 3, 0, 2, 1, 2, 2, 1, 0, 1}), counters(h));
  ASSERT_EQ(1u, idx_index(h, 5, "c", nullptr));
  EXPECT_EQ(1, idx_count_of(h, 8));
  ASSERT_EQ(576u, idx_discard(h, 5));
  EXPECT_EQ(0, idx_count_of(h, 3));
  EXPECT_EQ(4, idx_count_of(h, 2));

  // The token cache is trimmed to its limit (64 at least) by indexing calls
  // only; queries may load entries beyond it.
  EXPECT_TRUE(idx_adjust_cache(h, 10, 1000));
  ASSERT_EQ(100u, idx_index(h, 1, numbered_text(0, 100).c_str(), nullptr));
  EXPECT_EQ(64, idx_count_of(h, 5));
  EXPECT_TRUE(idx_adjust_cache(h, 1000, 1000));
  ASSERT_EQ(100u, idx_index(h, 2, numbered_text(100, 100).c_str(), nullptr));
  EXPECT_EQ(164, idx_count_of(h, 5));
  EXPECT_STREQ("1,1", idx_query(h, "t0", nullptr));
  EXPECT_EQ(165, idx_count_of(h, 5));
  EXPECT_TRUE(idx_adjust_cache(h, -5, 63));
  EXPECT_EQ(165, idx_count_of(h, 5));
  ASSERT_EQ(0u, idx_index(h, 3, "", nullptr));
  EXPECT_EQ(64, idx_count_of(h, 5));
  EXPECT_EQ(2, idx_count_of(h, 7));
  for (int p = 4; p < 100; ++p) idx_index(h, p, "t0", nullptr);
  EXPECT_EQ(64, idx_count_of(h, 7));
  EXPECT_EQ(98, idx_count_of(h, 4));
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
  std::vector<uint8_t> saved = read_file(path);
  handle h(idx_open(path.c_str(), true));
  const std::string readonly = "Cannot modify the index database that is open as Readonly!";
  EXPECT_EQ(kNone, idx_index(h, id, "z", nullptr));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.Readonly", readonly,
                                               "_CTokenIndexes::_insert_tokens", "", ""}));
  EXPECT_EQ(kNone, idx_discard(h, id));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.ReadonlyIndex", readonly,
                                               "_CTokenIndexes::_delete_path_id", "", ""}));
  EXPECT_EQ(-1, idx_enum_path(h, nullptr, nullptr));
  EXPECT_TRUE(texts_equal(last_error_texts(),
                          {"_CTokenIndexes.NullCallback", "The enumeration callback is null!",
                           "_CTokenIndexes::_enum_paths", "", ""}));
  // Registering works in memory; a save refuses without an error.
  EXPECT_NE(kNone, idx_id_of(h, "new", true));
  EXPECT_FALSE(idx_save(h));
  EXPECT_TRUE(no_error());
  h.reset();
  EXPECT_EQ(saved, read_file(path));

  // Stored times are signed 32-bit numbers.
  const size_t time = registry_time_offsets(saved).at(0);
  for (const uint32_t stored : {0x80000001u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
    put_u32(saved, time, stored);
    h.reset();  // on Windows nobody may write a file an index holds
    write_file(path, saved);
    h.reopen(path, true);
    EXPECT_EQ(static_cast<int32_t>(stored), idx_time_of(h, static_cast<int32_t>(id)));
  }
}

// Answers asked for again are kept per index: two new indexes number their
// first token entries alike, and each still answers with its own postings,
// also when the other has just answered the same entry id with its own.
TEST(Indexing, RepeatedQueriesAnswerFromTheirOwnIndex) {
  temp_dir dir;
  handle a(open_new(dir.file("a.vx")));
  handle b(open_new(dir.file("b.vx")));
  ASSERT_EQ(1u, idx_index(a, 7, "alpha", nullptr));
  ASSERT_EQ(1u, idx_index(b, 9, "beta beta", nullptr));
  for (int round = 0; round < 4; ++round) {
    EXPECT_EQ("7,1", std::string(idx_query(a, "alpha", nullptr)));
    EXPECT_EQ("9,2", std::string(idx_query(b, "beta", ",")));
    EXPECT_EQ("", std::string(idx_query(b, "alpha", nullptr)));
  }
  // An answer handed out stays as it was until the next query, whatever
  // changes in between.
  const char* held = idx_query(a, "alpha", nullptr);
  ASSERT_EQ(1u, idx_index(a, 0xFFFFFFFDu, "alpha", nullptr));
  EXPECT_EQ("7,1", std::string(held));
  EXPECT_EQ("-3,1,7,1", std::string(idx_query(a, "alpha", nullptr)));
}

// A save rewrites the file, and an entry loaded after it answers from the
// bytes the save left. Here an idle slot record inside the last slot of a
// token's chain makes the save write its sections over that chain's tail.
TEST(Indexing, RepeatedQueriesAnswerFromTheFileASaveLeft) {
  temp_dir dir;
  const std::string path = dir.file("s.vx");
  {
    handle h(open_new(path));
    for (uint32_t p = 1; p <= 20; ++p) ASSERT_EQ(1u, idx_index(h, p * 1000, "alpha", nullptr));
    ASSERT_TRUE(idx_save(h));
  }
  std::vector<uint8_t> f = read_file(path);
  const size_t table = u32_at(f, 16);
  const uint32_t n = u32_at(f, table);
  std::vector<uint8_t> moved(f.begin() + static_cast<ptrdiff_t>(table),
                             f.begin() + static_cast<ptrdiff_t>(table + 4 + 13 * n));
  const uint32_t last = u32_at(moved, 4 + 13 * (n - 1));
  ASSERT_EQ(99u, u32_at(moved, 4 + 13 * (n - 1) + 4));  // the chain's tail
  put_u32(moved, 0, n + 1);
  append_u32(moved, last + 40);  // offset, size, idle, no link
  append_u32(moved, 32);
  moved.push_back(0);
  append_u32(moved, kNone);
  put_u32(f, 16, static_cast<uint32_t>(f.size()));
  f.insert(f.end(), moved.begin(), moved.end());
  put_u32(f, 20, static_cast<uint32_t>(f.size()));
  write_file(path, f);

  handle h(idx_open(path.c_str(), false));
  ASSERT_NE(nullptr, static_cast<idx_handle>(h)) << _get_err_id();
  const std::string before = idx_query(h, "alpha", nullptr);
  ASSERT_EQ(before, std::string(idx_query(h, "alpha", nullptr)));
  ASSERT_TRUE(idx_save(h));
  const std::string after_save = idx_query(h, "alpha", nullptr);
  h.reopen(path);
  const std::string reopened = idx_query(h, "alpha", nullptr);
  EXPECT_NE(before, reopened);
  EXPECT_EQ(reopened, after_save);
}

// Records the ids it is called with; at its first call (when `h` is set) it
// discards its own record and the next one, and registers 40 more paths.
struct walk {
  idx_handle h = nullptr;
  std::vector<int32_t> initial, visited;

  static bool visit(uint32_t id, const char* path, int32_t, void* user) {
    auto* w = static_cast<walk*>(user);
    w->visited.push_back(static_cast<int32_t>(id));
    if (w->h == nullptr || w->visited.size() > 1) return true;
    const std::string mine = path;
    idx_discard(w->h, id);
    idx_discard(w->h, static_cast<uint32_t>(w->initial[1]));
    for (int i = 0; i < 40; ++i) idx_id_of(w->h, ("new" + std::to_string(i)).c_str(), true);
    EXPECT_EQ(mine, path);  // the text handed in outlives the record
    return true;
  }
};

TEST(Indexing, EnumerationGoesOnAtTheNextRegisteredIdWhenTheCallbackChangesTheRegistry) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  for (int i = 0; i < 8; ++i) idx_id_of(h, ("p" + std::to_string(i)).c_str(), true);
  walk before, during, after;
  idx_enum_path(h, walk::visit, &before);
  during.h = h;
  during.initial = before.visited;
  const int32_t count = idx_enum_path(h, walk::visit, &during);
  idx_enum_path(h, walk::visit, &after);
  ASSERT_EQ(46u, after.visited.size());
  // Removed records are not visited; added ones are when they lie behind.
  std::vector<int32_t> expected = {before.visited[0]};
  for (const int32_t id : after.visited) {
    if (id > before.visited[0]) expected.push_back(id);
  }
  EXPECT_EQ(expected, during.visited);
  EXPECT_EQ(static_cast<int32_t>(expected.size()), count);
}

}  // namespace
}  // namespace velkor_test
