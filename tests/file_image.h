// Index files built by hand, and words read from or put into saved ones: the
// tests that make damaged or unusual files take the layout from
// common/file_format.h, as the engine and the checker do.
#ifndef VELKOR_TESTS_FILE_IMAGE_H_
#define VELKOR_TESTS_FILE_IMAGE_H_

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/file_format.h"

namespace velkor_test {

using bytes = std::vector<uint8_t>;

inline uint32_t u32_at(const bytes& b, size_t at) { return velkor::decode_u32(&b.at(at + 3) - 3); }
inline void put_u32(bytes& b, size_t at, uint32_t value) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  velkor::encode_u32(b.data() + at, value);
}
inline void append_u32(bytes& b, uint32_t value) { put_u32(b, b.size(), value); }
// Word `w` of a file's header (velkor::format::kWord...).
inline uint32_t header_word(const bytes& file, int w) { return u32_at(file, 4 * size_t(w)); }

// The stored form of a token entry without postings, its token unscrambled
// (key 0).
inline bytes token_entry_form(const std::string& token) {
  bytes b = {static_cast<uint8_t>(256 - token.size()), 0};
  b.insert(b.end(), token.begin(), token.end());
  append_u32(b, 0);
  return b;
}

struct file_image {
  struct slot {
    uint32_t offset, size;
    uint8_t in_use;
    uint32_t next;
  };
  struct name {
    uint32_t id;
    std::string path;
    uint32_t time;
  };

  uint32_t slot_size = velkor::format::kDefaultSlotSize;
  bytes data;  // the slot region, from offset 512
  std::vector<slot> slots;
  std::vector<std::pair<uint32_t, uint32_t>> tokens, paths;  // as they are to lie
  std::vector<name> names;                                   // stored unscrambled

  uint32_t data_end() const {
    return slots.empty() ? velkor::format::kDataBegin : slots.back().offset + slots.back().size;
  }

  // The four sections and the ending magic, as a save writes them behind
  // the slot data; `words` gets the header.
  bytes sections(uint32_t words[velkor::format::kHeaderWords]) const {
    using namespace velkor::format;
    const uint32_t end = data_end();
    const uint32_t front[] = {kMagic, slot_size, kDataBegin, end};
    std::copy(front, front + 4, words);
    bytes s;
    auto mark = [&](int word) { words[word] = end + static_cast<uint32_t>(s.size()); };
    mark(kWordSlotTableBegin);
    append_u32(s, static_cast<uint32_t>(slots.size()));
    for (const slot& r : slots) {
      append_u32(s, r.offset);
      append_u32(s, r.size);
      s.push_back(r.in_use);
      append_u32(s, r.next);
    }
    mark(kWordSlotTableEnd);
    for (int table = 0; table < 2; ++table) {
      mark(table == 0 ? kWordTokenTableBegin : kWordPathTableBegin);
      append_u32(s, static_cast<uint32_t>((table == 0 ? tokens : paths).size()));
      for (const auto& pair : table == 0 ? tokens : paths) {
        append_u32(s, pair.first);
        append_u32(s, pair.second);
      }
      mark(table == 0 ? kWordTokenTableEnd : kWordPathTableEnd);
    }
    mark(kWordRegistryBegin);
    append_u32(s, static_cast<uint32_t>(names.size()));
    for (const name& n : names) {
      append_u32(s, n.id);
      append_u32(s, static_cast<uint32_t>(n.path.size()));
      s.push_back(0);
      s.insert(s.end(), n.path.begin(), n.path.end());
      append_u32(s, n.time);
    }
    mark(kWordRegistryEnd);
    append_u32(s, kMagic);
    return s;
  }

  // Writes the file; slot bytes beyond `data` are a hole of a sparse file.
  void write(const std::string& path) const {
    uint32_t words[velkor::format::kHeaderWords];
    const bytes s = sections(words);
    bytes h = data;
    h.insert(h.begin(), velkor::format::kHeaderBytes, 0);
    for (int i = 0; i < velkor::format::kHeaderWords; ++i) put_u32(h, 4 * size_t(i), words[i]);
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
    out.seekp(data_end());
    out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
  }
};

}  // namespace velkor_test

#endif  // VELKOR_TESTS_FILE_IMAGE_H_
