// POSIX file layer. Exclusive use is a flock() lock on the open file
// description: unlike fcntl() record locks, it also conflicts with a second
// open of the same file inside this process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "stream/fault_injection.h"
#include "stream/platform_file.h"

namespace velkor {
namespace platform {

namespace {

int to_fd(file_handle file) { return static_cast<int>(file); }

}  // namespace

bool open_file(const char* path, uint32_t mode, file_handle* out) {
  *out = kNoFile;
  const bool create = (mode & kModeCreate) != 0;
  const bool read = (mode & kModeRead) != 0;
  const bool write = (mode & kModeWrite) != 0;
  int flags = O_CLOEXEC;
  if (create || (read && write)) {
    flags |= O_RDWR;
  } else if (write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  // Truncation waits until the lock is held, so that a held file is never
  // cut by an open that then fails.
  if (create) flags |= O_CREAT;
  const int fd = ::open(path, flags, 0666);
  if (fd < 0) return false;

  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  // A shared open still takes a shared lock, so that it is refused while an
  // exclusive holder has the file and keeps exclusive openers out meanwhile.
  const bool shared = (mode & (kModeReadShare | kModeWriteShare)) != 0;
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  if (create && ::ftruncate(fd, 0) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  *out = fd;
  return true;
}

void close_file(file_handle file) {
  if (file != kNoFile) ::close(to_fd(file));
}

int32_t read_at(file_handle file, int64_t offset, void* buffer, int32_t count) {
  return transfer_all(count, [&](int32_t done) -> int32_t {
    for (;;) {
      const ssize_t got =
          ::pread(to_fd(file), static_cast<char*>(buffer) + done, static_cast<size_t>(count - done),
                  static_cast<off_t>(offset + done));
      if (got >= 0) return static_cast<int32_t>(got);
      if (errno != EINTR) return -1;
    }
  });
}

int32_t write_at(file_handle file, int64_t offset, const void* buffer, int32_t count) {
  faults::before_mutation();
  return transfer_all(count, [&](int32_t done) -> int32_t {
    for (;;) {
      const ssize_t put =
          ::pwrite(to_fd(file), static_cast<const char*>(buffer) + done,
                   static_cast<size_t>(count - done), static_cast<off_t>(offset + done));
      if (put > 0) return static_cast<int32_t>(put);
      if (put == 0) errno = ENOSPC;  // a write that moves nothing will not move more
      if (put == 0 || errno != EINTR) return -1;
    }
  });
}

bool map_view(file_handle file, int64_t offset, int64_t count, file_view* out) {
  *out = file_view{};
  static const int64_t page = ::sysconf(_SC_PAGESIZE);
  if (offset < 0 || count <= 0 || page <= 0) return false;
  const int64_t from = offset - offset % page;
  const std::size_t length = static_cast<std::size_t>(offset - from + count);
  // A view changes nothing the engine reports: errno stays what it was.
  const int saved = errno;
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, to_fd(file), static_cast<off_t>(from));
  errno = saved;
  if (base == MAP_FAILED) return false;
  *out = {static_cast<const uint8_t*>(base) + (offset - from), base, length};
  return true;
}

void unmap_view(file_view* view) {
  const int saved = errno;
  if (view->base != nullptr) ::munmap(view->base, view->length);
  errno = saved;
  *view = file_view{};
}

bool resize_file(file_handle file, int64_t size) {
  faults::before_mutation();
  return ::ftruncate(to_fd(file), static_cast<off_t>(size)) == 0;
}

int64_t file_size(file_handle file) {
  struct stat info;
  if (::fstat(to_fd(file), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

int64_t data_bytes(file_handle file, int64_t size) {
  // Counted hole by hole; a file of very many holes counts the rest as data.
  constexpr int kMaxHoles = 4096;
  const int fd = to_fd(file);
  const int saved = errno;
  int64_t data = 0;
  off_t at = 0;
  for (int holes = 0; at < size; ++holes) {
    const off_t begin = ::lseek(fd, at, SEEK_DATA);
    if (begin < 0) {
      // ENXIO: only a hole is left. Anything else: no hole is known.
      if (errno != ENXIO) data = size;
      break;
    }
    if (holes == kMaxHoles) {
      data += size - begin;
      break;
    }
    const off_t end = ::lseek(fd, begin, SEEK_HOLE);
    if (end < 0) {
      data = size;
      break;
    }
    data += std::min<int64_t>(end, size) - begin;
    at = end;
  }
  errno = saved;
  return std::min(data, size);
}

bool flush_file(file_handle file) { return ::fsync(to_fd(file)) == 0; }

uint64_t file_identity(file_handle file) {
  struct stat info;
  if (::fstat(to_fd(file), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_ino) ^ (static_cast<uint64_t>(info.st_dev) << 40);
}

uint64_t path_identity(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_ino) ^ (static_cast<uint64_t>(info.st_dev) << 40);
}

bool remove_file(const char* path) {
  faults::before_mutation();
  return ::unlink(path) == 0 || errno == ENOENT;
}

int32_t last_error_code() { return errno; }

bool is_missing_file_error(int32_t code) { return code == ENOENT || code == ENOTDIR; }

void set_last_error_code(int32_t code) { errno = code; }

int32_t io_error_code() { return EIO; }

int32_t negative_seek_code() { return EINVAL; }

int64_t current_time() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace platform
}  // namespace velkor
