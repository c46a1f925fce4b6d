#include "stream/stream.h"

#include "stream/platform_file.h"
#include "stream/stream_errors.h"

namespace velkor {

int32_t _stream::_size() {
  const int32_t position = _seek(0, 1);
  const int32_t end = _seek(0, 2);
  _seek(position, 0);
  return end;
}

bool _stream::flush() { return true; }

int32_t _stream::seek(int32_t offset, int32_t origin) {
  const int32_t result = _seek(offset, origin);
  if (result < 0) {
    const int32_t code = platform::last_error_code();
    throw stream_errors::seek_error(offset, _size(), name(), code);
  }
  return result;
}

void _stream::read(void* buffer, int32_t count) {
  const int32_t got = _read(buffer, count);
  if (static_cast<uint32_t>(got) != static_cast<uint32_t>(count)) raise_read_error(count);
}

void _stream::raise_read_error(int32_t count) {
  const int32_t code = platform::last_error_code();
  throw stream_errors::read_error(available(), count, name(), code);
}

void _stream::write(const void* buffer, int32_t count) {
  const int32_t put = _write(buffer, count);
  if (static_cast<uint32_t>(put) != static_cast<uint32_t>(count)) {
    const int32_t code = platform::last_error_code();
    throw stream_errors::write_error(_size(), count, name(), code);
  }
}

void _stream::resize(int32_t new_size) {
  if (_resize(new_size) < 0) {
    const int32_t code = platform::last_error_code();
    throw stream_errors::resize_error(_size(), new_size, name(), code);
  }
}

int32_t _stream::size() {
  const int32_t result = _size();
  if (result < 0) {
    const int32_t code = platform::last_error_code();
    throw stream_errors::size_error(name(), code);
  }
  return result;
}

int32_t _stream::available() {
  const int32_t end = _size();
  const int32_t position = _seek(0, 1);
  return static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(position));
}

void _stream::write_parts(const std::vector<part>& parts) {
  for (const part& p : parts) {
    seek(static_cast<int32_t>(p.position), 0);
    write(p.bytes, p.count);
  }
}

}  // namespace velkor
