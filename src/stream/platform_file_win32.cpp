// Windows file layer. The index file's path arrives as UTF-8 bytes and is
// opened through the wide-character interface; exclusive use is the share
// mode of CreateFileW, which a second open fails against with
// ERROR_SHARING_VIOLATION, also inside this process.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#include <time.h>

#include <string>

#include "stream/fault_injection.h"
#include "stream/platform_file.h"
#include "stream/utf8_path.h"

namespace velkor {
namespace platform {

namespace {

HANDLE to_handle(file_handle file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

// INVALID_HANDLE_VALUE doubles as the closed state.
static_assert(sizeof(file_handle) == sizeof(HANDLE), "a handle must fit file_handle");

bool open_file(const char* path, uint32_t mode, file_handle* out) {
  *out = kNoFile;
  DWORD access = 0;
  if ((mode & kModeCreate) != 0) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else {
    if ((mode & kModeRead) != 0) access |= GENERIC_READ;
    if ((mode & kModeWrite) != 0) access |= GENERIC_WRITE;
  }
  DWORD share = 0;
  if ((mode & kModeReadShare) != 0) share |= FILE_SHARE_READ;
  if ((mode & kModeWriteShare) != 0) share |= FILE_SHARE_WRITE;
  const DWORD disposition = (mode & kModeCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;

  const std::u16string units = utf8_path_units(path);
  const std::wstring wide(units.begin(), units.end());
  const HANDLE file = ::CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *out = reinterpret_cast<file_handle>(file);
  return true;
}

void close_file(file_handle file) {
  if (file != kNoFile) ::CloseHandle(to_handle(file));
}

namespace {

OVERLAPPED at_offset(int64_t offset) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return where;
}

}  // namespace

// On a handle opened without FILE_FLAG_OVERLAPPED, ReadFile and WriteFile
// with an OVERLAPPED offset are synchronous positioned transfers.
int32_t read_at(file_handle file, int64_t offset, void* buffer, int32_t count) {
  return transfer_all(count, [&](int32_t done) -> int32_t {
    OVERLAPPED where = at_offset(offset + done);
    DWORD got = 0;
    if (::ReadFile(to_handle(file), static_cast<char*>(buffer) + done,
                   static_cast<DWORD>(count - done), &got, &where)) {
      return static_cast<int32_t>(got);
    }
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  });
}

bool map_view(file_handle file, int64_t offset, int64_t count, file_view* out) {
  *out = file_view{};
  SYSTEM_INFO system;
  ::GetSystemInfo(&system);
  const int64_t granularity = system.dwAllocationGranularity;
  if (offset < 0 || count <= 0 || granularity <= 0) return false;
  // A view changes nothing the engine reports: the thread's last error
  // stays what it was, mapped or not.
  const DWORD saved = ::GetLastError();
  // The mapping object lives on with the view that holds it.
  const HANDLE mapping = ::CreateFileMappingW(to_handle(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  void* base = nullptr;
  const int64_t from = offset - offset % granularity;
  const SIZE_T length = static_cast<SIZE_T>(offset - from + count);
  if (mapping != nullptr) {
    base = ::MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(from >> 32),
                           static_cast<DWORD>(from & 0xFFFFFFFF), length);
    ::CloseHandle(mapping);
  }
  ::SetLastError(saved);
  if (base == nullptr) return false;
  *out = {static_cast<const uint8_t*>(base) + (offset - from), base, length};
  return true;
}

void unmap_view(file_view* view) {
  const DWORD saved = ::GetLastError();
  if (view->base != nullptr) ::UnmapViewOfFile(view->base);
  ::SetLastError(saved);
  *view = file_view{};
}

int32_t write_at(file_handle file, int64_t offset, const void* buffer, int32_t count) {
  faults::before_mutation();
  return transfer_all(count, [&](int32_t done) -> int32_t {
    OVERLAPPED where = at_offset(offset + done);
    DWORD put = 0;
    if (!::WriteFile(to_handle(file), static_cast<const char*>(buffer) + done,
                     static_cast<DWORD>(count - done), &put, &where)) {
      return -1;
    }
    if (put == 0) {
      ::SetLastError(ERROR_DISK_FULL);  // a write that moves nothing will not move more
      return -1;
    }
    return static_cast<int32_t>(put);
  });
}

bool resize_file(file_handle file, int64_t size) {
  faults::before_mutation();
  LARGE_INTEGER where;
  where.QuadPart = size;
  if (!::SetFilePointerEx(to_handle(file), where, nullptr, FILE_BEGIN)) return false;
  return ::SetEndOfFile(to_handle(file)) != 0;
}

int64_t file_size(file_handle file) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(to_handle(file), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

int64_t data_bytes(file_handle file, int64_t size) {
  // Only a file marked sparse has ranges without storage.
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(to_handle(file), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) == 0) {
    return size;
  }
  FILE_ALLOCATED_RANGE_BUFFER query;
  query.FileOffset.QuadPart = 0;
  query.Length.QuadPart = size;
  FILE_ALLOCATED_RANGE_BUFFER ranges[256];
  DWORD got = 0;
  // One batch of ranges; a file of more counts the rest as data.
  const BOOL whole = ::DeviceIoControl(to_handle(file), FSCTL_QUERY_ALLOCATED_RANGES, &query,
                                       sizeof query, ranges, sizeof ranges, &got, nullptr);
  if (!whole && ::GetLastError() != ERROR_MORE_DATA) return size;
  int64_t data = 0;
  const DWORD count = got / sizeof ranges[0];
  for (DWORD i = 0; i < count; ++i) data += ranges[i].Length.QuadPart;
  if (!whole && count > 0) {
    data += size - (ranges[count - 1].FileOffset.QuadPart + ranges[count - 1].Length.QuadPart);
  }
  return data < size ? data : size;
}

bool flush_file(file_handle file) { return ::FlushFileBuffers(to_handle(file)) != 0; }

uint64_t file_identity(file_handle file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(to_handle(file), &info)) return 0;
  const uint64_t index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return index ^ (uint64_t{info.dwVolumeSerialNumber} << 40);
}

uint64_t path_identity(const char* path) {
  const std::u16string units = utf8_path_units(path);
  const std::wstring wide(units.begin(), units.end());
  // No access asked: an open for the file's attributes goes past any share
  // mode of those who hold it.
  const HANDLE file = ::CreateFileW(wide.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  const uint64_t identity = file_identity(reinterpret_cast<file_handle>(file));
  ::CloseHandle(file);
  return identity;
}

bool remove_file(const char* path) {
  faults::before_mutation();
  const std::u16string units = utf8_path_units(path);
  const std::wstring wide(units.begin(), units.end());
  if (::DeleteFileW(wide.c_str())) return true;
  const DWORD code = ::GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

int32_t last_error_code() { return static_cast<int32_t>(::GetLastError()); }

bool is_missing_file_error(int32_t code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

void set_last_error_code(int32_t code) { ::SetLastError(static_cast<DWORD>(code)); }

int32_t io_error_code() { return ERROR_WRITE_FAULT; }

int32_t negative_seek_code() { return ERROR_NEGATIVE_SEEK; }

int64_t current_time() { return static_cast<int64_t>(::_time64(nullptr)); }

}  // namespace platform
}  // namespace velkor
