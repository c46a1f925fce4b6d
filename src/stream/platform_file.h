// The platform's file interface: the only place where the engine meets the
// operating system. One implementation file per platform; everything above
// this interface is platform-neutral.
#ifndef VELKOR_STREAM_PLATFORM_FILE_H_
#define VELKOR_STREAM_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>

namespace velkor {
namespace platform {

using file_handle = std::intptr_t;
constexpr file_handle kNoFile = -1;

// Open mode bits, shared with _fstream.
constexpr uint32_t kModeCreate = 0x00001;
constexpr uint32_t kModeRead = 0x00002;
constexpr uint32_t kModeWrite = 0x00004;
constexpr uint32_t kModeReadShare = 0x10000;
constexpr uint32_t kModeWriteShare = 0x20000;

// Opens `path` (UTF-8 bytes, not empty) with the mode bits above. Without a
// share bit the file is held exclusively: a second open fails, also from the
// same process. With one, other opens with a share bit may share it.
// "create" creates or truncates and opens for reading and writing. Returns
// false and leaves the platform's error code on failure.
bool open_file(const char* path, uint32_t mode, file_handle* out);
void close_file(file_handle file);

// Transfers at a position: the engine keeps its positions itself. They
// retry short transfers and return the bytes transferred (fewer only at
// the end of the file for a read), or -1 on failure.
int32_t read_at(file_handle file, int64_t offset, void* buffer, int32_t count);
int32_t write_at(file_handle file, int64_t offset, const void* buffer, int32_t count);
// The retry loop both platforms' positioned transfers share: `step(done)`
// moves bytes from `done` on and returns how many, 0 at the end of the file,
// or -1 on failure (with the platform's error code set).
template <class Step>
int32_t transfer_all(int32_t count, Step step) {
  int32_t done = 0;
  while (done < count) {
    const int32_t moved = step(done);
    if (moved < 0) return -1;
    if (moved == 0) break;
    done += moved;
  }
  return done;
}

// A read-only view of `count` bytes of the file from `offset`, where the
// system maps them, without a copy; false (nothing mapped) when it cannot.
// Bytes past the file's end must not be mapped: reading them ends the
// process on some systems. unmap_view() gives the view back. Neither
// changes the platform's last error code, which later error texts report.
struct file_view {
  const uint8_t* bytes = nullptr;
  void* base = nullptr;
  std::size_t length = 0;
};
bool map_view(file_handle file, int64_t offset, int64_t count, file_view* out);
void unmap_view(file_view* view);

// Sets the file's size, truncating or extending with zero bytes.
bool resize_file(file_handle file, int64_t size);
// The file's size in bytes, or -1 on failure.
int64_t file_size(file_handle file);
// The bytes of the file's `size` that hold data: less than `size` only for
// a sparse file, whose holes hold none. `size` where the platform cannot
// tell.
int64_t data_bytes(file_handle file, int64_t size);
bool flush_file(file_handle file);
// A number that tells this file from any other file that is or was at its
// path (the device and inode, the volume and file index); 0 when the
// platform cannot tell.
uint64_t file_identity(file_handle file);
// The identity of the file at `path`, without holding it; 0 when it cannot
// be told.
uint64_t path_identity(const char* path);
// Removes the file at `path` (UTF-8 bytes). False when it could not be
// removed; a file that does not exist counts as removed.
bool remove_file(const char* path);

// The calling thread's last platform error code (errno, GetLastError).
int32_t last_error_code();
// Whether `code` says that a file or a folder on its path does not exist.
bool is_missing_file_error(int32_t code);
void set_last_error_code(int32_t code);
// The code a failed transfer reports (EIO, ERROR_WRITE_FAULT).
int32_t io_error_code();
// The code of a move before the beginning (EINVAL, ERROR_NEGATIVE_SEEK).
int32_t negative_seek_code();

// Seconds since 1970-01-01 00:00 UTC.
int64_t current_time();

}  // namespace platform
}  // namespace velkor

#endif  // VELKOR_STREAM_PLATFORM_FILE_H_
