/* A C99 host of the shared library: calls every export through the public
 * header, first with a null handle, then on a real index file, and exits
 * non-zero on the first mismatch.
 *
 *   c_host INDEX_FILE      (the file is created empty, then removed)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "velkor_index.h"

#define NONE 0xFFFFFFFFu

static int failures = 0;

static void check(int ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  fprintf(stderr, "c_host:%d: %s failed (last error: \"%s\" \"%s\" \"%s\" \"%s\" \"%s\")\n", line,
          what, _get_err_id(), _get_err_msg(), _get_err_where(), _get_err_params(),
          _get_err_comment());
}
#define CHECK(expr) check((expr) ? 1 : 0, #expr, __LINE__)

static int is_empty(const char* text) { return text != NULL && text[0] == '\0'; }
static int same(const char* text, const char* expected) {
  return text != NULL && strcmp(text, expected) == 0;
}

static int no_error(void) {
  return is_empty(_get_err_id()) && is_empty(_get_err_msg()) && is_empty(_get_err_where()) &&
         is_empty(_get_err_params()) && is_empty(_get_err_comment());
}

struct visit {
  int calls;
  uint32_t last_id;
  char last_path[64];
};

static bool remember_path(uint32_t path_id, const char* path, int32_t time, void* user_data) {
  struct visit* v = (struct visit*)user_data;
  (void)time;
  ++v->calls;
  v->last_id = path_id;
  strncpy(v->last_path, path, sizeof v->last_path - 1);
  v->last_path[sizeof v->last_path - 1] = '\0';
  return true;
}

static long file_size(const char* path) {
  FILE* f = fopen(path, "rb");
  long size = -1;
  if (f == NULL) return -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  fclose(f);
  return size;
}

/* Fills the last-error record, so that a following call must empty it. */
static void fail_once(const char* file) {
  char missing[1024];
  snprintf(missing, sizeof missing, "%s.missing", file);
  CHECK(idx_open(missing, false) == NULL);
  CHECK(same(_get_err_id(), "_fstream.ErrOpenFile"));
}

static void null_handle(const char* file) {
  struct visit v = {0, 0, ""};
  fail_once(file);
  CHECK(idx_close(NULL) == true && no_error());
  fail_once(file);
  CHECK(idx_save(NULL) == false && no_error());
  fail_once(file);
  CHECK(idx_discard(NULL, 1) == NONE && no_error());
  fail_once(file);
  CHECK(idx_index(NULL, 1, "a b", " ") == NONE && no_error());
  fail_once(file);
  CHECK(is_empty(idx_query(NULL, "a", ",")) && no_error());
  fail_once(file);
  CHECK(idx_id_of(NULL, "p", true) == NONE && no_error());
  fail_once(file);
  CHECK(is_empty(idx_path_of(NULL, 1)) && no_error());
  fail_once(file);
  CHECK(idx_time_of(NULL, 1) == 0 && no_error());
  fail_once(file);
  CHECK(idx_count_of(NULL, 0) == -1 && no_error());
  fail_once(file);
  CHECK(idx_enum_path(NULL, remember_path, &v) == -1 && v.calls == 0 && no_error());
  fail_once(file);
  CHECK(idx_get_modify(NULL) == false && no_error());
  fail_once(file);
  CHECK(idx_adjust_cache(NULL, 100, 100) == false && no_error());
}

