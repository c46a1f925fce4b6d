// The stream over a file of the operating system. Its position is a number
// kept here: a seek is arithmetic and cannot fail behind anyone's back, and
// every transfer goes to the platform at that position.
#ifndef VELKOR_STREAM_FSTREAM_H_
#define VELKOR_STREAM_FSTREAM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "stream/held_file.h"
#include "stream/platform_file.h"
#include "stream/stream.h"

namespace velkor {

// A file opened without share bits is held for exclusive use: the stream
// keeps its size itself (see held_file). A shared file is asked for its size
// at each call, as others may change it.
class _fstream : public _stream {
 public:
  static constexpr uint32_t kCreate = platform::kModeCreate;
  static constexpr uint32_t kRead = platform::kModeRead;
  static constexpr uint32_t kWrite = platform::kModeWrite;
  static constexpr uint32_t kReadShare = platform::kModeReadShare;
  static constexpr uint32_t kWriteShare = platform::kModeWriteShare;

  // Opens `path`; with `raise_on_failure` a failed open raises the open
  // error, otherwise it leaves a closed stream.
  _fstream(const char* path, uint32_t mode, bool raise_on_failure);
  _fstream(const _fstream&) = delete;
  _fstream& operator=(const _fstream&) = delete;
  ~_fstream() override;

  bool open(const char* path, uint32_t mode, bool raise_on_failure);
  // Closes what is open, then opens `path`; false (and closed) on failure.
  bool _open(const char* path, uint32_t mode);

  int32_t _seek(int32_t offset, int32_t origin) override;
  int32_t _read(void* buffer, int32_t count) override;
  int32_t _write(const void* buffer, int32_t count) override;
  int32_t _resize(int32_t new_size) override;
  // A held file knows its size: no seeks needed.
  int32_t _size() override;
  bool flush() override;
  int64_t real_size() override;
  // Between lend_views() and release_view() (one pass that parses the
  // file: an open), the stream lends the file's bytes where the system maps
  // them, from one view that reaches to the end of the file. A lent pointer
  // holds until release_view(), closing, a write, or a call that lends
  // bytes before those of the view. Nothing is lent where reads are not the
  // file's own bytes.
  bool take_held(int64_t count, const uint8_t** bytes, int64_t* taken) override;
  void lend_views() { lending_ = true; }
  void release_view() {
    lending_ = false;
    platform::unmap_view(&view_);
  }
  // The journal keeps the old bytes of every part at once, then the parts
  // are written.
  void write_parts(const std::vector<part>& parts) override;
  const char* name() const override { return file_name.c_str(); }

  bool is_open() const { return handle != platform::kNoFile; }

  // Gives the file the size the stream has (a held file applies a size
  // change when a write needs it). Raises the resize error on failure.
  void write_back();

  // Keeps the file's last save restorable through a journal beside it (see
  // journal.h): a save of an earlier session that never completed is rolled
  // back first (read through, when `read_only`). From then on the file
  // changes only as far as the journal can undo, commit() makes its state
  // the new save, and closing drops whatever changed since the last save.
  // Raises the roll-back error on failure.
  void keep_saves(bool read_only);
  // After write_back(): the file as it stands is the new save, of which
  // only the bytes before `kept_end` mean anything. Raises the journal's
  // resize error on failure.
  void commit(int32_t kept_end);
  // Of the last save, only the bytes before `kept_end` mean anything: the
  // journal keeps those, and the file's length.
  void set_kept_end(int32_t kept_end);

  // The mode words of the open error, e.g. "read|write".
  static std::string mode_words(uint32_t mode);

 private:
  void close();

  platform::file_handle handle = platform::kNoFile;
  std::string file_name;
  // Set while the file is held exclusively.
  std::unique_ptr<held_file> held_;
  int64_t position_ = 0;
  bool writable_ = false;
  platform::file_view view_;
  int64_t view_at_ = 0;  // the file position of view_.bytes
  bool lending_ = false;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_FSTREAM_H_
