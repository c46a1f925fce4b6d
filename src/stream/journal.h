// The rollback journal that makes a save atomic. It lives beside the index
// file as "<index path>-journal" and holds the bytes of the last save that
// the engine has overwritten or cut off since:
//
//   header  "velkorJ1" (8 bytes), u64 size of the file at the last save,
//           u64 identity of the file (see platform::file_identity), u32
//           checksum of the 24 bytes before it, u32 salt
//   record  u64 offset, u32 length, u32 checksum of offset, length and the
//           bytes, then the length old bytes of the file at offset
//
// Integers are little-endian; every checksum is seeded with the salt. Before
// the file changes for the first time after a save, the header goes to the
// journal; before bytes of that save are overwritten or cut off, a record of
// them. A save that has written everything zeroes the header: that is its
// commit. A journal that holds a header is hot: the file may be torn, and
// writing the records back and setting the file to the saved size restores
// the last save.
//
// The journal file stays beside its index between saves and sessions, and
// the next journal is written over the old one: writing over pages the
// system already holds for the file costs less than making new ones, and
// than the truncation that would free them. Behind the records of a hot
// journal, old ones may lie; each journal draws a new salt, so their
// checksums end the journal there. Each write is a
// system call issued after the one before it returned, so a process killed
// at any moment leaves the journal complete for every change that reached
// the file (the operating system keeps both files' bytes). A record cut short
// by the kill was never followed by its change and is ignored. A journal
// whose identity is not the file's belongs to a file that was replaced
// since (deleted and made anew, or renamed over): it is removed unread.
#ifndef VELKOR_STREAM_JOURNAL_H_
#define VELKOR_STREAM_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stream/platform_file.h"

namespace velkor {

class journal {
 public:
  static constexpr int32_t kHeaderBytes = 32;
  static constexpr int32_t kRecordHeaderBytes = 16;
  // No record the engine writes is longer: a longer one is damage.
  static constexpr int32_t kMaxRecordBytes = 1 << 20;
  // A commit cuts a longer journal file back to this length: what stays
  // between saves is bounded.
  static constexpr int64_t kKeptFileBytes = int64_t{32} << 20;

  using record_visitor = std::function<bool(int64_t offset, const uint8_t* bytes, int32_t count)>;

  explicit journal(const std::string& index_path);
  journal(const journal&) = delete;
  journal& operator=(const journal&) = delete;
  // Closes the journal file; the file stays (see remove()).
  ~journal();

  const std::string& path() const { return path_; }
  bool is_open() const { return file_ != platform::kNoFile; }

  // Opens the journal that an earlier session left, if there is one (held
  // exclusively, for writing when `writable`). False on failure; a journal
  // that is not there is no failure.
  bool open_left(bool writable);
  // Reads a journal through `read_at(offset, bytes, count, whole)`, which
  // reads up to `count` bytes, sets `whole` when it got them all and
  // returns false on a failed read. See read() for the rest.
  using reader = std::function<bool(int64_t offset, uint8_t* bytes, int32_t count, bool* whole)>;
  static bool parse(const reader& read_at, bool* hot, int64_t* saved_size, uint64_t* identity,
                    const record_visitor& each);
  // Reads the open journal: `hot` tells whether it holds a save to restore
  // (a journal without a whole header does not), `saved_size` the size of
  // that save's file; each record goes to `each`, in the order written. A
  // record cut short, or one whose length or checksum is wrong, ends the
  // records. False on a failed read, or when `each` returns false.
  bool read(bool* hot, int64_t* saved_size, uint64_t* identity, const record_visitor& each);
  // When the open journal is hot and belongs to `file` (whose identity is
  // `identity`), writes its records back into the file and gives it the
  // saved size; then removes the journal. A hot journal of another file is
  // removed unread; a journal that is not hot stays, open. False on
  // failure, the journal then left for the next try.
  bool roll_back(platform::file_handle file, uint64_t identity);

  // Whether the journal holds a header: the file has changed since the
  // last save.
  bool started() const { return started_; }
  // Begins the journal of the file `identity` whose last save is
  // `saved_size` bytes long: creates the journal file (held exclusively)
  // unless it is open, draws a salt and writes the header.
  bool start(int64_t saved_size, uint64_t identity);
  // Keeps `count` old bytes that stood at `offset` at the last save.
  bool keep(int64_t offset, const uint8_t* bytes, int32_t count);
  // Fills in the header of a record whose `count` bytes follow it, kept
  // from `offset`, for the journal begun last.
  void seal(uint8_t* record, int64_t offset, int32_t count) const;
  // Keeps records made with seal(), back to back, in one write.
  bool keep_sealed(const uint8_t* records, size_t bytes);
  // The save is complete: zeroes the header. The journal stays open and
  // held, cut back to kKeptFileBytes when it is longer.
  bool commit();
  // Closes and removes the journal file.
  bool remove();

 private:
  bool create();
  void close();

  std::string path_;
  platform::file_handle file_ = platform::kNoFile;
  bool started_ = false;
  uint32_t salt_ = 0;
  // Where the next record goes; the length of the journal file.
  int64_t end_ = 0;
  int64_t length_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_JOURNAL_H_
