// The object storage: the slot table section, sound and damaged; damaged
// chains fail with their texts. (The caches' order of write-backs shows in
// the golden file, their content in the model test.)
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_image.h"
#include "storage/object_storage.h"
#include "stream/fstream.h"
#include "stream/serialize.h"
#include "test_util.h"

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

// Stored form: u32 key, u32 payload length, the payload. `length` bytes in
// all, so the tests can place objects on exact slot boundaries.
struct blob {
  using key_type = uint32_t;

  blob() = default;
  blob(uint32_t key, int32_t length, uint8_t fill = 0xA5) : key(key) {
    for (int32_t i = 0; i < length - 8; ++i) payload.push_back(static_cast<uint8_t>(fill + i));
  }

  void save(velkor::_stream& s) const {
    velkor::write_u32(s, key);
    velkor::write_u32(s, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) s.write(payload.data(), static_cast<int32_t>(payload.size()));
  }
  void load(velkor::_stream& s) {
    key = velkor::read_u32(s);
    payload.resize(velkor::read_u32(s));
    if (!payload.empty()) s.read(payload.data(), static_cast<int32_t>(payload.size()));
  }
  static void load_key(velkor::_stream& s, key_type& k) { k = velkor::read_u32(s); }
  static int64_t stored_length(const uint8_t* bytes, size_t n) {
    return n < 8 ? -1 : 8 + int64_t{velkor::decode_u32(bytes + 4)};
  }

  uint32_t key = 0;
  std::vector<uint8_t> payload;
};

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

  // Back to a new, empty storage over an empty file.
  void reset() {
    st.slots.clear();
    st.idle_slots.clear();
    st.modified = false;
    file.resize(0);
  }
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
// reserve memory ahead of the bytes; the load fails on the field that ran
// short, keeping the whole records before it.
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
  const struct {
    uint32_t count;
    int full_records, extra_bytes;
    int32_t required;
  } cases[] = {{2000000000, 0, 0, 4}, {2000000000, 1, 8, 1}, {2000000000, 1, 10, 4}, {3, 2, 0, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    std::vector<_CStgSlotItem> records;
    for (int i = 0; i < c.full_records; ++i) records.push_back(slot(512 + 32 * i, 32));
    std::vector<uint8_t> bytes = section(c.count, records);
    bytes.resize(bytes.size() + static_cast<size_t>(c.extra_bytes), 0x11);
    VELKOR_CATCH(e, load_section(bytes));
    EXPECT_EQ(e.get_id(), "_stream.ReadErr");
    const std::string expected =
        "AvailableSize[0] RequiredSize[" + std::to_string(c.required) + "]";
    EXPECT_EQ(e.get_params().substr(0, expected.size()), expected);
    EXPECT_EQ(st.slots.size(), static_cast<size_t>(c.full_records));
  }
}

TEST_F(storage_test, DamagedChainsRaiseWithTheirTexts) {
  // A token table of a damaged file may name an offset that is no slot.
  st.slots = {slot(512, 32)};
  uint32_t key = 0;
  EXPECT_FALSE(st._load_object_partial<blob>(kNoSlot, key));
  EXPECT_FALSE(st._load_object_partial<blob>(513, key));
  EXPECT_FALSE(st._load_object_partial<blob>(0, key));
  blob b;
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
       [&] { st._load_object_partial<blob>(512, key); },
       storage_error("", "Invalid slot item detected!", "_CObjectStorage::_load_object_partial")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
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
    blob b;
    const std::function<void()> walkers[] = {
        [&] { st.__go_through_slot_link(512, count); }, [&] { st._load_object_entire(512, b); },
        [&] { st._save_object_at(512, blob(1, 10)); }, [&] { st.free_object(512); }};
    for (const auto& walk : walkers) {
      VELKOR_CATCH(loop, walk());
      EXPECT_EQ(loop.get_id(), "_CObjectStorage.TooManySlotsLinked");
    }
    EXPECT_EQ(visits, 3);
  }
}

}  // namespace
}  // namespace velkor_test
