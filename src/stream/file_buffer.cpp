#include "stream/file_buffer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/prefetch.h"
#include "stream/fault_injection.h"

namespace velkor {

namespace {

bool injected_fault() {
  if (!faults::hit(faults::io_op::buffer_io)) return false;
  platform::set_last_error_code(platform::io_error_code());
  return true;
}

}  // namespace

file_buffer::file_buffer(platform::file_handle file, int64_t disk_size, size_t max_pages,
                         size_t write_behind_pages)
    : file_(file),
      max_pages_(std::max<size_t>(max_pages, 2)),
      write_behind_pages_(write_behind_pages),
      size_(disk_size),
      disk_size_(disk_size),
      valid_end_(disk_size) {}

uint8_t* file_buffer::page_for(size_t index, bool will_write_whole) {
  if (index >= pages_.size()) pages_.resize(index + 1);
  page& p = pages_[index];
  if (!p.bytes) {
    if (modified_pages_ >= write_behind_pages_ && !write_behind(index)) return nullptr;
    if (loaded_.size() >= max_pages_ && !evict_one()) return nullptr;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[kPageSize]);
    const int64_t begin = static_cast<int64_t>(index) << kPageShift;
    if (!will_write_whole && !read_around(begin, bytes.get(), kPageSize)) return nullptr;
    p.bytes = std::move(bytes);
    p.in_loaded = static_cast<uint32_t>(loaded_.size());
    loaded_.push_back(static_cast<uint32_t>(index));
  }
  p.last_use = ++clock_;
  return p.bytes.get();
}

void file_buffer::drop_page(size_t index) {
  page& p = pages_[index];
  if (p.modified) --modified_pages_;
  const uint32_t moved = loaded_.back();
  loaded_[p.in_loaded] = moved;
  pages_[moved].in_loaded = p.in_loaded;
  loaded_.pop_back();
  p = page();
}

bool file_buffer::evict_one() {
  if (loaded_.empty()) return true;
  size_t oldest = loaded_.front();
  for (const uint32_t i : loaded_) {
    if (pages_[i].last_use < pages_[oldest].last_use) oldest = i;
  }
  int32_t failed_bytes = 0;
  if (pages_[oldest].modified && !write_page(oldest, &failed_bytes)) return false;
  drop_page(oldest);
  return true;
}

bool file_buffer::write_behind(size_t keep) {
  std::vector<uint32_t> unread;
  for (const uint32_t i : loaded_) {
    const page& p = pages_[i];
    if (i != keep && p.modified && !p.read) unread.push_back(i);
  }
  // The least recently used go, until half the budget is left modified:
  // the pages a run of writes has just passed are the likeliest to take
  // the next writes.
  const size_t target = write_behind_pages_ / 2;
  const size_t going =
      modified_pages_ > target ? std::min(unread.size(), modified_pages_ - target) : 0;
  if (going < unread.size()) {
    std::nth_element(
        unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(going), unread.end(),
        [this](uint32_t a, uint32_t b) { return pages_[a].last_use < pages_[b].last_use; });
    unread.resize(going);
  }
  // In file order, as the disk likes it.
  std::sort(unread.begin(), unread.end());
  int32_t failed_bytes = 0;
  for (const uint32_t i : unread) {
    if (!write_page(i, &failed_bytes)) return false;
    drop_page(i);
  }
  return true;
}

bool file_buffer::drop_stale_tail() {
  if (valid_end_ >= disk_size_) return true;
  if (!keep_old(valid_end_, disk_size_)) return false;
  if (injected_fault() || !platform::resize_file(file_, valid_end_)) return false;
  disk_size_ = valid_end_;
  return true;
}

bool file_buffer::write_page(size_t index, int32_t* failed_bytes) {
  page& p = pages_[index];
  const int64_t begin = static_cast<int64_t>(index) << kPageShift;
  const int64_t length = std::min(kPageSize, size_ - begin);
  if (length > 0) {
    if (!drop_stale_tail()) {
      *failed_bytes = 0;
      return false;
    }
    if (!keep_old(begin, begin + length)) {
      *failed_bytes = static_cast<int32_t>(length);
      return false;
    }
    if (injected_fault() ||
        platform::write_at(file_, begin, p.bytes.get(), static_cast<int32_t>(length)) != length) {
      // Part of the page may have reached the file past its known end. The
      // page stays modified, but should a truncation drop it, those bytes
      // must not come back: counted as stale, they are cut off before
      // anything is written past them.
      disk_size_ = std::max(disk_size_, begin + length);
      *failed_bytes = static_cast<int32_t>(length);
      return false;
    }
    disk_size_ = std::max(disk_size_, begin + length);
    valid_end_ = disk_size_;
  }
  p.modified = false;
  --modified_pages_;
  return true;
}