static void real_index(const char* file) {
  char expected[64];
  struct visit v = {0, 0, ""};
  uint32_t id;
  int64_t created;
  int32_t saved_size;
  idx_handle index;
  FILE* empty = fopen(file, "wb");
  CHECK(empty != NULL);
  if (empty == NULL) return;
  fclose(empty);

  index = idx_open(file, false);
  CHECK(index != NULL && no_error());
  if (index == NULL) return;
  CHECK(idx_get_modify(index) == false);
  CHECK(idx_count_of(index, 0) == 0);
  CHECK(idx_id_of(index, "docs/a.txt", false) == NONE);
  id = idx_id_of(index, "docs/a.txt", true);
  CHECK(id != NONE && no_error());
  CHECK(idx_id_of(index, "docs/a.txt", false) == id);
  CHECK(idx_index(index, id, "alpha beta alpha", NULL) == 2 && no_error());
  snprintf(expected, sizeof expected, "%d,2", (int)(int32_t)id);
  CHECK(same(idx_query(index, "alpha", NULL), expected));
  snprintf(expected, sizeof expected, "%d;1", (int)(int32_t)id);
  CHECK(same(idx_query(index, "beta", ";"), expected));
  CHECK(is_empty(idx_query(index, "gamma", NULL)) && no_error());
  CHECK(same(idx_path_of(index, id), "docs/a.txt"));
  created = idx_time_of(index, (int32_t)id);
  CHECK(created > 0 && (int64_t)time(NULL) - created < 600);
  CHECK(idx_count_of(index, 9) == 1 && idx_count_of(index, 3) == 2);
  CHECK(idx_count_of(index, 10) == -1 && no_error());
  CHECK(idx_enum_path(index, remember_path, &v) == 1);
  CHECK(v.calls == 1 && v.last_id == id && same(v.last_path, "docs/a.txt"));
  CHECK(idx_get_modify(index) == true);
  CHECK(idx_adjust_cache(index, 10, 1000) == true && no_error());
  CHECK(idx_save(index) == true && no_error());
  CHECK(idx_get_modify(index) == false);
  saved_size = idx_count_of(index, 0);
  CHECK(idx_close(index) == true);
  /* Measured once closed: on Windows nobody may open a held index file. */
  CHECK(saved_size > 512 && saved_size == file_size(file));

  /* Reopened read-only, the saved index answers the same and refuses changes. */
  index = idx_open(file, true);
  CHECK(index != NULL && no_error());
  if (index == NULL) return;
  snprintf(expected, sizeof expected, "%d,2", (int)(int32_t)id);
  CHECK(same(idx_query(index, "alpha", NULL), expected));
  CHECK(same(idx_path_of(index, id), "docs/a.txt") && idx_time_of(index, (int32_t)id) == created);
  CHECK(idx_index(index, id, "more", NULL) == NONE &&
        same(_get_err_id(), "_CTokenIndexes.Readonly"));
  CHECK(idx_discard(index, id) == NONE && same(_get_err_id(), "_CTokenIndexes.ReadonlyIndex"));
  CHECK(idx_close(index) == true);

  /* Writable again: discarding removes the name and every posting. */
  index = idx_open(file, false);
  CHECK(index != NULL);
  if (index == NULL) return;
  CHECK(idx_discard(index, id) != NONE && no_error());
  CHECK(is_empty(idx_query(index, "alpha", NULL)) && is_empty(idx_path_of(index, id)));
  CHECK(idx_count_of(index, 9) == 0 && idx_get_modify(index) == true);
  CHECK(idx_close(index) == true && no_error());
}

/* A host that saves and closes from an exit handler, which on Linux runs
 * after the main thread's thread-local objects are gone. */
static const char* exit_file;
static idx_handle exit_index;
static char exit_answer[64];

static void close_at_exit(void) {
  fail_once(exit_file);
  CHECK(same(idx_query(exit_index, "late", NULL), exit_answer) && no_error());
  CHECK(idx_save(exit_index) == true && idx_close(exit_index) == true && no_error());
  remove(exit_file);
  if (failures != 0) {
    fprintf(stderr, "c_host: %d checks failed at exit\n", failures);
    _Exit(1);
  }
}

int main(int argc, char** argv) {
  FILE* empty;
  uint32_t id;
  if (argc != 2) {
    fprintf(stderr, "usage: c_host INDEX_FILE\n");
    return 2;
  }
  CHECK(no_error());
  null_handle(argv[1]);
  real_index(argv[1]);
  if (failures != 0) {
    fprintf(stderr, "c_host: %d checks failed\n", failures);
    return 1;
  }

  exit_file = argv[1];
  empty = fopen(exit_file, "wb");
  if (empty != NULL) fclose(empty);
  exit_index = idx_open(exit_file, false);
  id = idx_id_of(exit_index, "late.txt", true);
  CHECK(idx_index(exit_index, id, "late", NULL) == 1);
  snprintf(exit_answer, sizeof exit_answer, "%d,1", (int)(int32_t)id);
  CHECK(same(idx_query(exit_index, "late", NULL), exit_answer));
  fail_once(exit_file);
  if (failures != 0 || atexit(close_at_exit) != 0) return 1;
  printf("c_host: all checks passed\n");
  return 0;
}
