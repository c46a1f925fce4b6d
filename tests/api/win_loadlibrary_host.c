/* A Windows host that uses the DLL as a host application would: it loads
 * velkor_index.dll with LoadLibrary, resolves all eighteen exports by name
 * with GetProcAddress and calls each of them on a real index in a temporary
 * folder. The null-handle answers are the C host's to check.
 *
 *   win_loadlibrary_host PATH_OF_DLL
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

typedef struct idx_index_s* idx_handle;
typedef bool (*enum_callback)(uint32_t, const char*, int32_t, void*);

static struct {
  idx_handle (*open)(const char*, bool);
  bool (*close)(idx_handle);
  bool (*save)(idx_handle);
  uint32_t (*discard)(idx_handle, uint32_t);
  uint32_t (*index)(idx_handle, uint32_t, const char*, const char*);
  const char* (*query)(idx_handle, const char*, const char*);
  uint32_t (*id_of)(idx_handle, const char*, bool);
  const char* (*path_of)(idx_handle, uint32_t);
  int64_t (*time_of)(idx_handle, int32_t);
  int32_t (*count_of)(idx_handle, uint32_t);
  int32_t (*enum_path)(idx_handle, enum_callback, void*);
  bool (*get_modify)(idx_handle);
  bool (*adjust_cache)(idx_handle, int32_t, int32_t);
  const char* (*err[5])(void);
} api;

static const char* const kErrNames[5] = {"_get_err_id", "_get_err_msg", "_get_err_where",
                                         "_get_err_params", "_get_err_comment"};

static int passed;
static int failed;

static void check(bool ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "FAILED: %s\n", what);
  }
}

static void check_text(const char* got, const char* want, const char* what) {
  check(got != NULL && strcmp(got, want) == 0, what);
}

static void check_no_error(const char* what) {
  for (int i = 0; i < 5; ++i) {
    char label[160];
    snprintf(label, sizeof label, "%s: %s is empty", what, kErrNames[i]);
    check_text(api.err[i](), "", label);
  }
}

static FARPROC resolve(HMODULE dll, const char* name) {
  FARPROC f = GetProcAddress(dll, name);
  if (f == NULL) {
    fprintf(stderr, "FAILED: export %s not found\n", name);
    ++failed;
  }
  return f;
}

/* GetProcAddress returns one generic function pointer type; its bits are
 * copied into the typed pointer. */
#define RESOLVE(field, name)            \
  do {                                  \
    FARPROC f_ = resolve(dll, name);    \
    memcpy(&api.field, &f_, sizeof f_); \
  } while (0)

static bool load(const char* dll_path) {
  HMODULE dll = LoadLibraryA(dll_path);
  if (dll == NULL) {
    fprintf(stderr, "FAILED: LoadLibrary(%s): error %lu\n", dll_path, GetLastError());
    return false;
  }
  RESOLVE(open, "idx_open");
  RESOLVE(close, "idx_close");
  RESOLVE(save, "idx_save");
  RESOLVE(discard, "idx_discard");
  RESOLVE(index, "idx_index");
  RESOLVE(query, "idx_query");
  RESOLVE(id_of, "idx_id_of");
  RESOLVE(path_of, "idx_path_of");
  RESOLVE(time_of, "idx_time_of");
  RESOLVE(count_of, "idx_count_of");
  RESOLVE(enum_path, "idx_enum_path");
  RESOLVE(get_modify, "idx_get_modify");
  RESOLVE(adjust_cache, "idx_adjust_cache");
  for (int i = 0; i < 5; ++i) RESOLVE(err[i], kErrNames[i]);
  return failed == 0;
}

static bool count_paths(uint32_t id, const char* path, int32_t time, void* user) {
  (void)id;
  (void)path;
  (void)time;
  ++*(int*)user;
  return true;
}

