// What the random sequences of the model test leave open: the read-only
// refusals with all their texts, stored times, entries read again after a
// save, thousands of freed slots, and enumeration while the callback
// changes the registry.
#include <string>
#include <vector>

#include "file_image.h"
#include "test_util.h"

namespace velkor_test {
namespace {

using velkor::format::kNoId;

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
  bytes saved = read_file(path);
  handle h(idx_open(path.c_str(), true));
  const std::string readonly = "Cannot modify the index database that is open as Readonly!";
  EXPECT_EQ(kNoId, idx_index(h, id, "z", nullptr));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.Readonly", readonly,
                                               "_CTokenIndexes::_insert_tokens", "", ""}));
  EXPECT_EQ(kNoId, idx_discard(h, id));
  EXPECT_TRUE(texts_equal(last_error_texts(), {"_CTokenIndexes.ReadonlyIndex", readonly,
                                               "_CTokenIndexes::_delete_path_id", "", ""}));
  EXPECT_EQ(-1, idx_enum_path(h, nullptr, nullptr));
  EXPECT_TRUE(texts_equal(last_error_texts(),
                          {"_CTokenIndexes.NullCallback", "The enumeration callback is null!",
                           "_CTokenIndexes::_enum_paths", "", ""}));
  // Registering works in memory; a save refuses without an error.
  EXPECT_NE(kNoId, idx_id_of(h, "new", true));
  EXPECT_FALSE(idx_save(h));
  EXPECT_TRUE(no_error());
  h.reset();
  EXPECT_EQ(saved, read_file(path));

  // Stored times are signed 32-bit numbers. The one path's time is the last
  // word of the registry.
  for (const uint32_t stored : {0x80000001u, 0xFFFFFFFFu}) {
    put_u32(saved, header_word(saved, velkor::format::kWordRegistryEnd) - 4, stored);
    write_file(path, saved);
    h.reopen(path, true);
    EXPECT_EQ(static_cast<int32_t>(stored), idx_time_of(h, static_cast<int32_t>(id)));
    h.reset();  // on Windows nobody may write a file an index holds
  }
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
  bytes f = read_file(path);
  const size_t table = header_word(f, velkor::format::kWordSlotTableBegin);
  const uint32_t n = u32_at(f, table);
  bytes moved(f.begin() + static_cast<ptrdiff_t>(table),
              f.begin() + static_cast<ptrdiff_t>(table + 4 + 13 * n));
  const uint32_t last = u32_at(moved, 4 + 13 * (n - 1));
  ASSERT_EQ(99u, u32_at(moved, 4 + 13 * (n - 1) + 4));  // the chain's tail
  put_u32(moved, 0, n + 1);
  for (const uint32_t v : {last + 40, 32u}) append_u32(moved, v);  // offset, size,
  moved.push_back(0);                                              // idle, no link
  append_u32(moved, kNoId);
  put_u32(f, 4 * velkor::format::kWordSlotTableBegin, static_cast<uint32_t>(f.size()));
  f.insert(f.end(), moved.begin(), moved.end());
  put_u32(f, 4 * velkor::format::kWordSlotTableEnd, static_cast<uint32_t>(f.size()));
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

// A discard that frees thousands of slots: new entries take them all again
// (the idle list drops what they took from its front, and now and then
// gives the room back).
TEST(Indexing, ThousandsOfFreedSlotsAreTakenAgain) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  std::string a, b;
  for (int i = 0; i < 6000; ++i) {
    a += "a" + std::to_string(i) + " ";
    b += "b" + std::to_string(i) + " ";
  }
  ASSERT_EQ(6000u, idx_index(h, 1, a.c_str(), nullptr));
  ASSERT_NE(kNoId, idx_discard(h, 1));
  ASSERT_EQ(6000u, idx_index(h, 2, b.c_str(), nullptr)) << _get_err_id();
  EXPECT_EQ(6000u, idx_index(h, 3, a.c_str(), nullptr)) << _get_err_id();
  EXPECT_STREQ("2,1", idx_query(h, "b5999", nullptr));
  EXPECT_LT(idx_count_of(h, 2), 10);
}

// At its first call (when `h` is set) the callback discards its own record
// and the next one, and registers 40 more paths: removed records are not
// visited; added ones are when they lie behind.
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
  std::vector<int32_t> expected = {before.visited[0]};
  for (const int32_t id : after.visited) {
    if (id > before.visited[0]) expected.push_back(id);
  }
  EXPECT_EQ(expected, during.visited);
  EXPECT_EQ(static_cast<int32_t>(expected.size()), count);
}

}  // namespace
}  // namespace velkor_test
