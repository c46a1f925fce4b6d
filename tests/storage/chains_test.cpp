// Objects stored as chains of slots: storing, rewriting, loading, freeing,
// walking damaged chains, and the block copy under all of them.
#include <functional>
#include <sstream>
#include <string>

#include "storage/storage_fixture.h"

namespace velkor_test {
namespace {

using velkor::_CStgSlotItem;
using velkor::kNoSlot;

class chains : public storage_test {
 protected:
  // Slot records of one chain through every record, from 512 on; the last
  // links back to `loop_to` (kNoSlot: the chain ends).
  void link_records(int count, uint32_t loop_to = kNoSlot) {
    st.slots.clear();
    for (int i = 0; i < count; ++i) {
      const uint32_t offset = 512 + 32 * static_cast<uint32_t>(i);
      st.slots.push_back(slot(offset, 32, 1, i + 1 < count ? offset + 32 : loop_to));
    }
  }
};

struct counting_pred {
  bool operator()(_CStgSlotItem&) {
    ++visits;
    return true;
  }
  int visits = 0;
};

TEST_F(chains, RewritesReuseTheChainFromTheFront) {
  const blob first(1, 40);
  ASSERT_EQ(st._save_new_object(first), 512u);
  EXPECT_EQ(st.slots, std::vector<_CStgSlotItem>{slot(512, 40)});
  EXPECT_EQ(file_bytes(512, 40), stored_form(first));

  const blob grown(1, 100, 0x10);
  st._save_object_at(512, grown);
  EXPECT_EQ(st.slots, (std::vector<_CStgSlotItem>{slot(512, 40, 1, 552), slot(552, 60)}));
  EXPECT_EQ(file_bytes(512, 100), stored_form(grown));
  EXPECT_EQ(load(512), grown);

  // An exact fit frees nothing, appends nothing and keeps the links.
  const blob same_size(1, 100, 0x20);
  st.modified = false;
  st._save_object_at(512, same_size);
  EXPECT_EQ(st.slots, (std::vector<_CStgSlotItem>{slot(512, 40, 1, 552), slot(552, 60)}));
  EXPECT_TRUE(st.idle_slots.empty());
  EXPECT_TRUE(st.modified);
  EXPECT_EQ(load(512), same_size);

  const blob shrunk(1, 30, 0x30);
  st._save_object_at(512, shrunk);
  EXPECT_EQ(st.slots, (std::vector<_CStgSlotItem>{slot(512, 40), slot(552, 60, 0)}));
  EXPECT_EQ(st.idle_slots, std::vector<uint32_t>{552});
  EXPECT_EQ(load(512), shrunk);

  // Growth appends one slot of at least the slot size; idle slots are left
  // for new objects.
  const blob five_more(1, 45, 0x40);
  st._save_object_at(512, five_more);
  EXPECT_EQ(st.slots,
            (std::vector<_CStgSlotItem>{slot(512, 40, 1, 612), slot(552, 60, 0), slot(612, 32)}));
  EXPECT_EQ(st.idle_slots, std::vector<uint32_t>{552});
  EXPECT_EQ(load(512), five_more);
  expect_sound();
}

TEST_F(chains, MissingObjectsAreAnsweredNotRaised) {
  EXPECT_EQ(st._save_new_object(nothing{}), kNoSlot);
  EXPECT_TRUE(st.slots.empty());
  EXPECT_EQ(file_size(), 0);
  st._save_new_object(blob(7, 40));
  blob b;
  uint32_t key = 0;
  EXPECT_FALSE(st._load_object_entire(kNoSlot, b));
  EXPECT_FALSE(st._load_object_partial<blob>(kNoSlot, key));
  EXPECT_FALSE(st._load_object_partial<blob>(513, key));
  EXPECT_FALSE(st._load_object_partial<blob>(0, key));
  st.modified = false;
  EXPECT_EQ(st.free_object(kNoSlot), 0);
  EXPECT_FALSE(st.modified);
}

TEST_F(chains, FreeingAppendsTheChainToTheIdleList) {
  st.slots = {slot(512, 32, 0), slot(544, 32, 1, 608), slot(576, 32), slot(608, 32, 1, 576)};
  st.idle_slots = {512};
  EXPECT_EQ(st.free_object(544), 3);
  EXPECT_EQ(st.idle_slots, (std::vector<uint32_t>{512, 544, 608, 576}));
  for (const auto& s : st.slots) EXPECT_EQ(s, slot(s.offset, 32, 0));
  EXPECT_TRUE(st.modified);
}

TEST_F(chains, ErrorsCarryTheirTexts) {
  const char* kWalk = "_CObjectStorage::__go_through_slot_link";
  const char* kSaveAt = "_CObjectStorage::_save_object_at";
  blob b;
  uint32_t key = 0;
  struct error_case {
    const char* name;
    std::vector<_CStgSlotItem> slots;
    std::function<void()> run;
    error_texts expected;
  };
  const error_case cases[] = {
      {"load from no slot",
       {slot(512, 32)},
       [&] { st._load_object_entire(513, b); },
       storage_error("_CObjectStorage.InvalidSlotLink", "Invalid slot link detected!", kWalk)},
      {"link to no slot",
       {slot(512, 32, 1, 540)},
       [&] { st._load_object_entire(512, b); },
       storage_error("_CObjectStorage.InvalidSlotLink", "Invalid slot link detected!", kWalk)},
      {"idle slot in a chain",
       {slot(512, 32, 1, 544), slot(544, 32, 0)},
       [&] { st._load_object_entire(512, b); },
       storage_error("", "Invalid slot item detected!", "_CObjectStorage::_load_object_entire")},
      {"idle first slot",
       {slot(512, 32, 0)},
       [&] { st._load_object_partial<blob>(512, key); },
       storage_error("", "Invalid slot item detected!", "_CObjectStorage::_load_object_partial")},
      {"rewrite of no object",
       {slot(512, 32)},
       [&] { st._save_object_at(kNoSlot, blob(1, 10)); },
       storage_error("_CObjectStorage.SaveAtInvalidSlot",
                     "Attempts to save an object at invalid slot!", kSaveAt)},
      {"rewrite with nothing",
       {slot(512, 32)},
       [&] { st._save_object_at(512, nothing{}); },
       storage_error("_CObjectStorage.ZeroSizeObjErr", "Attempts to save a zero-sized object!",
                     kSaveAt)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    st.slots = c.slots;
    file.resize(static_cast<int32_t>(st.data_end()));
    const auto before = st.slots;
    VELKOR_CATCH(e, c.run());
    EXPECT_TRUE(texts_equal(texts_of(e), c.expected));
    if (c.expected.id == "_CObjectStorage.InvalidSlotLink") {
      EXPECT_EQ(st.slots, before);
    }
  }
}

TEST_F(chains, WalkStopsAfterTheLongestChain) {
  link_records(0x10000);
  counting_pred count;
  EXPECT_EQ(st.__go_through_slot_link(512, count), 0x10000);
  EXPECT_EQ(count.visits, 0x10000);

  link_records(0x10001);
  counting_pred longer;
  VELKOR_CATCH(e, st.__go_through_slot_link(512, longer));
  EXPECT_TRUE(texts_equal(
      texts_of(e), storage_error("_CObjectStorage.TooManySlotsLinked", "Too many slots linked!",
                                 "_CObjectStorage::__go_through_slot_link")));
  EXPECT_EQ(longer.visits, 0x10001);
}

// A loop cannot end before the length limit, so the walk gives up as soon as
// it has seen more slots than there are records.
TEST_F(chains, LoopingChainsFailAtOnce) {
  for (uint32_t loop_to : {512u, 576u}) {
    SCOPED_TRACE(loop_to);
    link_records(3, loop_to);
    counting_pred count;
    VELKOR_CATCH(walk, st.__go_through_slot_link(512, count));
    EXPECT_EQ(walk.get_id(), "_CObjectStorage.TooManySlotsLinked");
    EXPECT_EQ(count.visits, 3);
    blob b;
    VELKOR_CATCH(load, st._load_object_entire(512, b));
    EXPECT_EQ(load.get_id(), "_CObjectStorage.TooManySlotsLinked");
    VELKOR_CATCH(rewrite, st._save_object_at(512, blob(1, 10)));
    EXPECT_EQ(rewrite.get_id(), "_CObjectStorage.TooManySlotsLinked");
    VELKOR_CATCH(free, st.free_object(512));
    EXPECT_EQ(free.get_id(), "_CObjectStorage.TooManySlotsLinked");
  }
}

// Overlapping slots of a damaged file could each yield the rest of the file;
// what a load gathers stays bounded by the file's size.
TEST_F(chains, LoadOfOverlappingSlotsGathersAtMostAboutTheFile) {
  const int32_t kFile = 4096;
  const blob object(5, 16);
  st.slots.clear();
  for (uint32_t i = 0; i < 1000; ++i) st.slots.push_back(slot(512 + i, 0x10000, 1, 513 + i));
  st.slots.back().next = kNoSlot;
  file.resize(kFile);
  file.seek(512, 0);
  const auto bytes = stored_form(object);
  file.write(bytes.data(), static_cast<int32_t>(bytes.size()));

  const blob got = load(512);
  EXPECT_EQ(got, object);
  EXPECT_LT(got.gathered, 2 * kFile);

  // Every slot is still checked beyond the cut.
  st.slots.back().in_use = 0;
  blob b;
  VELKOR_CATCH(e, st._load_object_entire(512, b));
  EXPECT_EQ(e.get_msg(), "Invalid slot item detected!");
}

// Long chains are remembered between walks. Whatever became of their records
// since (a damaged file's chains can share slots), a storage that remembered
// them must answer as one that walks them afresh.
TEST_F(chains, RememberedChainsAnswerAsAFreshWalk) {
  // Eight objects that grew in small steps: chains of eight slots or more,
  // interleaved in the file.
  std::vector<blob> objects;
  std::vector<uint32_t> ids;
  for (uint32_t key = 1; key <= 8; ++key) {
    objects.emplace_back(key, 20, static_cast<uint8_t>(key));
    ids.push_back(st._save_new_object(objects.back()));
  }
  for (int32_t length = 40; length <= 300; length += 26) {
    for (size_t i = 0; i < objects.size(); ++i) {
      objects[i] = blob(objects[i].key, length, static_cast<uint8_t>(i + length));
      st._save_object_at(ids[i], objects[i]);
    }
  }
  for (size_t i = 0; i < objects.size(); ++i) ASSERT_EQ(load(ids[i]), objects[i]);
  const auto walked = chain(512);
  ASSERT_GE(walked.size(), 8u);

  // What a load and then a rewrite of `id` give: the object or the error,
  // and the records and idle list after the rewrite.
  auto outcome = [&](velkor::_CObjectStorage& storage, uint32_t id) {
    std::string seen;
    blob b;
    try {
      seen += storage._load_object_entire(id, b) ? "loaded " + std::to_string(b.length()) : "none";
    } catch (velkor::_exception& e) {
      seen += e.get_id() + ": " + e.get_msg();
    }
    try {
      storage._save_object_at(id, blob(9, 200));
      seen += "; rewritten";
    } catch (velkor::_exception& e) {
      seen += "; " + e.get_id() + ": " + e.get_msg();
    }
    std::ostringstream records;
    for (const auto& r : storage.slots) records << r;
    for (const uint32_t i : storage.idle_slots) records << " " << i;
    return seen + "; " + records.str();
  };
  const auto other_chain = chain(ids.back());
  const std::vector<std::pair<const char*, std::function<void()>>> damages = {
      {"cut", [&] { st.find_slot(walked[3])->next = kNoSlot; }},
      {"into another chain", [&] { st.find_slot(walked[2])->next = other_chain[4]; }},
      {"idle slot", [&] { st.find_slot(walked[5])->in_use = 0; }},
      {"loop", [&] { st.find_slot(walked[6])->next = walked[1]; }},
      {"no such slot", [&] { st.find_slot(walked[4])->next = 513; }},
      {"longer", [&] { st.find_slot(walked.back())->next = other_chain[0]; }},
      {"untouched", [] {}},
  };
  const auto pristine_slots = st.slots;
  const auto pristine_idle = st.idle_slots;
  const int32_t pristine_size = file_size();
  const auto pristine_file = file_bytes(0, pristine_size);
  auto restore_file = [&] {
    file.resize(pristine_size);
    file.seek(0, 0);
    file.write(pristine_file.data(), pristine_size);
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.first);
    restore_file();
    st.slots = pristine_slots;
    st.idle_slots = pristine_idle;
    ASSERT_EQ(load(512).key, 1u);  // remembered from the sound records
    damage.second();
    const auto damaged_slots = st.slots;
    const auto damaged_idle = st.idle_slots;
    velkor::_CObjectStorage fresh(&file);
    fresh.slots = damaged_slots;
    fresh.idle_slots = damaged_idle;
    const std::string expected = outcome(fresh, 512);
    restore_file();
    st.slots = damaged_slots;
    st.idle_slots = damaged_idle;
    EXPECT_EQ(outcome(st, 512), expected);
  }
}

// Records every write's size, so the block pattern of a copy shows.
class recording_stream : public velkor::_memstream {
 public:
  explicit recording_stream(velkor::_memadapter* a) : _memstream(a) {}
  int32_t _write(const void* buffer, int32_t count) override {
    writes.push_back(count);
    return _memstream::_write(buffer, count);
  }
  std::vector<int32_t> writes;
};

TEST(copy_stream, CopiesWhatIsAskedAndWhatTheSourceHolds) {
  struct copy_case {
    int32_t length, position, n, copied;
    std::vector<int32_t> writes;
  };
  const copy_case cases[] = {
      {100, 0, 0, 0, {}},
      {100, 30, -1, 70, {70}},
      {100, 30, 20, 20, {20}},
      {65536 + 100, 0, -1, 65636, {32768, 32768, 100}},
      {65536 + 100, 0, 65536, 65536, {32768, 32768}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << "@" << c.position << " n=" << c.n);
    velkor::_memadapter source_bytes;
    for (int32_t i = 0; i < c.length; ++i) source_bytes.buffer.push_back(uint8_t(i * 7));
    velkor::_memstream source(&source_bytes);
    source.seek(c.position, 0);
    velkor::_memadapter destination_bytes;
    recording_stream destination(&destination_bytes);

    EXPECT_EQ(velkor::__copy_stream(destination, source, c.n), c.copied);
    EXPECT_EQ(destination.writes, c.writes);
    EXPECT_EQ(source.tell(), c.position + c.copied);
    const auto from = source_bytes.buffer.begin() + c.position;
    EXPECT_EQ(destination_bytes.buffer, std::vector<uint8_t>(from, from + c.copied));
  }
}

}  // namespace
}  // namespace velkor_test
