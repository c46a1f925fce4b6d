// The byte stream that storage and serialisation go through. Each operation
// comes as a raw virtual one that reports failure in its result and a checked
// one that raises a _exception. Positions, sizes and counts are signed 32-bit.
#ifndef VELKOR_STREAM_STREAM_H_
#define VELKOR_STREAM_STREAM_H_

#include <cstdint>
#include <vector>

namespace velkor {

class _stream {
 public:
  // Origin 0 counts from the beginning, 1 from the position, 2 backwards
  // from the end (_seek(n, 2) moves to size - n). Negative on failure.
  virtual int32_t _seek(int32_t offset, int32_t origin) = 0;
  // Bytes transferred; fewer than asked at the end, 0 on failure.
  virtual int32_t _read(void* buffer, int32_t count) = 0;
  virtual int32_t _write(const void* buffer, int32_t count) = 0;
  // 0 or more on success.
  virtual int32_t _resize(int32_t new_size) = 0;
  // Size in bytes through three seeks; the position is kept.
  virtual int32_t _size();
  virtual bool flush();
  // Names the stream in error parameters.
  virtual const char* name() const = 0;
  // Checked seek; returns the new position.
  virtual int32_t seek(int32_t offset, int32_t origin);
  // A hint that `count` bytes at `position` are read or written soon; it
  // changes nothing. Chains use it to have the bytes of the slots ahead
  // fetched while they copy the current one.
  virtual void prefetch(int64_t position, int32_t count) const {
    static_cast<void>(position);
    static_cast<void>(count);
  }
  // Bytes to write at a position.
  struct part {
    int64_t position;
    const void* bytes;
    int32_t count;
  };
  // Writes each part at its position, in order: a checked seek and a
  // checked write each, raising the error of the part that fails. A stream
  // may make them in fewer transfers.
  virtual void write_parts(const std::vector<part>& parts);
  // The bytes the stream really holds: its size, less the holes of a
  // sparse file. What a damaged file claims beyond them is not there to
  // load.
  virtual int64_t real_size() { return _size(); }
  // For a stream that holds its bytes in memory: up to `count` of them at
  // its position, where they lie, and the position moved past them. False
  // (nothing moves) for a stream that must copy them.
  virtual bool take_held(int64_t count, const uint8_t** bytes, int64_t* taken) {
    static_cast<void>(count);
    static_cast<void>(bytes);
    static_cast<void>(taken);
    return false;
  }
  virtual ~_stream() = default;

  // Checked operations: do exactly what is asked or raise.
  void read(void* buffer, int32_t count);
  void write(const void* buffer, int32_t count);
  void resize(int32_t new_size);
  int32_t size();
  int32_t tell() { return seek(0, 1); }
  // Bytes from the position to the end; only for error texts, never raises.
  int32_t available();

  // Raises the read error of a checked read of `count` bytes that came short.
  [[noreturn]] void raise_read_error(int32_t count);
};

}  // namespace velkor

#endif  // VELKOR_STREAM_STREAM_H_
