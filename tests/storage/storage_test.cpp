// The object storage: the slot table section, sound and damaged; damaged
// chains fail with their texts; the file does not depend on when forms
// reach their slots. (The caches' order of write-backs shows in the golden
// file, their content in the model test.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "file_image.h"
#include "index/entries.h"
#include "index/token_indexes.h"
#include "storage/object_storage.h"
#include "stream/fstream.h"
#include "test_util.h"
#include "velkor_index.h"

// Found by argument lookup, so they live beside the record.
namespace velkor {
inline bool operator==(const _CStgSlotItem& a, const _CStgSlotItem& b) {
  return a.offset == b.offset && a.size == b.size && a.in_use == b.in_use && a.next == b.next;
}
}  // namespace velkor

namespace velkor_test {
namespace {

using velkor::_CStgSlotItem;
using velkor::kNoSlot;

// The stored objects of the walks below: their form matters not.
using object = velkor::path_entry;

_CStgSlotItem slot(uint32_t offset, int32_t size, uint8_t in_use = 1, uint32_t next = kNoSlot) {
  return {offset, size, in_use, next};
}

class storage_test : public ::testing::Test {
 protected:
  // Forms go into their slots at once, so that the file shows them.
  storage_test() : path(dir.file("index")), file((touch(path), path.c_str()), kMode, true) {
    st.bound_forms(0);
  }

  static constexpr uint32_t kMode = velkor::_fstream::kRead | velkor::_fstream::kWrite;