int32_t file_buffer::read(int64_t position, void* out, int32_t count) {
  if (count <= 0 || position < 0 || position >= size_) return 0;
  const int64_t total = std::min<int64_t>(count, size_ - position);
  auto* target = static_cast<uint8_t*>(out);
  int64_t done = 0;
  while (done < total) {
    const int64_t at = position + done;
    const size_t index = static_cast<size_t>(at >> kPageShift);
    const int64_t within = at & (kPageSize - 1);
    const int64_t chunk = std::min(total - done, kPageSize - within);
    if (total >= kReadAroundBytes && !is_loaded(index)) {
      int64_t run_end = at + chunk;
      while (run_end < position + total && !is_loaded(static_cast<size_t>(run_end >> kPageShift))) {
        run_end = std::min(position + total, run_end + kPageSize);
      }
      if (!read_around(at, target + done, run_end - at)) break;
      done = run_end - position;
      continue;
    }
    const uint8_t* bytes = page_for(index, false);
    if (bytes == nullptr) break;
    pages_[index].read = true;
    std::memcpy(target + done, bytes + within, static_cast<size_t>(chunk));
    done += chunk;
  }
  return static_cast<int32_t>(done);
}

bool file_buffer::read_around(int64_t at, uint8_t* out, int64_t count) {
  const int64_t valid = std::clamp<int64_t>(valid_end_ - at, 0, count);
  if (valid > 0) {
    if (injected_fault()) return false;
    const int32_t got = platform::read_at(file_, at, out, static_cast<int32_t>(valid));
    if (got != valid) {
      // The file is shorter than it was: someone else cut it.
      if (got >= 0) platform::set_last_error_code(platform::io_error_code());
      return false;
    }
  }
  std::memset(out + valid, 0, static_cast<size_t>(count - valid));
  if (!overlay_.empty()) apply_overlay(at, out, count);
  return true;
}

void file_buffer::apply_overlay(int64_t at, uint8_t* out, int64_t count) const {
  auto it =
      std::upper_bound(overlay_.begin(), overlay_.end(), at,
                       [](int64_t position, const old_bytes& r) { return position < r.offset; });
  if (it != overlay_.begin()) --it;
  for (; it != overlay_.end() && it->offset < at + count; ++it) {
    const int64_t from = std::max(at, it->offset);
    const int64_t to = std::min(at + count, it->offset + static_cast<int64_t>(it->bytes.size()));
    if (from < to) {
      std::memcpy(out + (from - at), it->bytes.data() + (from - it->offset),
                  static_cast<size_t>(to - from));
    }
  }
}

bool file_buffer::keep_saves(const std::string& index_path, bool read_only) {
  std::unique_ptr<journal> kept(new journal(index_path));
  if (!kept->open_left(!read_only)) return false;
  if (read_only) {
    bool hot = false;
    int64_t saved = 0;
    std::vector<old_bytes> overlay;
    const bool read =
        kept->read(&hot, &saved, [&overlay](int64_t offset, const uint8_t* bytes, int32_t count) {
          overlay.push_back(old_bytes{offset, std::vector<uint8_t>(bytes, bytes + count)});
          return true;
        });
    if (!read) return false;
    if (hot) {
      // Later records of a page cannot differ from the first: a page is
      // kept once per save. Sorted, the first of each offset stays first.
      std::stable_sort(overlay.begin(), overlay.end(),
                       [](const old_bytes& a, const old_bytes& b) { return a.offset < b.offset; });
      overlay_ = std::move(overlay);
      size_ = saved;
      valid_end_ = std::min(valid_end_, saved);
    }
    return true;
  }
  if (kept->is_open() && !kept->roll_back(file_)) return false;
  const int64_t size = platform::file_size(file_);
  if (size < 0) return false;
  size_ = disk_size_ = valid_end_ = saved_size_ = kept_end_ = size;
  journal_ = std::move(kept);
  return true;
}

