// A Windows host that uses the DLL as a host application would: it loads
// velkor_index.dll with LoadLibrary, resolves all eighteen exports by name
// with GetProcAddress, makes the checks of host_checks.h on an index in a
// temporary folder, and opens an index whose name is not ASCII.
//
//   win_loadlibrary_host PATH_OF_DLL
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

typedef struct idx_index_s* idx_handle;
typedef bool (*enum_callback)(uint32_t, const char*, int32_t, void*);

static const char* const kNames[18] = {
    "idx_open",       "idx_close",       "idx_save",         "idx_discard", "idx_index",
    "idx_query",      "idx_id_of",       "idx_path_of",      "idx_time_of", "idx_count_of",
    "idx_enum_path",  "idx_get_modify",  "idx_adjust_cache", "_get_err_id", "_get_err_msg",
    "_get_err_where", "_get_err_params", "_get_err_comment"};
static FARPROC exports[18];

// GetProcAddress returns one generic function pointer type: each call casts
// it to the export's own.
#define CALL(i, type) ((type)(void (*)(void))exports[i])
#define idx_open CALL(0, idx_handle (*)(const char*, bool))
#define idx_close CALL(1, bool (*)(idx_handle))
#define idx_save CALL(2, bool (*)(idx_handle))
#define idx_discard CALL(3, uint32_t (*)(idx_handle, uint32_t))
#define idx_index CALL(4, uint32_t (*)(idx_handle, uint32_t, const char*, const char*))
#define idx_query CALL(5, const char* (*)(idx_handle, const char*, const char*))
#define idx_id_of CALL(6, uint32_t (*)(idx_handle, const char*, bool))
#define idx_path_of CALL(7, const char* (*)(idx_handle, uint32_t))
#define idx_time_of CALL(8, int64_t (*)(idx_handle, int32_t))
#define idx_count_of CALL(9, int32_t (*)(idx_handle, uint32_t))
#define idx_enum_path CALL(10, int32_t (*)(idx_handle, enum_callback, void*))
#define idx_get_modify CALL(11, bool (*)(idx_handle))
#define idx_adjust_cache CALL(12, bool (*)(idx_handle, int32_t, int32_t))
#define _get_err_id CALL(13, const char* (*)(void))
#define _get_err_msg CALL(14, const char* (*)(void))
#define _get_err_where CALL(15, const char* (*)(void))
#define _get_err_params CALL(16, const char* (*)(void))
#define _get_err_comment CALL(17, const char* (*)(void))

#include "host_checks.h"

// Creates the empty file `name` in `wide_folder` and gives its UTF-8 path.
static void make_file(const wchar_t* wide_folder, const wchar_t* name, char* utf8, int size) {
  wchar_t wide[MAX_PATH];
  _snwprintf(wide, MAX_PATH, L"%ls%ls", wide_folder, name);
  wide[MAX_PATH - 1] = 0;
  HANDLE f = CreateFileW(wide, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  CHECK(f != INVALID_HANDLE_VALUE);
  CloseHandle(f);
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, NULL, NULL);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) {
    fprintf(stderr, "FAILED: LoadLibrary(%s): error %lu\n", argv[1], GetLastError());
    return 1;
  }
  for (int i = 0; i < 18; ++i) {
    exports[i] = GetProcAddress(dll, kNames[i]);
    if (exports[i] == NULL) {
      fprintf(stderr, "FAILED: export %s not found\n", kNames[i]);
      return 1;
    }
  }
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  wcscat(folder, L"velkor-host\\");
  CreateDirectoryW(folder, NULL);
  char file[MAX_PATH * 4], want[MAX_PATH * 4 + 64];
  make_file(folder, L"real.idx", file, sizeof file);
  check_exports(file);

  // A held index file cannot be opened a second time: a sharing violation.
  idx_handle h = idx_open(file, false);
  CHECK(h != NULL && idx_open(file, false) == NULL);
  snprintf(want, sizeof want, "FileName[%s] OpenMode[read|write] ErrCode[32]", file);
  CHECK(same(_get_err_params(), want));
  idx_close(h);
  // The index file's path is UTF-8: the DLL opens the file whose wide name
  // holds U+4E2D.
  make_file(folder, L"\x4E2D.idx", file, sizeof file);
  h = idx_open(file, false);
  CHECK(h != NULL);
  if (h != NULL) idx_close(h);
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
