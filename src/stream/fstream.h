// The stream over a file of the operating system.
#ifndef VELKOR_STREAM_FSTREAM_H_
#define VELKOR_STREAM_FSTREAM_H_

#include <cstdint>
#include <string>

#include "stream/platform_file.h"
#include "stream/stream.h"

namespace velkor {

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
  bool flush() override;
  const char* name() const override { return file_name.c_str(); }

  bool is_open() const { return handle != platform::kNoFile; }

  // The mode words of the open error, e.g. "read|write".
  static std::string mode_words(uint32_t mode);

 private:
  void close();

  platform::file_handle handle = platform::kNoFile;
  std::string file_name;
};

}  // namespace velkor

#endif  // VELKOR_STREAM_FSTREAM_H_
