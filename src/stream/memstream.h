// The stream over a growable buffer in memory. The buffer and the position
// belong to a _memadapter that the caller owns; the stream is a view on it.
#ifndef VELKOR_STREAM_MEMSTREAM_H_
#define VELKOR_STREAM_MEMSTREAM_H_

#include <cstdint>
#include <vector>

#include "stream/stream.h"

namespace velkor {

struct _memadapter {
  std::vector<uint8_t> buffer;
  int32_t position = 0;
};

class _memstream : public _stream {
 public:
  // REQUIRES: `adapter` outlives the stream. A null adapter raises.
  explicit _memstream(_memadapter* adapter);
  _memstream(const _memstream&) = delete;
  _memstream& operator=(const _memstream&) = delete;
  // Rewinds the adapter; its bytes stay.
  ~_memstream() override;

  int32_t _seek(int32_t offset, int32_t origin) override;
  int32_t _read(void* buffer, int32_t count) override;
  int32_t _write(const void* buffer, int32_t count) override;
  int32_t _resize(int32_t new_size) override;
  // The buffer's length, without the three seeks.
  int32_t _size() override { return length(); }
  const char* name() const override { return "MemoryStream"; }
  bool take_held(int64_t count, const uint8_t** bytes, int64_t* taken) override;
  _memadapter* adapter_of() const { return adapter; }

 private:
  int32_t length() const { return static_cast<int32_t>(adapter->buffer.size()); }

  _memadapter* adapter;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_MEMSTREAM_H_