bool file_buffer::keep_old(int64_t from, int64_t to) {
  if (journal_ == nullptr) return true;
  if (!journal_->started() && !journal_->start(saved_size_)) return false;
  // The journal restores the file's size; of its bytes, those that mean
  // something.
  const int64_t limit = std::min(saved_size_, kept_end_);
  const int64_t end = std::min(to, limit);
  if (from >= end) return true;
  const size_t first = static_cast<size_t>(from >> kPageShift);
  const size_t last = static_cast<size_t>((end - 1) >> kPageShift);
  if (journaled_.size() <= last) journaled_.resize(last + 1, false);
  std::unique_ptr<uint8_t[]> old;
  for (size_t index = first; index <= last; ++index) {
    if (journaled_[index]) continue;
    if (!old) old.reset(new uint8_t[kPageSize]);
    const int64_t begin = static_cast<int64_t>(index) << kPageShift;
    const int32_t length = static_cast<int32_t>(std::min(kPageSize, limit - begin));
    // Nothing of the last save changes in the file before its page is
    // kept, so the file still holds the page as that save left it.
    if (injected_fault()) return false;
    if (platform::read_at(file_, begin, old.get(), length) != length) {
      platform::set_last_error_code(platform::io_error_code());
      return false;
    }
    if (!journal_->keep(begin, old.get(), length)) return false;
    journaled_[index] = true;
  }
  return true;
}

bool file_buffer::commit(int64_t kept_end) {
  if (journal_ == nullptr) return true;
  if (!journal_->commit()) return false;
  saved_size_ = size_;
  kept_end_ = kept_end;
  std::vector<bool>().swap(journaled_);
  return true;
}

bool file_buffer::roll_back() {
  while (!loaded_.empty()) drop_page(loaded_.back());
  std::vector<page>().swap(pages_);
  if (journal_ == nullptr) return true;
  if (journal_->started()) {
    if (!journal_->roll_back(file_)) return false;
  } else if (journal_->is_open() && !journal_->remove()) {
    return false;
  }
  size_ = disk_size_ = valid_end_ = saved_size_;
  std::vector<bool>().swap(journaled_);
  return true;
}

void file_buffer::prefetch(int64_t position, int32_t count) const {
  if (position < 0 || count <= 0) return;
  const size_t index = static_cast<size_t>(position >> kPageShift);
  if (!is_loaded(index)) return;
  const uint8_t* bytes = pages_[index].bytes.get();
  const int64_t within = position & (kPageSize - 1);
  // A slot's first bytes, and the line after them when the slot reaches it.
  prefetch_line(bytes + within);
  const int64_t last = std::min<int64_t>(within + count, kPageSize) - 1;
  if ((last >> 6) != (within >> 6)) prefetch_line(bytes + last);
}

int32_t file_buffer::write(int64_t position, const void* in, int32_t count) {
  if (count <= 0 || position < 0) return 0;
  const auto* source = static_cast<const uint8_t*>(in);
  int64_t done = 0;
  while (done < count) {
    const int64_t at = position + done;
    const size_t index = static_cast<size_t>(at >> kPageShift);
    const int64_t within = at & (kPageSize - 1);
    const int64_t chunk = std::min<int64_t>(count - done, kPageSize - within);
    uint8_t* bytes = page_for(index, within == 0 && chunk == kPageSize);
    if (bytes == nullptr) break;
    std::memcpy(bytes + within, source + done, static_cast<size_t>(chunk));
    page& p = pages_[index];
    if (!p.modified) {
      p.modified = true;
      ++modified_pages_;
    }
    done += chunk;
    size_ = std::max(size_, at + chunk);
  }
  return static_cast<int32_t>(done);
}

void file_buffer::resize(int64_t new_size) {
  if (new_size < size_) {
    // Bytes behind the end must read as zero should the file grow again.
    for (size_t i = static_cast<size_t>(new_size >> kPageShift); i < pages_.size(); ++i) {
      page& p = pages_[i];
      if (!p.bytes) continue;
      const int64_t begin = static_cast<int64_t>(i) << kPageShift;
      if (begin >= new_size) {
        drop_page(i);
      } else {
        std::memset(p.bytes.get() + (new_size - begin), 0,
                    static_cast<size_t>(kPageSize - (new_size - begin)));
      }
    }
    valid_end_ = std::min(valid_end_, new_size);
  }
  size_ = new_size;
}

bool file_buffer::write_back(int32_t* failed_bytes) {
  *failed_bytes = 0;
  // The first page, with the header that points at everything else, goes
  // last, once the file's size is final.
  for (size_t i = 1; i < pages_.size() && modified_pages_ > 0; ++i) {
    if (pages_[i].modified && !write_page(i, failed_bytes)) return false;
  }
  if (!drop_stale_tail()) return false;
  if (disk_size_ != size_) {
    if (!keep_old(size_, disk_size_)) return false;
    if (injected_fault() || !platform::resize_file(file_, size_)) return false;
    disk_size_ = size_;
    valid_end_ = size_;
  }
  if (!pages_.empty() && pages_[0].modified && !write_page(0, failed_bytes)) return false;
  return true;
}

}  // namespace velkor
