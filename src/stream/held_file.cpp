#include "stream/held_file.h"

#include <algorithm>
#include <cstring>

#include "stream/fault_injection.h"

namespace velkor {

namespace {

// The platform's failures show here, so the test seam fails them here.
bool injected_fault() {
  if (!faults::hit(faults::io_op::buffer_io)) return false;
  platform::set_last_error_code(platform::io_error_code());
  return true;
}

// Old bytes are read and kept in pieces of at most this many.
constexpr int64_t kKeepPiece = int64_t{64} << 10;

}  // namespace

held_file::held_file(platform::file_handle file, int64_t disk_size)
    : file_(file),
      size_(disk_size),
      disk_size_(disk_size),
      valid_end_(disk_size),
      size_at_open_(disk_size),
      data_at_open_(platform::data_bytes(file, disk_size)) {}

int32_t held_file::read(int64_t position, void* out, int32_t count) {
  if (count <= 0 || position < 0 || position >= size_) return 0;
  const int64_t total = std::min<int64_t>(count, size_ - position);
  auto* bytes = static_cast<uint8_t*>(out);
  const int64_t on_disk = std::clamp<int64_t>(valid_end_ - position, 0, total);
  if (on_disk > 0) {
    if (injected_fault()) return 0;
    const int32_t got = platform::read_at(file_, position, bytes, static_cast<int32_t>(on_disk));
    if (got != on_disk) {
      // The file is shorter than it was: someone else cut it.
      if (got >= 0) platform::set_last_error_code(platform::io_error_code());
      return std::max(got, 0);
    }
  }
  std::memset(bytes + on_disk, 0, static_cast<size_t>(total - on_disk));
  if (!overlay_.empty()) apply_overlay(position, bytes, total);
  return static_cast<int32_t>(total);
}

int32_t held_file::write(int64_t position, const void* in, int32_t count) {
  if (count <= 0 || position < 0) return 0;
  const int64_t end = position + count;
  if (end > valid_end_ && valid_end_ < disk_size_ && !clear_stale_before(position)) return 0;
  if (!keep_old(position, end)) return 0;
  if (injected_fault()) return 0;
  const int32_t put = platform::write_at(file_, position, in, count);
  if (put != count) {
    // Part of it may have reached the file past its known end: counted as
    // stale, those bytes are cut off before anything is written past them.
    disk_size_ = std::max(disk_size_, end);
    return 0;
  }
  disk_size_ = std::max(disk_size_, end);
  valid_end_ = std::max(valid_end_, end);
  size_ = std::max(size_, end);
  return count;
}

bool held_file::drop_stale_tail() {
  if (valid_end_ >= disk_size_) return true;
  if (!keep_old(valid_end_, disk_size_)) return false;
  if (injected_fault() || !platform::resize_file(file_, valid_end_)) return false;
  disk_size_ = valid_end_;
  return true;
}

bool held_file::clear_stale_before(int64_t position) {
  const int64_t stop = std::min(position, disk_size_);
  // A long stretch is cut off with the rest of the stale tail: the file
  // grows back with zeros.
  if (stop - valid_end_ > kZeroFill) return drop_stale_tail();
  if (stop > valid_end_) {
    if (!keep_old(valid_end_, stop)) return false;
    const std::vector<uint8_t> zeros(static_cast<size_t>(stop - valid_end_), 0);
    if (injected_fault() ||
        platform::write_at(file_, valid_end_, zeros.data(), static_cast<int32_t>(zeros.size())) !=
            static_cast<int32_t>(zeros.size())) {
      return false;
    }
    // Only bytes the file holds are valid: past its end, a write that then
    // fails leaves nothing to read.
    valid_end_ = stop;
  }
  return true;
}

bool held_file::sync_size() {
  if (disk_size_ == size_ && valid_end_ >= size_) return true;
  if (valid_end_ < std::min(size_, disk_size_) &&
      !clear_stale_before(std::min(size_, disk_size_))) {
    return false;
  }
  if (disk_size_ != size_) {
    if (!keep_old(size_, disk_size_)) return false;
    if (injected_fault() || !platform::resize_file(file_, size_)) return false;
    disk_size_ = size_;
  }
  valid_end_ = size_;
  return true;
}

void held_file::apply_overlay(int64_t at, uint8_t* out, int64_t count) const {
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

bool held_file::keep_saves(const std::string& index_path, bool read_only) {
  std::unique_ptr<journal> kept(new journal(index_path));
  if (!kept->open_left(!read_only)) return false;
  identity_ = platform::file_identity(file_);
  if (read_only) {
    bool hot = false;
    int64_t saved = 0;
    uint64_t owner = 0;
    std::vector<old_bytes> overlay;
    const bool read = kept->read(
        &hot, &saved, &owner, [&overlay](int64_t offset, const uint8_t* bytes, int32_t count) {
          overlay.push_back(old_bytes{offset, std::vector<uint8_t>(bytes, bytes + count)});
          return true;
        });
    if (!read) return false;
    // The journal of a file replaced since says nothing of this one.
    if (hot && owner == identity_) {
      // A page is kept once per save, so records of one offset do not
      // differ; sorted, they stay in the order written.
      std::stable_sort(overlay.begin(), overlay.end(),
                       [](const old_bytes& a, const old_bytes& b) { return a.offset < b.offset; });
      overlay_ = std::move(overlay);
      size_ = saved;
      valid_end_ = std::min(valid_end_, saved);
    }
    return true;
  }
  if (kept->is_open() && !kept->roll_back(file_, identity_)) return false;
  const int64_t size = platform::file_size(file_);
  if (size < 0) return false;
  size_ = disk_size_ = valid_end_ = saved_size_ = kept_end_ = size;
  journal_ = std::move(kept);
  return true;
}

bool held_file::keep_old(int64_t from, int64_t to) { return keep_old_of({range{from, to}}); }

bool held_file::keep_old_of(const std::vector<range>& ranges) {
  if (journal_ == nullptr) return true;
  if (!journal_->started() && !journal_->start(saved_size_, identity_)) return false;
  // The journal restores the file's size; of its bytes, those that mean
  // something. Writes past the valid end first cut the stale tail, whose
  // pages of the last save are kept as well.
  const int64_t limit = std::min(saved_size_, kept_end_);
  std::vector<range> wanted;
  for (const range& r : ranges) {
    if (r.to > valid_end_ && valid_end_ < disk_size_) wanted.push_back({valid_end_, disk_size_});
    wanted.push_back(r);
  }
  // Records are made back to back in one batch (read straight behind their
  // headers) and written when it is full and at the end.
  std::vector<uint8_t>& batch = journal_batch_;
  size_t used = 0;
  std::vector<range> batched;
  auto unmark = [this](const range& r) {
    for (int64_t at = r.from; at < r.to; at += kJournalPage) {
      journaled_[static_cast<size_t>(at / kJournalPage)] = false;
    }
  };
  // Pages batched but not in the journal are kept again next time.
  auto fail = [&] {
    for (const range& r : batched) unmark(r);
    return false;
  };
  auto write_batch = [&] {
    if (used > 0 && !journal_->keep_sealed(batch.data(), used)) return fail();
    used = 0;
    batched.clear();
    return true;
  };
  for (const range& r : wanted) {
    const int64_t end = std::min(r.to, limit);
    if (r.from >= end) continue;
    const size_t first = static_cast<size_t>(r.from / kJournalPage);
    const size_t last = static_cast<size_t>((end - 1) / kJournalPage);
    if (journaled_.size() <= last) journaled_.resize(last + 1, false);
    for (size_t page = first; page <= last;) {
      if (journaled_[page]) {
        ++page;
        continue;
      }
      // A run of pages not kept yet, read in one piece. Nothing of the last
      // save changes in the file before its page is kept, so the file still
      // holds these bytes as that save left them.
      size_t run_end = page + 1;
      while (run_end <= last && !journaled_[run_end] &&
             static_cast<int64_t>(run_end - page) * kJournalPage < kKeepPiece) {
        ++run_end;
      }
      const int64_t begin = static_cast<int64_t>(page) * kJournalPage;
      const int64_t stop = std::min(static_cast<int64_t>(run_end) * kJournalPage, limit);
      const int32_t length = static_cast<int32_t>(stop - begin);
      const size_t record = journal::kRecordHeaderBytes + static_cast<size_t>(length);
      if (used + record > batch.size()) {
        if (!write_batch()) return false;
        if (record > batch.size()) batch.resize(std::max(record, static_cast<size_t>(kKeepPiece)));
      }
      uint8_t* at = batch.data() + used;
      if (injected_fault()) return fail();
      if (platform::read_at(file_, begin, at + journal::kRecordHeaderBytes, length) != length) {
        platform::set_last_error_code(platform::io_error_code());
        return fail();
      }
      journal_->seal(at, begin, length);
      used += record;
      for (size_t p = page; p < run_end; ++p) journaled_[p] = true;
      batched.push_back({begin, stop});
      page = run_end;
    }
  }
  return write_batch();
}

bool held_file::commit(int64_t kept_end) {
  if (journal_ == nullptr) return true;
  if (!journal_->commit()) return false;
  saved_size_ = size_;
  kept_end_ = kept_end;
  std::vector<bool>().swap(journaled_);
  return true;
}

bool held_file::roll_back() {
  if (journal_ == nullptr) return true;
  // A journal that was not begun holds nothing and stays for the next save.
  if (journal_->started() && !journal_->roll_back(file_, identity_)) return false;
  size_ = disk_size_ = valid_end_ = saved_size_;
  std::vector<bool>().swap(journaled_);
  return true;
}

}  // namespace velkor
