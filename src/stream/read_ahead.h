// A stream that reads another one ahead, in blocks, for one pass of parsing
// (opening an index reads its sections field by field). It lives as long as
// that pass and keeps nothing afterwards. Positions, sizes and the name are
// the other stream's, so a field that runs short raises the read error it
// would raise there. Reading only: a write fails.
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
      if (position_ < begin_ || position_ >= begin_ + static_cast<int64_t>(block_.size())) {
        if (!fill()) break;
      }
      const int64_t within = position_ - begin_;
      const int32_t part = static_cast<int32_t>(
          std::min<int64_t>(count - done, static_cast<int64_t>(block_.size()) - within));
      std::memcpy(out + done, block_.data() + within, static_cast<size_t>(part));
      done += part;
      position_ += part;
    }
    from_._seek(static_cast<int32_t>(position_), 0);
    return done;
  }
  int32_t _write(const void*, int32_t) override { return 0; }
  int32_t _resize(int32_t) override { return -1; }
  int32_t _size() override { return from_._size(); }
  const char* name() const override { return from_.name(); }

 private:
  // Reads the block at the position; false when nothing more is there.
  bool fill() {
    if (from_._seek(static_cast<int32_t>(position_), 0) < 0) return false;
    block_.resize(kBlock);
    const int32_t got = std::max(from_._read(block_.data(), kBlock), 0);
    block_.resize(static_cast<size_t>(got));
    begin_ = position_;
    return got > 0;
  }

  _stream& from_;
  int64_t position_;
  std::vector<uint8_t> block_;
  int64_t begin_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_READ_AHEAD_H_
