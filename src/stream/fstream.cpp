#include "stream/fstream.h"

#include "stream/fault_injection.h"
#include "stream/stream_errors.h"

namespace velkor {

_fstream::_fstream(const char* path, uint32_t mode, bool raise_on_failure) {
  open(path, mode, raise_on_failure);
}

_fstream::~_fstream() { close(); }

void _fstream::close() {
  if (handle != platform::kNoFile) platform::close_file(handle);
  handle = platform::kNoFile;
  file_name.clear();
}

std::string _fstream::mode_words(uint32_t mode) {
  static const struct {
    uint32_t bit;
    const char* word;
  } kWords[] = {{kCreate, "create"},
                {kRead, "read"},
                {kWrite, "write"},
                {kReadShare, "rshare"},
                {kWriteShare, "wshare"}};
  std::string words;
  for (const auto& w : kWords) {
    if ((mode & w.bit) == 0) continue;
    if (!words.empty()) words += '|';
    words += w.word;
  }
  return words;
}

bool _fstream::open(const char* path, uint32_t mode, bool raise_on_failure) {
  const bool opened = _open(path, mode);
  if (!opened && raise_on_failure) {
    const std::string words = mode_words(mode);
    const int32_t code = platform::last_error_code();
    throw stream_errors::open_error(path ? path : "", words, code);
  }
  return opened;
}

bool _fstream::_open(const char* path, uint32_t mode) {
  close();
  if (path == nullptr || *path == '\0') return false;
  platform::file_handle opened = platform::kNoFile;
  if (!platform::open_file(path, mode, &opened)) return false;
  handle = opened;
  file_name = path;
  return true;
}

int32_t _fstream::_seek(int32_t offset, int32_t origin) {
  if (origin < 0 || origin > 2) throw stream_errors::invalid_origin();
  if (faults::hit(faults::io_op::seek)) {
    platform::set_last_error_code(platform::io_error_code());
    return -1;
  }
  // From the end the offset counts backwards.
  const int32_t distance =
      origin == 2 ? static_cast<int32_t>(0u - static_cast<uint32_t>(offset)) : offset;
  return platform::seek_file(handle, distance, origin);
}

int32_t _fstream::_read(void* buffer, int32_t count) {
  if (faults::hit(faults::io_op::read)) {
    platform::set_last_error_code(platform::io_error_code());
    return 0;
  }
  return platform::read_file(handle, buffer, count);
}

int32_t _fstream::_write(const void* buffer, int32_t count) {
  if (faults::hit(faults::io_op::write)) {
    platform::set_last_error_code(platform::io_error_code());
    return 0;
  }
  return platform::write_file(handle, buffer, count);
}

int32_t _fstream::_resize(int32_t new_size) {
  const int32_t position = _seek(0, 1);
  if (_seek(new_size, 0) < 0) return -1;
  if (faults::hit(faults::io_op::resize)) {
    platform::set_last_error_code(platform::io_error_code());
    return -1;
  }
  if (!platform::set_end_of_file(handle)) return -1;
  if (position < new_size) _seek(position, 0);
  return _seek(0, 1);
}

bool _fstream::flush() { return platform::flush_file(handle); }

}  // namespace velkor