/* The folder for this run's files, as UTF-8 with a trailing backslash. */
static bool make_folder(wchar_t* wide, size_t wide_len, char* utf8, size_t utf8_len) {
  wchar_t temp[MAX_PATH];
  if (GetTempPathW(MAX_PATH, temp) == 0) return false;
  _snwprintf(wide, wide_len, L"%lsvelkor-host-%lu\\", temp, GetCurrentProcessId());
  wide[wide_len - 1] = 0;
  if (!CreateDirectoryW(wide, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, (int)utf8_len, NULL, NULL) > 0;
}

static bool create_empty(const wchar_t* path) {
  HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE) return false;
  CloseHandle(f);
  return true;
}

static void real_index(const wchar_t* wide_folder, const char* folder) {
  wchar_t wide_file[MAX_PATH];
  char file[MAX_PATH * 4];
  char want[MAX_PATH * 4 + 64];
  _snwprintf(wide_file, MAX_PATH, L"%lsreal.idx", wide_folder);
  snprintf(file, sizeof file, "%sreal.idx", folder);
  check(create_empty(wide_file), "create the empty index file");
  idx_handle h = api.open(file, false);
  check(h != NULL, "idx_open of an empty file");
  check_no_error("idx_open");
  if (h == NULL) return;

  /* A held index file cannot be opened a second time. */
  check(api.open(file, false) == NULL, "second idx_open of a held file is NULL");
  snprintf(want, sizeof want, "FileName[%s] OpenMode[read|write] ErrCode[32]", file);
  check_text(api.err[3](), want, "second idx_open: sharing violation in params");

  const uint32_t id = api.id_of(h, "docs/a.txt", true);
  check(api.id_of(h, "docs/a.txt", false) == id, "idx_id_of finds the registered path");
  check(api.index(h, id, "gamma;delta;delta", ";") == 2, "idx_index with a delimiter");
  check_no_error("idx_index");
  snprintf(want, sizeof want, "%d 2", (int32_t)id);
  check_text(api.query(h, "delta", " "), want, "idx_query with a separator");
  check_text(api.path_of(h, id), "docs/a.txt", "idx_path_of");
  const int64_t now = (int64_t)time(NULL);
  const int64_t created = api.time_of(h, (int32_t)id);
  check(created >= now - 120 && created <= now + 5, "idx_time_of is the registration time");
  int calls = 0;
  check(api.enum_path(h, count_paths, &calls) == 1 && calls == 1, "idx_enum_path calls once");
  check(api.adjust_cache(h, 100, 100) && api.get_modify(h), "idx_adjust_cache, idx_get_modify");
  check(api.save(h) && api.count_of(h, 0) > 512, "idx_save");
  check_no_error("idx_save");
  check(api.close(h), "idx_close");
  h = api.open(file, false);
  check(h != NULL && api.discard(h, id) != 0xFFFFFFFFu, "idx_discard after reopening");
  check_text(api.query(h, "delta", ","), "", "idx_query after idx_discard");
  check(api.close(h), "idx_close without saving");
  DeleteFileW(wide_file);
}

/* The index file's path is UTF-8: the DLL opens the file whose wide name
 * holds U+4E2D. */
static void non_ascii_path(const wchar_t* wide_folder, const char* folder) {
  wchar_t wide_file[MAX_PATH];
  char file[MAX_PATH * 4];
  _snwprintf(wide_file, MAX_PATH, L"%ls\x4E2D.idx", wide_folder);
  snprintf(file, sizeof file, "%s\xE4\xB8\xAD.idx", folder);
  check(create_empty(wide_file), "create the file named U+4E2D");
  idx_handle h = api.open(file, false);
  check(h != NULL, "idx_open of a UTF-8 path");
  if (h != NULL) api.close(h);
  DeleteFileW(wide_file);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PATH_OF_DLL\n", argv[0]);
    return 2;
  }
  if (!load(argv[1])) return 1;
  check_no_error("before the first call");

  wchar_t wide_folder[MAX_PATH];
  char folder[MAX_PATH * 4];
  if (!make_folder(wide_folder, MAX_PATH, folder, sizeof folder)) {
    fprintf(stderr, "FAILED: cannot make a temporary folder\n");
    return 1;
  }
  real_index(wide_folder, folder);
  non_ascii_path(wide_folder, folder);
  RemoveDirectoryW(wide_folder);

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
