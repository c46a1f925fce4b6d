// The write-back buffer of a file held for exclusive use. The file is seen
// as pages of 16 KiB; pages are read from the file when first touched, and
// written bytes stay in their pages until write_back() hands them to the
// operating system (or until the buffer runs over its budget and writes back
// the least recently used page). Since no one else may open the file
// meanwhile, the size and contents kept here are the file's own.
//
// Every failure leaves the platform's error code set and returns a short
// count or false; nothing raises.
#ifndef VELKOR_STREAM_FILE_BUFFER_H_
#define VELKOR_STREAM_FILE_BUFFER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/journal.h"
#include "stream/platform_file.h"

namespace velkor {

class file_buffer {
 public:
  static constexpr int kPageShift = 14;
  static constexpr int64_t kPageSize = int64_t{1} << kPageShift;
  // Pages kept before the least recently used one is written back and
  // dropped: 64 MiB.
  static constexpr size_t kMaxPages = 4096;
  // Once this many pages are modified (4 MiB), modified pages that nothing
  // has read are written back and dropped, least recently used first, until
  // half as many are left modified: those that appends created, and those
  // loaded only to take a write (a save rewrites each entry's first slot in
  // place, in the caches' recency order, all over the file). A long run of
  // writes does not keep the whole file in memory. A page that something
  // has read stays, since what is read is usually read again.
  static constexpr size_t kWriteBehindPages = 256;
  // Reads of at least this many bytes take the bytes of pages that are not
  // loaded straight from the file. A chain's slot read whole by a query is
  // rarely read again (the entry stays cached), and loading its pages would
  // copy 16 KiB into fresh memory for each. Short reads, such as the 32-byte
  // slots of indexing with small caches and the token read before an entry
  // is loaded, load pages, since their neighbours are read soon.
  static constexpr int64_t kReadAroundBytes = 256;

  // The budgets are parameters so that tests can make them small.
  file_buffer(platform::file_handle file, int64_t disk_size, size_t max_pages = kMaxPages,
              size_t write_behind_pages = kWriteBehindPages);
  file_buffer(const file_buffer&) = delete;
  file_buffer& operator=(const file_buffer&) = delete;

  int64_t size() const { return size_; }
  // Bytes copied from `position` on: fewer than `count` at the end of the
  // file or when a page cannot be read.
  int32_t read(int64_t position, void* out, int32_t count);
  // Bytes copied into the pages; fewer than `count` when a page cannot be
  // read or written back. Writing past the end leaves zero bytes between.
  int32_t write(int64_t position, const void* in, int32_t count);
  // Truncates or extends (with zero bytes); the file follows at write-back.
  void resize(int64_t new_size);
  // Writes the modified pages and sets the file's size. On failure the pages
  // that were not written stay modified, so a later call tries again.
  // `failed_bytes` tells the size of the transfer that failed (0 when it was
  // the size change).
  bool write_back(int32_t* failed_bytes);
  bool has_modified_pages() const { return modified_pages_ > 0 || disk_size_ != size_; }

  // Keeps the file's last save restorable through the journal beside
  // `index_path`. First, a journal that an earlier session left hot is
  // rolled back (`read_only`: the last save is read through it, the file
  // stays as it is). From then on, before the file changes for the first
  // time after a save the journal begins, and before a byte of that save is
  // overwritten or cut off its page goes to the journal. False on failure,
  // with the platform's error code set.
  bool keep_saves(const std::string& index_path, bool read_only);
  // After a write_back() that made the file the new save: empties the
  // journal. False on failure; the journal then still restores the save
  // before. Of the new save, only the bytes before `kept_end` mean
  // anything (the rest of the file is kept as a length): only they are
  // journaled before they change.
  bool commit(int64_t kept_end);
  // Of the last save, only the bytes before `kept_end` mean anything.
  void set_kept_end(int64_t kept_end) { kept_end_ = kept_end; }
  // Drops every change since the last save, in memory and in the file,
  // which holds that save again; the journal goes. False on failure, the
  // journal then left for the next open to roll back.
  bool roll_back();
  bool keeps_saves() const { return journal_ != nullptr; }
  // Asks the processor for the lines of a loaded page that hold the bytes
  // at `position`; nothing for pages that are not loaded.
  void prefetch(int64_t position, int32_t count) const;

 private:
  struct page {
    std::unique_ptr<uint8_t[]> bytes;
    bool modified = false;
    bool read = false;
    uint64_t last_use = 0;
    uint32_t in_loaded = 0;  // its place in loaded_ while it has bytes
  };

  bool is_loaded(size_t index) const { return index < pages_.size() && pages_[index].bytes; }
  // Reads `count` bytes at `at` straight from the file, zeros past its valid
  // end: a page being loaded, or the bytes of pages that stay unloaded.
  bool read_around(int64_t at, uint8_t* out, int64_t count);
  // The page holding `index`, loaded if need be; null on failure.
  uint8_t* page_for(size_t index, bool will_write_whole);
  bool evict_one();
  // Frees the bytes of a loaded page; what was modified in it is lost.
  void drop_page(size_t index);
  // Writes back and drops the modified pages that were never read,
  // but never `keep`.
  bool write_behind(size_t keep);
  bool write_page(size_t index, int32_t* failed_bytes);
  // Cuts the file back to what is still valid before anything is written
  // past it, so that bytes truncated earlier come back as zeros.
  bool drop_stale_tail();
  // Before the file's bytes from `from` to `to` change (or the file's size
  // does): begins the journal, and keeps the pages of the last save in that
  // range that it does not hold yet.
  bool keep_old(int64_t from, int64_t to);
  // Lays the old bytes of a hot journal over `count` bytes read at `at`.
  void apply_overlay(int64_t at, uint8_t* out, int64_t count) const;

  platform::file_handle file_;
  size_t max_pages_;
  size_t write_behind_pages_;
  // The size the engine sees.
  int64_t size_;
  // The file's size on disk, and how much of it still holds valid bytes
  // (less after a truncation that has not reached the file yet).
  int64_t disk_size_;
  int64_t valid_end_;
  std::vector<page> pages_;
  // Indexes of the pages that have bytes, so that choosing a page to write
  // back or drop never walks the page table of a large file.
  std::vector<uint32_t> loaded_;
  size_t modified_pages_ = 0;
  uint64_t clock_ = 0;

  // The journal, while the buffer keeps saves restorable; the size of the
  // file at the last save, and which of its pages the journal holds.
  std::unique_ptr<journal> journal_;
  int64_t saved_size_ = 0;
  int64_t kept_end_ = 0;
  std::vector<bool> journaled_;
  // A read-only open through a hot journal: the old bytes it holds, by
  // ascending offset.
  struct old_bytes {
    int64_t offset;
    std::vector<uint8_t> bytes;
  };
  std::vector<old_bytes> overlay_;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_FILE_BUFFER_H_
