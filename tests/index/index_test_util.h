// Helpers of the index tests: a handle that closes itself, little-endian
// words of a file image, and the sections of a saved index file.
#ifndef VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_
#define VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_util.h"
#include "velkor_index.h"

namespace velkor_test {

// Owns an idx_handle; closes it (without saving) when it goes.
class handle {
 public:
  explicit handle(idx_handle h = nullptr) : h_(h) {}
  ~handle() { idx_close(h_); }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;
  operator idx_handle() const { return h_; }
  void reset() {
    idx_close(h_);
    h_ = nullptr;
  }
  // Closes, then opens `path` again (the file is held by one handle at a time).
  void reopen(const std::string& path, bool read_only = false) {
    reset();
    h_ = idx_open(path.c_str(), read_only);
  }

 private:
  idx_handle h_;
};

inline uint32_t u32_at(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t{bytes.at(at)} | uint32_t{bytes.at(at + 1)} << 8 |
         uint32_t{bytes.at(at + 2)} << 16 | uint32_t{bytes.at(at + 3)} << 24;
}

inline void put_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

inline void append_u32(std::vector<uint8_t>& bytes, uint32_t value) {
  bytes.resize(bytes.size() + 4);
  put_u32(bytes, bytes.size() - 4, value);
}

// Runs `look` (which reads the file at `path`) on the file of the open index
// `h`. Windows lets nobody open a file that an index holds, so there the
// index is closed for the look and opened again read-write, with empty
// caches and default cache limits; elsewhere it stays open.
template <class Look>
auto look_at_held_file(handle& h, const std::string& path, Look look) {
#if defined(_WIN32)
  h.reset();
  auto result = look();
  h.reopen(path);
  return result;
#else
  (void)h;
  (void)path;
  return look();
#endif
}

// An empty file opened as a new index.
inline idx_handle open_new(const std::string& path, bool read_only = false) {
  touch(path);
  return idx_open(path.c_str(), read_only);
}

// The offsets of the time fields in the path-name registry section of a saved
// file (word 10 points at the section: u32 N, then N x { u32 id, u32 length,
// u8 key, bytes, u32 time }).
inline std::vector<size_t> registry_time_offsets(const std::vector<uint8_t>& file) {
  std::vector<size_t> out;
  size_t at = u32_at(file, 40);
  const uint32_t n = u32_at(file, at);
  at += 4;
  for (uint32_t i = 0; i < n; ++i) {
    at += 4;
    at += 4 + 1 + u32_at(file, at);
    out.push_back(at);
    at += 4;
  }
  return out;
}

// A saved index file written by hand: each object fills one 32-byte slot
// (in use, unlinked) from offset 512 on; strings are stored with the key 0,
// that is unscrambled, so that the expected bytes can be spelled out.
struct file_image {
  std::vector<std::vector<uint8_t>> objects;
  std::vector<std::pair<uint32_t, uint32_t>> tokens, paths;
  std::vector<std::tuple<uint32_t, std::string, uint32_t>> names;
  uint32_t slot_size = 32;
};

inline std::vector<uint8_t> build_index_file(const file_image& image) {
  std::vector<uint8_t> f(512, 0);
  for (const auto& object : image.objects) {
    std::vector<uint8_t> slot(object);
    slot.resize(32, 0);
    f.insert(f.end(), slot.begin(), slot.end());
  }
  std::vector<uint32_t> words = {0x013265F6u, image.slot_size, 512, uint32_t(f.size())};
  words.push_back(uint32_t(f.size()));
  append_u32(f, uint32_t(image.objects.size()));
  for (size_t i = 0; i < image.objects.size(); ++i) {
    append_u32(f, uint32_t(512 + 32 * i));
    append_u32(f, 32);
    f.push_back(1);
    append_u32(f, 0xFFFFFFFFu);
  }
  for (const auto* table : {&image.tokens, &image.paths}) {
    words.push_back(uint32_t(f.size()));
    words.push_back(uint32_t(f.size()));
    append_u32(f, uint32_t(table->size()));
    for (const auto& pair : *table) {
      append_u32(f, pair.first);
      append_u32(f, pair.second);
    }
  }
  words.push_back(uint32_t(f.size()));
  words.push_back(uint32_t(f.size()));
  append_u32(f, uint32_t(image.names.size()));
  for (const auto& name : image.names) {
    append_u32(f, std::get<0>(name));
    append_u32(f, uint32_t(std::get<1>(name).size()));
    f.push_back(0);
    f.insert(f.end(), std::get<1>(name).begin(), std::get<1>(name).end());
    append_u32(f, std::get<2>(name));
  }
  words.push_back(uint32_t(f.size()));
  append_u32(f, 0x013265F6u);
  for (size_t i = 0; i < words.size(); ++i) put_u32(f, 4 * i, words[i]);
  return f;
}

}  // namespace velkor_test

#endif  // VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_