  // Slot records of one chain through every record, from 512 on; the last
  // links back to `loop_to` (kNoSlot: the chain ends).
  void link_records(int count, uint32_t loop_to = kNoSlot) {
    st.slots.clear();
    for (int i = 0; i < count; ++i) {
      const uint32_t offset = 512 + 32 * static_cast<uint32_t>(i);
      st.slots.push_back(slot(offset, 32, 1, i + 1 < count ? offset + 32 : loop_to));
    }
  }
  // The records lie inside the file (a record past its end is refused).
  void load_section(const std::vector<uint8_t>& bytes) {
    if (file._size() < (1 << 16)) file.resize(1 << 16);
    velkor::_memadapter adapter{bytes, 0};
    velkor::_memstream in(&adapter);
    st._load_stg_slots(in);
  }
  temp_dir dir;
  std::string path;
  velkor::_fstream file;
  velkor::_CObjectStorage st{&file};
};

error_texts storage_error(const char* id, const char* msg, const char* where) {
  return {id, msg, where, "", ""};
}

// The slot table section: `count`, then the records.
bytes section(uint32_t count, const std::vector<_CStgSlotItem>& records) {
  file_image image;
  for (const auto& r : records)
    image.slots.push_back({r.offset, uint32_t(r.size), r.in_use, r.next});
  uint32_t words[velkor::format::kHeaderWords];
  bytes b = image.sections(words);
  b.resize(4 + velkor::format::kSlotRecordBytes * records.size());
  put_u32(b, 0, count);
  return b;
}

// The idle list is rebuilt from the in-use bytes in offset order; counts of
// zero and below load nothing, whatever follows. A damaged count must not
// reserve memory ahead of the bytes; the load fails where they run out,
// keeping the whole records before.
TEST_F(storage_test, SlotTableLoadsRebuildTheIdleListAndFailOnDamage) {
  const std::vector<_CStgSlotItem> records = {slot(512, 32, 1, 544), slot(544, 40),
                                              slot(584, 32, 0), slot(616, 32, 0)};
  load_section(section(4, records));
  EXPECT_EQ(st.slots, records);
  EXPECT_EQ(st.idle_slots, (std::vector<uint32_t>{584, 616}));
  for (uint32_t count : {0u, 0xFFFFFFFFu, 0x80000000u}) {
    load_section(section(count, {slot(512, 32)}));
    EXPECT_TRUE(st.slots.empty());
    EXPECT_TRUE(st.idle_slots.empty());
  }
  for (uint32_t size : {0u, 0x80000000u}) {
    VELKOR_CATCH(e, load_section(section(2, {slot(512, 32), slot(544, int32_t(size))})));
    EXPECT_TRUE(texts_equal(texts_of(e), storage_error("_CObjectStorage.InvalidSlotSize",
                                                       "Invalid slot size detected in stream!",
                                                       "_CObjectStorage::_load_stg_slots")));
  }
  for (uint32_t count : {3u, 2000000000u}) {
    VELKOR_CATCH(e, load_section(section(count, {slot(512, 32), slot(544, 32)})));
    EXPECT_EQ(e.get_id(), "_stream.ReadErr");
    EXPECT_EQ(st.slots.size(), 2u) << count;
  }
}

TEST_F(storage_test, DamagedChainsRaiseWithTheirTexts) {
  // A token table of a damaged file may name an offset that is no slot.
  st.slots = {slot(512, 32)};
  uint32_t key = 0;
  EXPECT_FALSE(st._load_object_partial<object>(kNoSlot, key));
  EXPECT_FALSE(st._load_object_partial<object>(513, key));
  EXPECT_FALSE(st._load_object_partial<object>(0, key));
  object b;
  const error_texts bad_link =
      storage_error("_CObjectStorage.InvalidSlotLink", "Invalid slot link detected!",
                    "_CObjectStorage::__go_through_slot_link");
  const struct {
    const char* name;
    std::vector<_CStgSlotItem> slots;
    std::function<void()> run;
    error_texts expected;
  } cases[] = {
      {"link to no slot",
       {slot(512, 32, 1, 540)},
       [&] { st._load_object_entire(512, b); },
       bad_link},
      {"idle slot in a chain",
       {slot(512, 32, 1, 544), slot(544, 32, 0)},
       [&] { st._load_object_entire(512, b); },
       storage_error("", "Invalid slot item detected!", "_CObjectStorage::_load_object_entire")},
      {"idle first slot",
       {slot(512, 32, 0)},
       [&] { st._load_object_partial<object>(512, key); },
       storage_error("", "Invalid slot item detected!", "_CObjectStorage::_load_object_partial")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    st.slots = c.slots;
    file.resize(static_cast<int32_t>(st.data_end()));
    VELKOR_CATCH(e, c.run());
    EXPECT_TRUE(texts_equal(texts_of(e), c.expected));
    EXPECT_EQ(st.slots, c.slots);
  }
}

// A chain may not be longer than 65,536 slots. A loop cannot end before
// that, so the walk gives up as soon as it has seen more slots than there
// are records, whoever walks.
TEST_F(storage_test, TooLongAndLoopingChainsFail) {
  int visits = 0;
  auto count = [&visits](_CStgSlotItem&) { return ++visits > 0; };
  link_records(0x10000);
  EXPECT_EQ(st.__go_through_slot_link(512, count), 0x10000);
  link_records(0x10001);
  visits = 0;
  VELKOR_CATCH(e, st.__go_through_slot_link(512, count));
  EXPECT_TRUE(texts_equal(
      texts_of(e), storage_error("_CObjectStorage.TooManySlotsLinked", "Too many slots linked!",
                                 "_CObjectStorage::__go_through_slot_link")));
  EXPECT_EQ(visits, 0x10001);
  for (uint32_t loop_to : {512u, 576u}) {
    SCOPED_TRACE(loop_to);
    link_records(3, loop_to);
    visits = 0;
    object b;
    const std::function<void()> walkers[] = {[&] { st.__go_through_slot_link(512, count); },
                                             [&] { st._load_object_entire(512, b); },
                                             [&] {
                                               st._save_object_at(512, object{1, {2, 3}});
                                             },
                                             [&] { st.free_object(512); }};
    for (const auto& walk : walkers) {
      VELKOR_CATCH(loop, walk());
      EXPECT_EQ(loop.get_id(), "_CObjectStorage.TooManySlotsLinked");
    }
    EXPECT_EQ(visits, 3);
  }
}

velkor::_CTokenIndexes* index_of(idx_handle h) {
  return reinterpret_cast<velkor::_CTokenIndexes*>(h);
}

// Texts over a vocabulary where a few tokens are in most texts (long
// chains that grow a slot at a time) and many are rare (more distinct
// tokens per text than the cache holds).
std::string text(std::mt19937& random) {
  std::string out;
  for (int i = 0; i < 160; ++i) {
    const uint32_t r = random() % 1000;
    const uint32_t token = r < 400 ? r % 12 : r < 800 ? 12 + r % 90 : 100 + random() % 700;
    out += "w" + std::to_string(token) + " ";
  }
  return out;
}

// Indexes, re-indexes (counts add), discards (chains shrink and are freed),
// saves; reopens a saved file and goes on.
std::vector<uint8_t> run(const std::string& path, size_t bound) {
  std::srand(7);  // the scrambling keys
  std::mt19937 random(11);
  touch(path);
  std::vector<uint32_t> ids;
  for (int round = 0; round < 3; ++round) {
    idx_handle h = idx_open(path.c_str(), false);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return {};
    index_of(h)->object_storage()->bound_forms(bound);
    std::vector<uint32_t> again;
    for (int i = 0; i < 60; ++i) {
      const bool reindex = i % 5 == 4 && !ids.empty();
      const uint32_t id = reindex ? ids[random() % ids.size()] : 1000 + random();
      ids.push_back(id);
      if (reindex) again.push_back(id);
      EXPECT_NE(idx_index(h, id, text(random).c_str(), " "), 0xFFFFFFFFu);
      if (i % 9 == 8) idx_discard(h, ids[random() % ids.size()]);
      if (round == 1 && i == 30) {
        EXPECT_TRUE(idx_save(h));
      }
    }
    // Freed chains keep their last bytes unless new ones take them: those
    // of path entries rewritten since they were loaded.
    for (const uint32_t id : again) idx_discard(h, id);
    EXPECT_TRUE(idx_save(h));
    idx_close(h);
  }
  return read_file(path);
}

// Kept forms and the run of new objects change when slot bytes are
// written, never which: a workload with small caches leaves the same file
// whether every form goes into its slots at once (bound 0), in batches past
// a small bound, or only at the save. Freed slots keep the bytes of their
// last form, which only a comparison of the files sees.
TEST(KeptForms, TheFileIsTheSameWhenFormsAreWrittenLaterOrAtOnce) {
  temp_dir dir;
  const std::vector<uint8_t> at_once = run(dir.file("at_once.idx"), 0);
  ASSERT_GT(at_once.size(), 100000u);
  EXPECT_EQ(run(dir.file("batches.idx"), 16 * 1024), at_once);
  EXPECT_EQ(run(dir.file("kept.idx"), size_t{1} << 30), at_once);
}

}  // namespace
}  // namespace velkor_test
