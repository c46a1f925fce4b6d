// Slot allocation, the 2 GiB growth limit and the slot table section.
#include <cstring>
#include <limits>

#include "storage/storage_fixture.h"

namespace velkor_test {
namespace {

using velkor::_CStgSlotItem;
using velkor::kNoSlot;

class slot_table : public storage_test {
 protected:
  // Appends slots of `sizes` and frees them in `free_order` (indices), so the
  // idle list holds them in that order; the storage is left unmodified.
  void make_idle(const std::vector<int32_t>& sizes, const std::vector<int>& free_order) {
    for (int32_t size : sizes) st.__alloc_new_slot(size);
    for (int i : free_order) st.free_object(st.slots[i].offset);
    st.modified = false;
  }
  std::vector<uint8_t> section() {
    velkor::_memadapter adapter;
    velkor::_memstream out(&adapter);
    st._save_stg_slots(out);
    return adapter.buffer;
  }
  void load_section(const std::vector<uint8_t>& bytes) {
    velkor::_memadapter adapter{bytes, 0};
    velkor::_memstream in(&adapter);
    st._load_stg_slots(in);
  }
};

std::vector<uint8_t> le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}
std::vector<uint8_t> record(const _CStgSlotItem& s) {
  std::vector<uint8_t> r = le32(s.offset);
  append(r, le32(static_cast<uint32_t>(s.size)));
  r.push_back(s.in_use);
  append(r, le32(s.next));
  return r;
}

TEST_F(slot_table, AllocationTakesIdleSlotsInOrderThenAppendsOne) {
  struct allocation_case {
    const char* name;
    std::vector<int32_t> sizes;
    std::vector<int> free_order;
    int32_t request;
    std::vector<std::pair<uint32_t, int32_t>> out;  // offset, capacity in chain order
    std::vector<uint32_t> idle_after;
    int32_t file_after;
  };
  const allocation_case cases[] = {
      {"empty storage, small request", {}, {}, 10, {{512, 32}}, {}, 544},
      {"two of three idle slots", {32, 32, 32}, {0, 1, 2}, 50, {{512, 32}, {544, 32}}, {576}, 608},
      {"idle order, not offsets", {32, 32, 32}, {2, 0}, 50, {{576, 32}, {512, 32}}, {}, 608},
      {"shortfall above slot size", {32}, {0}, 100, {{512, 32}, {544, 68}}, {}, 612},
      {"large idle slot taken whole", {100}, {0}, 10, {{512, 100}}, {}, 612},
      {"zero request", {32}, {0}, 0, {}, {512}, 544},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    make_idle(c.sizes, c.free_order);
    std::vector<_CStgSlotItem> out;
    st.__alloc_stg_slots(c.request, out);

    std::vector<std::pair<uint32_t, int32_t>> got;
    for (const auto& s : out) got.push_back({s.offset, s.size});
    EXPECT_EQ(got, c.out);
    EXPECT_EQ(st.idle_slots, c.idle_after);
    EXPECT_EQ(file_size(), c.file_after);
    EXPECT_EQ(st.modified, !c.out.empty());
    if (out.empty()) continue;
    std::vector<uint32_t> linked;
    for (const auto& s : out) linked.push_back(s.offset);
    EXPECT_EQ(chain(out.front().offset), linked);
    for (uint32_t id : linked) EXPECT_TRUE(st.find_slot(id)->in_use);
    expect_sound();
  }
}

TEST_F(slot_table, DamagedIdleListEntriesFailAndStayConsumed) {
  make_idle({32, 32}, {0, 1});
  st.idle_slots.insert(st.idle_slots.begin() + 1, 9999);  // names no slot
  std::vector<_CStgSlotItem> out;
  VELKOR_CATCH(unknown, st.__alloc_stg_slots(100, out));
  EXPECT_TRUE(texts_equal(
      texts_of(unknown),
      storage_error("_CObjectStorage.InvalidIdleSlot", "Invalid slot detected in the IDLE list!",
                    "_CObjectStorage::__alloc_stg_slots")));
  // The slot taken before the failure stays taken, its entry consumed.
  EXPECT_EQ(st.idle_slots, (std::vector<uint32_t>{kNoSlot, 9999, 544}));
  EXPECT_TRUE(st.find_slot(512)->in_use);
  VELKOR_CATCH(recycled, st.__alloc_stg_slots(10, out));
  EXPECT_TRUE(texts_equal(
      texts_of(recycled),
      storage_error("_CObjectStorage.InvalidIdleSlot", "Invalid slot detected in the Recycle list!",
                    "_CObjectStorage::__alloc_stg_slots")));
}

// The file is only extended sparse, never written near 2 GiB.
TEST_F(slot_table, GrowthStopsShortOfTwoGigabytes) {
  constexpr int32_t kLimit = 0x7F7FFFFF;
  struct limit_case {
    int32_t size, n;
    bool ok;
    bool tiled = true;  // slots reach the end of the file
  };
  const limit_case cases[] = {
      {kLimit - 39, 38, true},
      {kLimit - 39, 39, false},
      // The request counts, not the capacity it is rounded up to.
      {kLimit - 11, 10, true},
      // The file's size counts, not the end of slot data.
      {kLimit - 39, 39, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    reset();
    if (c.tiled) st.slots = {slot(512, c.size - 512)};
    file.resize(c.size);
    if (c.ok) {
      EXPECT_EQ(st.__alloc_new_slot(c.n), slot(static_cast<uint32_t>(c.size), std::max(c.n, 32)));
      EXPECT_EQ(file_size(), c.size + std::max(c.n, 32));
      EXPECT_TRUE(st.modified);
      continue;
    }
    VELKOR_CATCH(e, st.__alloc_new_slot(c.n));
    EXPECT_TRUE(texts_equal(texts_of(e), storage_error("_CStgSlotItem.FileSizeLimit2G",
                                                       "File size exceeding 2GB limit!",
                                                       "_CStgSlotItem::__alloc_new_slot")));
    EXPECT_EQ(st.slots.size(), c.tiled ? 1u : 0u);
    EXPECT_FALSE(st.modified);
    EXPECT_EQ(file_size(), c.size);
  }
  file.resize(0);
}

// Records of 13 bytes (offset, size, in-use byte, next) behind a count; the
// idle list is rebuilt from the in-use bytes in offset order.
TEST_F(slot_table, SectionIsExactAndLoadsBack) {
  make_idle({32, 40, 32, 32}, {3, 2});
  st.slots[0].next = 544;
  st.modified = true;
  std::vector<uint8_t> expected = le32(4);
  for (const auto& s : st.slots) append(expected, record(s));
  EXPECT_EQ(section(), expected);
  EXPECT_FALSE(st.modified);

  const auto saved = st.slots;
  st.slots.clear();
  st.modified = true;
  load_section(expected);
  EXPECT_EQ(st.slots, saved);
  EXPECT_EQ(st.idle_slots, (std::vector<uint32_t>{584, 616}));
  EXPECT_FALSE(st.modified);

  // Counts of zero and below load nothing, whatever follows.
  for (uint32_t count : {0u, 0xFFFFFFFFu, 0x80000000u}) {
    std::vector<uint8_t> bytes = le32(count);
    append(bytes, record(slot(512, 32)));
    load_section(bytes);
    EXPECT_TRUE(st.slots.empty());
    EXPECT_TRUE(st.idle_slots.empty());
  }
  EXPECT_EQ(section(), le32(0));

  std::vector<uint8_t> many = le32(6000);
  for (uint32_t i = 0; i < 6000; ++i) append(many, record(slot(512 + 32 * i, 32, i % 7 ? 1 : 0)));
  load_section(many);
  EXPECT_EQ(st.slots[5998], slot(512 + 32 * 5998, 32, 1));
  EXPECT_EQ(st.idle_slots.size(), 858u);
  EXPECT_EQ(section(), many);
}

// A damaged count must not reserve memory ahead of the bytes; the load fails
// on the field that ran short, keeping the whole records before it.
TEST_F(slot_table, DamagedSectionsFailTheLoad) {
  for (uint32_t size : {0u, 0x80000000u}) {
    std::vector<uint8_t> bytes = le32(2);
    append(bytes, record(slot(512, 32)));
    append(bytes, record(slot(544, static_cast<int32_t>(size))));
    VELKOR_CATCH(e, load_section(bytes));
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
    std::vector<uint8_t> bytes = le32(c.count);
    for (int i = 0; i < c.full_records; ++i) append(bytes, record(slot(512 + 32 * i, 32)));
    append(bytes, std::vector<uint8_t>(static_cast<size_t>(c.extra_bytes), 0x11));
    VELKOR_CATCH(e, load_section(bytes));
    EXPECT_EQ(std::string(e.get_id()), "_stream.ReadErr");
    const std::string expected = "AvailableSize[0] RequiredSize[" + std::to_string(c.required) + "]";
    EXPECT_EQ(std::string(e.get_params()).substr(0, expected.size()), expected);
    EXPECT_EQ(st.slots.size(), static_cast<size_t>(c.full_records));
  }
}

}  // namespace
}  // namespace velkor_test
