#include "stream/fstream.h"

#include <algorithm>

#include "stream/fault_injection.h"
#include "stream/stream_errors.h"

namespace velkor {

_fstream::_fstream(const char* path, uint32_t mode, bool raise_on_failure) {
  open(path, mode, raise_on_failure);
}

_fstream::~_fstream() { close(); }

void _fstream::close() {
  if (buffer_ != nullptr) {
    // Nobody is left to hear of a failure here. A file that keeps its saves
    // goes back to the last one (a journal that could not be rolled back
    // stays for the next open); any other gets what could be written.
    if (buffer_->keeps_saves()) {
      buffer_->roll_back();
    } else {
      int32_t failed_bytes = 0;
      buffer_->write_back(&failed_bytes);
    }
    buffer_.reset();
  }
  if (handle != platform::kNoFile) platform::close_file(handle);
  handle = platform::kNoFile;
  file_name.clear();
  position_ = 0;
  writable_ = false;
}

void _fstream::write_back() {
  if (buffer_ == nullptr) return;
  int32_t failed_bytes = 0;
  if (buffer_->write_back(&failed_bytes)) return;
  const int32_t code = platform::last_error_code();
  if (failed_bytes == 0) {
    throw stream_errors::resize_error(_size(), _size(), name(), code);
  }
  throw stream_errors::write_error(_size(), failed_bytes, name(), code);
}

void _fstream::keep_saves(bool read_only) {
  if (buffer_ == nullptr || buffer_->keep_saves(file_name, read_only)) return;
  const int32_t code = platform::last_error_code();
  throw stream_errors::roll_back_error(name(), code);
}

void _fstream::set_kept_end(int32_t kept_end) {
  if (buffer_ != nullptr) buffer_->set_kept_end(static_cast<uint32_t>(kept_end));
}

void _fstream::commit(int32_t kept_end) {
  if (buffer_ == nullptr || buffer_->commit(static_cast<uint32_t>(kept_end))) return;
  const int32_t code = platform::last_error_code();
  throw stream_errors::resize_error(_size(), 0, (file_name + "-journal").c_str(), code);
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
  writable_ = (mode & (kCreate | kWrite)) != 0;
  const bool shared = (mode & (kReadShare | kWriteShare)) != 0;
  const int64_t size = shared ? -1 : platform::file_size(handle);
  if (size >= 0) {
    buffer_.reset(new file_buffer(handle, size));
    size_at_open_ = size;
    data_at_open_ = platform::data_bytes(handle, size);
  }
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
  if (buffer_ == nullptr) return platform::seek_file(handle, distance, origin);
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : buffer_->size();
  const int64_t target = base + distance;
  if (target < 0) {
    platform::set_last_error_code(platform::negative_seek_code());
    return -1;
  }
  position_ = target;
  return static_cast<int32_t>(static_cast<uint32_t>(target));
}

int32_t _fstream::_read(void* buffer, int32_t count) {
  if (faults::hit(faults::io_op::read)) {
    platform::set_last_error_code(platform::io_error_code());
    return 0;
  }
  if (buffer_ == nullptr) return platform::read_file(handle, buffer, count);
  const int32_t got = buffer_->read(position_, buffer, count);
  position_ += got;
  return got;
}

int32_t _fstream::_write(const void* buffer, int32_t count) {
  if (faults::hit(faults::io_op::write)) {
    platform::set_last_error_code(platform::io_error_code());
    return 0;
  }
  if (buffer_ == nullptr) return platform::write_file(handle, buffer, count);
  if (count <= 0) return 0;
  // Without write access the platform refuses, with its own error code.
  if (!writable_) return std::max(platform::write_at(handle, position_, buffer, count), 0);
  const int32_t put = buffer_->write(position_, buffer, count);
  position_ += put;
  return put;
}

int32_t _fstream::_resize(int32_t new_size) {
  const int32_t position = _seek(0, 1);
  if (_seek(new_size, 0) < 0) return -1;
  if (faults::hit(faults::io_op::resize)) {
    platform::set_last_error_code(platform::io_error_code());
    return -1;
  }
  if (buffer_ == nullptr) {
    if (!platform::set_end_of_file(handle)) return -1;
  } else if (!writable_) {
    platform::resize_file(handle, position_);
    return -1;
  } else {
    buffer_->resize(position_);
  }
  if (position < new_size) _seek(position, 0);
  return _seek(0, 1);
}

void _fstream::prefetch(int64_t position, int32_t count) const {
  if (buffer_) buffer_->prefetch(position, count);
}

int32_t _fstream::_size() {
  if (buffer_ == nullptr) return _stream::_size();
  return static_cast<int32_t>(static_cast<uint32_t>(buffer_->size()));
}

int64_t _fstream::real_size() {
  if (buffer_ == nullptr) return _size();
  // What the engine wrote since the open is there; holes it left inside a
  // slot stay uncounted only while they lay in the file before.
  return data_at_open_ + std::max<int64_t>(buffer_->size() - size_at_open_, 0);
}

bool _fstream::flush() { return platform::flush_file(handle); }

}  // namespace velkor
