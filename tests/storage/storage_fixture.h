// A storage over a fresh file, a small object kind whose stored form has an
// exact length, and checks of the slot records shared by the storage tests.
#ifndef VELKOR_TESTS_STORAGE_STORAGE_FIXTURE_H_
#define VELKOR_TESTS_STORAGE_STORAGE_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "storage/object_storage.h"
#include "stream/fstream.h"
#include "stream/serialize.h"
#include "test_util.h"

// Found by argument lookup, so they live beside the record.
namespace velkor {
inline bool operator==(const _CStgSlotItem& a, const _CStgSlotItem& b) {
  return a.offset == b.offset && a.size == b.size && a.in_use == b.in_use && a.next == b.next;
}
inline std::ostream& operator<<(std::ostream& os, const _CStgSlotItem& s) {
  return os << "{" << s.offset << "," << s.size << "," << int(s.in_use) << ","
            << (s.next == kNoSlot ? std::string("none") : std::to_string(s.next)) << "}";
}
}  // namespace velkor

namespace velkor_test {

// Stored form: u32 key, u32 payload length, the payload. `length` bytes in
// all, so the tests can place objects on exact slot boundaries.
struct blob {
  using key_type = uint32_t;
  static constexpr int32_t kHeader = 8;

  blob() = default;
  blob(uint32_t key, int32_t length, uint8_t fill = 0xA5) : key(key) {
    for (int32_t i = 0; i < length - kHeader; ++i) {
      payload.push_back(static_cast<uint8_t>(fill + i));
    }
  }
  int32_t length() const { return kHeader + static_cast<int32_t>(payload.size()); }

  void save(velkor::_stream& s) const {
    velkor::write_u32(s, key);
    velkor::write_u32(s, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) s.write(payload.data(), static_cast<int32_t>(payload.size()));
  }
  void load(velkor::_stream& s) {
    gathered = s._size();
    key = velkor::read_u32(s);
    payload.resize(velkor::read_u32(s));
    if (!payload.empty()) s.read(payload.data(), static_cast<int32_t>(payload.size()));
  }
  static void load_key(velkor::_stream& s, key_type& k) { k = velkor::read_u32(s); }

  bool operator==(const blob& o) const { return key == o.key && payload == o.payload; }
  bool operator!=(const blob& o) const { return !(*this == o); }

  uint32_t key = 0;
  std::vector<uint8_t> payload;
  int32_t gathered = 0;  // bytes the load found in memory, whole slots
};

// An object kind with an empty stored form.
struct nothing {
  using key_type = uint32_t;
  void save(velkor::_stream&) const {}
  void load(velkor::_stream&) {}
  static void load_key(velkor::_stream&, key_type&) {}
};

inline velkor::_CStgSlotItem slot(uint32_t offset, int32_t size, uint8_t in_use = 1,
                                  uint32_t next = velkor::kNoSlot) {
  return {offset, size, in_use, next};
}

class storage_test : public ::testing::Test {
 protected:
  storage_test() : path(dir.file("index")), file((touch(path), path.c_str()), kMode, true) {}

  static constexpr uint32_t kMode = velkor::_fstream::kRead | velkor::_fstream::kWrite;

  // Back to a new, empty storage over an empty file.
  void reset() {
    st.slots.clear();
    st.idle_slots.clear();
    st.modified = false;
    file.resize(0);
  }
  int32_t file_size() { return file._size(); }
  std::vector<uint8_t> file_bytes(uint32_t offset, int32_t count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    file.seek(static_cast<int32_t>(offset), 0);
    file.read(bytes.data(), count);
    return bytes;
  }
  static std::vector<uint8_t> stored_form(const blob& b) {
    velkor::_memadapter adapter;
    velkor::_memstream memory(&adapter);
    b.save(memory);
    return adapter.buffer;
  }
  // Offsets of the chain starting at `id`.
  std::vector<uint32_t> chain(uint32_t id) {
    std::vector<velkor::_CStgSlotItem> items;
    velkor::_CObjectStorage::__CPredCollectLinkedSlotItem collect(&items);
    st.__go_through_slot_link(id, collect);
    std::vector<uint32_t> offsets;
    for (const auto& s : items) offsets.push_back(s.offset);
    return offsets;
  }
  blob load(uint32_t id) {
    blob b;
    EXPECT_TRUE(st._load_object_entire(id, b));
    return b;
  }
  // Slots tile from 512 to the file's end; every idle slot is named once in
  // the idle list and no slot of a chain is.
  void expect_sound() {
    uint32_t at = st.data_begin;
    size_t idle = 0;
    for (const auto& s : st.slots) {
      ASSERT_EQ(s.offset, at);
      ASSERT_GT(s.size, 0);
      at += static_cast<uint32_t>(s.size);
      const auto named = std::count(st.idle_slots.begin(), st.idle_slots.end(), s.offset);
      ASSERT_EQ(named, s.in_use ? 0 : 1) << s;
      if (!s.in_use) {
        ++idle;
        ASSERT_EQ(s.next, velkor::kNoSlot);
      }
    }
    EXPECT_EQ(st.data_end(), at);
    EXPECT_EQ(static_cast<uint32_t>(file_size()), at);
    EXPECT_EQ(st.idle_slots.size(), idle);
  }

  temp_dir dir;
  std::string path;
  velkor::_fstream file;
  velkor::_CObjectStorage st{&file};
};

inline error_texts storage_error(const char* id, const char* msg, const char* where) {
  return {id, msg, where, "", ""};
}

}  // namespace velkor_test

#endif  // VELKOR_TESTS_STORAGE_STORAGE_FIXTURE_H_
