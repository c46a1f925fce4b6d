#include "stream/fstream.h"

#include <algorithm>

#include "stream/fault_injection.h"
#include "stream/stream_errors.h"

namespace velkor {

namespace {

bool injected(faults::io_op op) {
  if (!faults::hit(op)) return false;
  platform::set_last_error_code(platform::io_error_code());
  return true;
}

}  // namespace

_fstream::_fstream(const char* path, uint32_t mode, bool raise_on_failure) {
  open(path, mode, raise_on_failure);
}

_fstream::~_fstream() { close(); }

void _fstream::close() {
  // Nobody is left to hear of a failure here. A file that keeps its saves
  // goes back to the last one (a journal that could not be rolled back
  // stays for the next open); any other gets the size the stream gave it.
  // A view goes first: some systems refuse to cut a file that is mapped.
  release_view();
  if (held_ != nullptr) {
    if (held_->keeps_saves()) {
      held_->roll_back();
    } else if (writable_) {
      held_->sync_size();
    }
  }
  held_.reset();
  if (handle != platform::kNoFile) platform::close_file(handle);
  handle = platform::kNoFile;
  file_name.clear();
  position_ = 0;
  writable_ = false;
}

void _fstream::write_back() {
  platform::unmap_view(&view_);
  if (held_ == nullptr || held_->sync_size()) return;
  const int32_t code = platform::last_error_code();
  throw stream_errors::resize_error(_size(), _size(), name(), code);
}

void _fstream::keep_saves(bool read_only) {
  if (held_ == nullptr || held_->keep_saves(file_name, read_only)) return;
  const int32_t code = platform::last_error_code();
  throw stream_errors::roll_back_error(name(), code);
}

void _fstream::set_kept_end(int32_t kept_end) {
  if (held_ != nullptr) held_->set_kept_end(static_cast<uint32_t>(kept_end));
}

void _fstream::commit(int32_t kept_end) {
  if (held_ == nullptr || held_->commit(static_cast<uint32_t>(kept_end))) return;
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
  if (size >= 0) held_.reset(new held_file(handle, size));
  return true;
}

int32_t _fstream::_seek(int32_t offset, int32_t origin) {
  // A position is a number: only a move before the beginning fails.
  if (origin < 0 || origin > 2) throw stream_errors::invalid_origin();
  // From the end the offset counts backwards.
  const int32_t distance =
      origin == 2 ? static_cast<int32_t>(0u - static_cast<uint32_t>(offset)) : offset;
  int64_t base = position_;
  if (origin == 0) {
    base = 0;
  } else if (origin == 2) {
    base = held_ != nullptr ? held_->size() : platform::file_size(handle);
    if (base < 0) return -1;
  }
  const int64_t target = base + distance;
  if (target < 0) {
    platform::set_last_error_code(platform::negative_seek_code());
    return -1;
  }
  position_ = target;
  return static_cast<int32_t>(static_cast<uint32_t>(target));
}

int32_t _fstream::_read(void* buffer, int32_t count) {
  if (injected(faults::io_op::read)) return 0;
  if (count <= 0) return 0;
  int32_t got;
  if (held_ != nullptr) {
    got = held_->read(position_, buffer, count);
  } else {
    got = std::max(platform::read_at(handle, position_, buffer, count), 0);
  }
  position_ += got;
  return got;
}

bool _fstream::take_held(int64_t count, const uint8_t** bytes, int64_t* taken) {
  // Only while lending, and only bytes read as they lie. Under the fault
  // seam the bytes are read, so that every read can be made to fail.
  if (!lending_ || held_ == nullptr || !held_->reads_as_file() || faults::active) return false;
  const int64_t count_there = std::clamp<int64_t>(held_->size() - position_, 0, count);
  if (count_there == 0) {
    *taken = 0;
    return true;
  }
  if (position_ < view_at_ || view_.bytes == nullptr) {
    platform::unmap_view(&view_);
    if (!platform::map_view(handle, position_, held_->size() - position_, &view_)) return false;
    view_at_ = position_;
  }
  *bytes = view_.bytes + (position_ - view_at_);
  *taken = count_there;
  position_ += count_there;
  return true;
}

int32_t _fstream::_write(const void* buffer, int32_t count) {
  if (injected(faults::io_op::write)) return 0;
  if (count <= 0) return 0;
  platform::unmap_view(&view_);
  int32_t put;
  if (held_ != nullptr && writable_) {
    put = held_->write(position_, buffer, count);
  } else {
    // Without write access the platform refuses, with its own error code.
    put = std::max(platform::write_at(handle, position_, buffer, count), 0);
  }
  position_ += put;
  return put;
}

int32_t _fstream::_resize(int32_t new_size) {
  const int32_t position = _seek(0, 1);
  if (_seek(new_size, 0) < 0) return -1;
  if (injected(faults::io_op::resize)) return -1;
  platform::unmap_view(&view_);
  if (held_ == nullptr || !writable_) {
    // A shared file changes at once; a read-only one refuses, with the
    // platform's own error code.
    if (!platform::resize_file(handle, position_) || !writable_) return -1;
  } else {
    held_->resize(position_);
  }
  if (position < new_size) _seek(position, 0);
  return _seek(0, 1);
}

int32_t _fstream::_size() {
  if (held_ == nullptr) {
    const int64_t size = platform::file_size(handle);
    return size < 0 ? -1 : static_cast<int32_t>(static_cast<uint32_t>(size));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(held_->size()));
}

void _fstream::write_parts(const std::vector<part>& parts) {
  if (held_ != nullptr && writable_) {
    std::vector<held_file::range> ranges;
    ranges.reserve(parts.size());
    for (const part& p : parts) ranges.push_back({p.position, p.position + p.count});
    if (!held_->keep_old_of(ranges)) {
      const int32_t code = platform::last_error_code();
      throw stream_errors::write_error(_size(), parts.empty() ? 0 : parts.front().count, name(),
                                       code);
    }
  }
  _stream::write_parts(parts);
}

int64_t _fstream::real_size() {
  if (held_ == nullptr) return _size();
  return held_->real_size();
}

bool _fstream::flush() { return platform::flush_file(handle); }

}  // namespace velkor
