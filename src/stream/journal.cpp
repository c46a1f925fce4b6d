#include "stream/journal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "stream/fault_injection.h"
#include "stream/serialize.h"

namespace velkor {

namespace {

constexpr char kMagic[8] = {'v', 'e', 'l', 'k', 'o', 'r', 'J', '1'};

// Tells a record written whole from one cut short or damaged; not a
// defence against anyone who means harm. Four lanes of words summed with a
// rotation, independent of each other, then mixed: a few cycles per 32
// bytes.
uint32_t checksum(uint32_t seed, const uint8_t* bytes, size_t count) {
  uint64_t lanes[4] = {0x9E3779B97F4A7C15ull ^ seed, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                       0x27D4EB2F165667C5ull};
  auto step = [](uint64_t h, uint64_t word) {
    h += word;
    return (h << 23) | (h >> 41);
  };
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int lane = 0; lane < 4; ++lane) {
      lanes[lane] = step(lanes[lane], decode_u64(bytes + i + 8 * lane));
    }
  }
  for (; i + 8 <= count; i += 8) lanes[0] = step(lanes[0], decode_u64(bytes + i));
  uint64_t tail = count;
  for (size_t shift = 8; i < count; ++i, shift += 8) tail ^= uint64_t{bytes[i]} << (shift % 64);
  auto mix = [](uint64_t h, uint64_t word) {
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
  };
  uint64_t h = mix(lanes[0], tail);
  for (int lane = 1; lane < 4; ++lane) h = mix(h, lanes[lane]);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// A salt that no earlier journal of the file is likely to have used: the
// clocks mixed with a count of the salts drawn (the host's rand() is left
// alone, the path ids draw from it).
uint32_t draw_salt() {
  static std::atomic<uint64_t> drawn{0};
  uint64_t x = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  x ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 21;
  x += 0x9E3779B97F4A7C15ull * (drawn.fetch_add(1) + 1);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(x ^ (x >> 31));
}

// The journal's transfers fail where the test seam says, as the buffer's do.
bool injected_fault() {
  if (!faults::hit(faults::io_op::buffer_io)) return false;
  platform::set_last_error_code(platform::io_error_code());
  return true;
}

bool write_all(platform::file_handle file, int64_t at, const uint8_t* bytes, int32_t count) {
  if (injected_fault()) return false;
  return platform::write_at(file, at, bytes, count) == count;
}

// Reads `count` bytes at `at`; `whole` is false when the file ended first.
bool read_all(platform::file_handle file, int64_t at, uint8_t* bytes, int32_t count, bool* whole) {
  if (injected_fault()) return false;
  const int32_t got = platform::read_at(file, at, bytes, count);
  if (got < 0) return false;
  *whole = got == count;
  return true;
}

}  // namespace

journal::journal(const std::string& index_path) : path_(index_path + "-journal") {}

journal::~journal() { close(); }

void journal::close() {
  if (file_ != platform::kNoFile) platform::close_file(file_);
  file_ = platform::kNoFile;
  started_ = false;
  end_ = 0;
  length_ = 0;
}

bool journal::open_left(bool writable) {
  close();
  const uint32_t mode = platform::kModeRead | (writable ? platform::kModeWrite : 0u);
  if (injected_fault()) return false;
  if (platform::open_file(path_.c_str(), mode, &file_)) {
    length_ = std::max<int64_t>(platform::file_size(file_), 0);
    return true;
  }
  file_ = platform::kNoFile;
  return platform::is_missing_file_error(platform::last_error_code());
}

bool journal::read(bool* hot, int64_t* saved_size, uint64_t* identity, const record_visitor& each) {
  if (file_ == platform::kNoFile) {
    *hot = false;
    *saved_size = 0;
    *identity = 0;
    return true;
  }
  return parse([this](int64_t at, uint8_t* bytes, int32_t count,
                      bool* whole) { return read_all(file_, at, bytes, count, whole); },
               hot, saved_size, identity, each);
}

