/* A Windows host that uses the DLL as a host application would: it loads
 * velkor_index.dll with LoadLibrary, resolves all eighteen exports by name
 * with GetProcAddress and calls them on a real index in a temporary folder,
 * one whose name is not ASCII among them. The null-handle answers are the C
 * host's to check.
 *
 *   win_loadlibrary_host PATH_OF_DLL
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef struct idx_index_s* idx_handle;
typedef bool (*enum_callback)(uint32_t, const char*, int32_t, void*);

static const char* const kNames[18] = {
    "idx_open",       "idx_close",       "idx_save",         "idx_discard", "idx_index",
    "idx_query",      "idx_id_of",       "idx_path_of",      "idx_time_of", "idx_count_of",
    "idx_enum_path",  "idx_get_modify",  "idx_adjust_cache", "_get_err_id", "_get_err_msg",
    "_get_err_where", "_get_err_params", "_get_err_comment"};
static FARPROC exports[18];

/* GetProcAddress returns one generic function pointer type: each call casts
 * it to the export's own. */
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
#define get_err(k) CALL(13 + (k), const char* (*)(void))()

static int failed;

static void check(bool ok, const char* what) {
  if (ok) return;
  ++failed;
  fprintf(stderr, "FAILED: %s (last error \"%s\" \"%s\")\n", what, get_err(0), get_err(3));
}

static bool same(const char* got, const char* want) {
  return got != NULL && strcmp(got, want) == 0;
}

static bool no_error(void) {
  for (int k = 0; k < 5; ++k) {
    if (!same(get_err(k), "")) return false;
  }
  return true;
}

static bool count_paths(uint32_t id, const char* path, int32_t time, void* user) {
  (void)id, (void)path, (void)time;
  ++*(int*)user;
  return true;
}

/* Creates the empty file `name` in `wide_folder` and gives its UTF-8 path. */
static void make_file(const wchar_t* wide_folder, const wchar_t* name, char* utf8, int size) {
  wchar_t wide[MAX_PATH];
  _snwprintf(wide, MAX_PATH, L"%ls%ls", wide_folder, name);
  wide[MAX_PATH - 1] = 0;
  HANDLE f = CreateFileW(wide, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  check(f != INVALID_HANDLE_VALUE, "create an empty index file");
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
  idx_handle h = idx_open(file, false);
  check(h != NULL && no_error(), "idx_open of an empty file");
  if (h == NULL) return 1;
  /* A held index file cannot be opened a second time. */
  check(idx_open(file, false) == NULL, "second idx_open of a held file is NULL");
  snprintf(want, sizeof want, "FileName[%s] OpenMode[read|write] ErrCode[32]", file);
  check(same(get_err(3), want), "second idx_open: sharing violation in params");
  const uint32_t id = idx_id_of(h, "docs/a.txt", true);
  check(idx_index(h, id, "gamma;delta;delta", ";") == 2 && no_error(), "idx_index");
  snprintf(want, sizeof want, "%d 2", (int32_t)id);
  check(same(idx_query(h, "delta", " "), want), "idx_query with a separator");
  check(same(idx_path_of(h, id), "docs/a.txt") && idx_time_of(h, (int32_t)id) > 0,
        "idx_path_of, idx_time_of");
  int calls = 0;
  check(idx_enum_path(h, count_paths, &calls) == 1 && calls == 1, "idx_enum_path calls once");
  check(idx_adjust_cache(h, 100, 100) && idx_get_modify(h), "idx_adjust_cache, idx_get_modify");
  check(idx_save(h) && idx_count_of(h, 0) > 512 && no_error(), "idx_save");
  check(idx_close(h), "idx_close");
  h = idx_open(file, false);
  check(h != NULL && idx_discard(h, id) != 0xFFFFFFFFu, "idx_discard after reopening");
  check(same(idx_query(h, "delta", ","), "") && idx_close(h), "idx_query after idx_discard");

  /* The index file's path is UTF-8: the DLL opens the file whose wide name
   * holds U+4E2D. */
  make_file(folder, L"\x4E2D.idx", file, sizeof file);
  h = idx_open(file, false);
  check(h != NULL, "idx_open of a UTF-8 path");
  if (h != NULL) idx_close(h);
  printf("%d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
