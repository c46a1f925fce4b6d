// A stream that reads another one ahead, in blocks, for one pass of parsing
// (opening an index reads its sections field by field). It lives as long as
// that pass and keeps nothing afterwards. Positions, sizes and the name are
// the other stream's, so a field that runs short raises the read error it
// would raise there. Reading only: a write fails. A stream that lends its
// bytes (take_held) is read where they lie, up to its end, without a copy.
#ifndef VELKOR_STREAM_READ_AHEAD_H_
#define VELKOR_STREAM_READ_AHEAD_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/stream.h"

namespace velkor {

class read_ahead : public _stream {
 public:
  static constexpr int32_t kBlock = 1 << 16;

  explicit read_ahead(_stream& from) : from_(from), position_(from._seek(0, 1)) {}
  read_ahead(const read_ahead&) = delete;
  read_ahead& operator=(const read_ahead&) = delete;
  // The other stream is left where the pass ended.
  ~read_ahead() override { from_._seek(static_cast<int32_t>(position_), 0); }

  int32_t _seek(int32_t offset, int32_t origin) override {
    const int32_t moved =
        from_._seek(origin == 1 ? position_ + offset : offset, origin == 1 ? 0 : origin);
    if (moved >= 0) position_ = moved;
    return moved;
  }
  int32_t _read(void* buffer, int32_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
      if (position_ < begin_ || position_ >= begin_ + length_) {
        if (!fill()) break;
      }
      const int64_t within = position_ - begin_;
      const int32_t part = static_cast<int32_t>(std::min<int64_t>(count - done, length_ - within));
      std::memcpy(out + done, bytes_ + within, static_cast<size_t>(part));
      done += part;
      position_ += part;
    }
    return done;
  }
  // Lends what the other stream lends; the block read ahead goes, as it
  // may lie in the view that this replaces.
  bool take_held(int64_t count, const uint8_t** bytes, int64_t* taken) override {
    if (from_._seek(static_cast<int32_t>(position_), 0) < 0) return false;
    if (!from_.take_held(count, bytes, taken)) return false;
    length_ = 0;
    position_ += *taken;
    return true;
  }
  int32_t _write(const void*, int32_t) override { return 0; }
  int32_t _resize(int32_t) override { return -1; }
  int32_t _size() override { return from_._size(); }
  const char* name() const override { return from_.name(); }

 private:
  // Reads the block at the position; false when nothing more is there.
  bool fill() {
    if (from_._seek(static_cast<int32_t>(position_), 0) < 0) return false;
    begin_ = position_;
    int64_t taken = 0;
    if (from_.take_held(int64_t{from_._size()} - position_, &bytes_, &taken)) {
      length_ = taken;
      return taken > 0;
    }
    block_.resize(kBlock);
    const int32_t got = std::max(from_._read(block_.data(), kBlock), 0);
    bytes_ = block_.data();
    length_ = got;
    return got > 0;
  }

  _stream& from_;
  int64_t position_;
  std::vector<uint8_t> block_;
  // The bytes from begin_ on: the block's, or those the stream lends.
  const uint8_t* bytes_ = nullptr;
  int64_t length_ = 0;
  int64_t begin_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_READ_AHEAD_H_