bool journal::parse(const reader& read_at, bool* hot, int64_t* saved_size, uint64_t* identity,
                    const record_visitor& each) {
  *hot = false;
  *saved_size = 0;
  *identity = 0;
  uint8_t header[kHeaderBytes];
  bool whole = false;
  if (!read_at(0, header, kHeaderBytes, &whole)) return false;
  // A header cut short was written before anything changed in the file; a
  // zeroed one was committed.
  const uint32_t salt = decode_u32(header + 28);
  if (!whole || std::memcmp(header, kMagic, sizeof kMagic) != 0 ||
      decode_u32(header + 24) != checksum(salt, header, 24)) {
    return true;
  }
  *hot = true;
  *saved_size = static_cast<int64_t>(decode_u64(header + 8));
  *identity = decode_u64(header + 16);
  std::vector<uint8_t> bytes;
  for (int64_t at = kHeaderBytes;;) {
    uint8_t head[kRecordHeaderBytes];
    if (!read_at(at, head, kRecordHeaderBytes, &whole)) return false;
    if (!whole) return true;
    const int64_t offset = static_cast<int64_t>(decode_u64(head));
    const uint32_t length = decode_u32(head + 8);
    if (offset < 0 || length > static_cast<uint32_t>(kMaxRecordBytes)) return true;
    bytes.resize(length);
    if (!read_at(at + kRecordHeaderBytes, bytes.data(), static_cast<int32_t>(length), &whole)) {
      return false;
    }
    if (!whole) return true;
    const uint32_t sum = checksum(checksum(salt, head, 12), bytes.data(), bytes.size());
    if (decode_u32(head + 12) != sum) return true;
    if (!each(offset, bytes.data(), static_cast<int32_t>(length))) return false;
    at += kRecordHeaderBytes + static_cast<int64_t>(length);
  }
}

bool journal::roll_back(platform::file_handle file, uint64_t identity) {
  bool hot = false;
  int64_t saved_size = 0;
  uint64_t owner = 0;
  // The header, read first, says whose journal it is: the records of a
  // file replaced since are not written back.
  const bool read_whole =
      read(&hot, &saved_size, &owner, [&](int64_t offset, const uint8_t* bytes, int32_t count) {
        return owner != identity || write_all(file, offset, bytes, count);
      });
  if (!read_whole) return false;
  if (!hot) return true;
  if (owner == identity && (injected_fault() || !platform::resize_file(file, saved_size))) {
    return false;
  }
  return remove();
}

bool journal::create() {
  if (file_ != platform::kNoFile) return true;
  if (injected_fault()) return false;
  if (platform::open_file(path_.c_str(), platform::kModeCreate, &file_)) {
    length_ = 0;
    return true;
  }
  file_ = platform::kNoFile;
  return false;
}

bool journal::start(int64_t saved_size, uint64_t identity) {
  if (!create()) return false;
  salt_ = draw_salt();
  uint8_t header[kHeaderBytes] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  encode_u64(header + 8, static_cast<uint64_t>(saved_size));
  encode_u64(header + 16, identity);
  encode_u32(header + 24, checksum(salt_, header, 24));
  encode_u32(header + 28, salt_);
  if (!write_all(file_, 0, header, kHeaderBytes)) return false;
  started_ = true;
  end_ = kHeaderBytes;
  length_ = std::max(length_, end_);
  return true;
}

void journal::seal(uint8_t* record, int64_t offset, int32_t count) const {
  encode_u64(record, static_cast<uint64_t>(offset));
  encode_u32(record + 8, static_cast<uint32_t>(count));
  encode_u32(record + 12, checksum(checksum(salt_, record, 12), record + kRecordHeaderBytes,
                                   static_cast<size_t>(count)));
}

bool journal::keep(int64_t offset, const uint8_t* bytes, int32_t count) {
  if (count < 0 || count > kMaxRecordBytes) return false;
  const size_t length = static_cast<size_t>(count);
  std::vector<uint8_t> record(kRecordHeaderBytes + length);
  if (length > 0) std::memcpy(record.data() + kRecordHeaderBytes, bytes, length);
  seal(record.data(), offset, count);
  return keep_sealed(record.data(), record.size());
}

bool journal::keep_sealed(const uint8_t* records, size_t bytes) {
  // One write: a kill leaves whole records and at most one cut short, none
  // of them followed by the change it guards.
  if (!write_all(file_, end_, records, static_cast<int32_t>(bytes))) return false;
  end_ += static_cast<int64_t>(bytes);
  length_ = std::max(length_, end_);
  return true;
}

bool journal::commit() {
  if (!started_) return true;
  const uint8_t zeros[kHeaderBytes] = {};
  if (!write_all(file_, 0, zeros, kHeaderBytes)) return false;
  started_ = false;
  end_ = 0;
  // Committed already: a cut that fails leaves a longer journal, no more.
  if (length_ > kKeptFileBytes && platform::resize_file(file_, kKeptFileBytes)) {
    length_ = kKeptFileBytes;
  }
  return true;
}

bool journal::remove() {
  close();
  if (injected_fault()) return false;
  return platform::remove_file(path_.c_str());
}

}  // namespace velkor
