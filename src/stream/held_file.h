// A file held for exclusive use. Nobody else may open it meanwhile, so its
// size is kept here and its bytes move straight to and from the platform by
// position, with no buffer of their own: the storage above keeps what it
// writes and writes it in file order. A size change is applied to the file
// when a write needs it or when the size is synced; bytes cut off by an
// earlier shrink read as zeros, as they would from the platform.
//
// With saves kept (keep_saves()), the journal beside the file holds what
// restores the file's last save (see journal.h): before the file changes
// for the first time after a save the journal begins, and before bytes of
// that save are overwritten or cut off, their pages go to it.
//
// Every failure leaves the platform's error code set and returns a short
// count or false; nothing raises.
#ifndef VELKOR_STREAM_HELD_FILE_H_
#define VELKOR_STREAM_HELD_FILE_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/journal.h"
#include "stream/platform_file.h"

namespace velkor {

class held_file {
 public:
  // The unit in which the journal keeps old bytes.
  static constexpr int64_t kJournalPage = 512;

  held_file(platform::file_handle file, int64_t disk_size);
  held_file(const held_file&) = delete;
  held_file& operator=(const held_file&) = delete;

  int64_t size() const { return size_; }
  // Bytes read from `position` on: fewer than `count` at the end of the
  // file or on failure.
  int32_t read(int64_t position, void* out, int32_t count);
  // Bytes written; fewer than `count` on failure. Writing past the end
  // leaves zero bytes between.
  int32_t write(int64_t position, const void* in, int32_t count);
  // Truncates or extends (with zero bytes) the size the engine sees.
  void resize(int64_t new_size) {
    size_ = new_size;
    valid_end_ = std::min(valid_end_, new_size);
  }
  // Gives the file the size the engine sees.
  bool sync_size();
  // Whether a read returns the file's own bytes as they lie: no size change
  // pending, no old bytes of a journal laid over them.
  bool reads_as_file() const {
    return overlay_.empty() && size_ == disk_size_ && valid_end_ == size_;
  }
  // The bytes of the file that hold data when it was opened (less than its
  // size for a sparse file) plus what was added since.
  int64_t real_size() const { return data_at_open_ + std::max<int64_t>(size_ - size_at_open_, 0); }

  // Before writes to `ranges` (ascending, apart): the journal keeps what
  // they will overwrite of the last save, in one write. False on failure.
  struct range {
    int64_t from;
    int64_t to;
  };
  bool keep_old_of(const std::vector<range>& ranges);

  // Keeps the file's last save restorable through the journal beside
  // `index_path`. A journal that an earlier session left hot is rolled back
  // first (`read_only`: the last save is read through it and the file stays
  // as it is). False on failure.
  bool keep_saves(const std::string& index_path, bool read_only);
  bool keeps_saves() const { return journal_ != nullptr; }
  // After sync_size() made the file the new save: empties the journal. Of
  // the new save only the bytes before `kept_end` mean anything (the rest
  // is kept as a length). False on failure; the journal then still
  // restores the save before.
  bool commit(int64_t kept_end);
  // Of the last save, only the bytes before `kept_end` mean anything.
  void set_kept_end(int64_t kept_end) { kept_end_ = kept_end; }
  // Puts the file back to its last save: a journal begun since is rolled
  // back and removed (one not begun holds nothing and stays). False on
  // failure, the journal then left for the next open to roll back.
  bool roll_back();

 private:
  // Cuts the file back to what is still valid, so that bytes truncated
  // earlier come back as zeros.
  bool drop_stale_tail();
  // Before a write at `position` reaches past the valid end while the file
  // holds stale bytes there: those before `position` become zeros, written
  // over when there are few (the write then covers most of the rest), cut
  // off with the whole stale tail otherwise.
  bool clear_stale_before(int64_t position);
  static constexpr int64_t kZeroFill = 64 << 10;
  // Before the file's bytes from `from` to `to` change (or its size does):
  // begins the journal, and keeps the pages of the last save in that range
  // that it does not hold yet.
  bool keep_old(int64_t from, int64_t to);
  // Lays the old bytes of a hot journal over `count` bytes read at `at`.
  void apply_overlay(int64_t at, uint8_t* out, int64_t count) const;

  platform::file_handle file_;
  // The size the engine sees; the file's size; how much of the file still
  // holds valid bytes (less after a shrink that has not reached the file).
  int64_t size_;
  int64_t disk_size_;
  int64_t valid_end_;
  int64_t size_at_open_;
  int64_t data_at_open_;

  // The journal, while saves are kept; the size of the file at the last
  // save, how much of it means anything, and which of its pages the
  // journal holds.
  std::unique_ptr<journal> journal_;
  uint64_t identity_ = 0;
  int64_t saved_size_ = 0;
  int64_t kept_end_ = 0;
  std::vector<bool> journaled_;
  // Where records are made before they go to the journal.
  std::vector<uint8_t> journal_batch_;
  // A read-only open through a hot journal: the old bytes it holds, by
  // ascending offset.
  struct old_bytes {
    int64_t offset;
    std::vector<uint8_t> bytes;
  };
  std::vector<old_bytes> overlay_;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_HELD_FILE_H_
