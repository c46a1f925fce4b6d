#include "stream/memstream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "stream/stream_errors.h"

namespace velkor {

_memstream::_memstream(_memadapter* adapter) : adapter(adapter) {
  if (adapter == nullptr) throw stream_errors::memstream_null_adapter();
}

_memstream::~_memstream() { adapter->position = 0; }

int32_t _memstream::_seek(int32_t offset, int32_t origin) {
  int64_t target;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = static_cast<int64_t>(adapter->position) + offset;
      break;
    case 2:
      target = static_cast<int64_t>(length()) - offset;
      break;
    default:
      throw std::invalid_argument("Invalid parameters!");
  }
  target = std::max<int64_t>(0, std::min<int64_t>(target, length()));
  adapter->position = static_cast<int32_t>(target);
  return adapter->position;
}

int32_t _memstream::_read(void* target, int32_t count) {
  if (target == nullptr || count <= 0) return 0;
  if (size() == 0) return 0;
  const int32_t n = std::min(length() - adapter->position, count);
  if (n < 1) return n;
  std::memcpy(target, adapter->buffer.data() + adapter->position, static_cast<size_t>(n));
  adapter->position += n;
  return n;
}

int32_t _memstream::_write(const void* source, int32_t count) {
  if (source == nullptr || count < 1) return count;
  const int64_t end = static_cast<int64_t>(adapter->position) + count;
  if (end > INT32_MAX) return 0;
  if (length() - adapter->position < count) {
    try {
      _resize(static_cast<int32_t>(end));
    } catch (...) {
      return 0;
    }
  }
  std::memcpy(adapter->buffer.data() + adapter->position, source, static_cast<size_t>(count));
  adapter->position += count;
  return count;
}

int32_t _memstream::_resize(int32_t new_size) {
  const size_t target = static_cast<size_t>(std::max(new_size, 0));
  std::vector<uint8_t>& buffer = adapter->buffer;
  if (target > buffer.capacity()) {
    buffer.reserve(std::max(target, buffer.capacity() + buffer.capacity() / 2));
  }
  buffer.resize(target, 0);
  if (adapter->position > length()) adapter->position = length();
  return length();
}

bool _memstream::take_held(int64_t count, const uint8_t** bytes, int64_t* taken) {
  *taken = std::clamp<int64_t>(length() - adapter->position, 0, std::max<int64_t>(count, 0));
  *bytes = adapter->buffer.data() + adapter->position;
  adapter->position += static_cast<int32_t>(*taken);
  return true;
}

}  // namespace velkor
