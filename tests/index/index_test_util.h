// Helpers of the index tests: a handle that closes itself, little-endian
// words of a file image, and where a saved file keeps its times.
#ifndef VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_
#define VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_

#include <cstdint>
#include <string>
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

}  // namespace velkor_test

#endif  // VELKOR_TESTS_INDEX_INDEX_TEST_UTIL_H_
