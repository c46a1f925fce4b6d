/* A C99 host of the shared library: calls every export through the public
 * header, first with a null handle (each must give its failure value and
 * empty the last-error record that a failed open filled), then on a real
 * index file, the last calls from an exit handler (which on Linux runs after
 * the main thread's thread-local objects are gone). Exits non-zero on the
 * first mismatch.
 *
 *   c_host INDEX_FILE      (the file is created empty, then removed)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velkor_index.h"

#define NONE 0xFFFFFFFFu

static int failures = 0;
static const char* file;

static void check(int ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  fprintf(stderr, "c_host:%d: %s failed (last error: \"%s\" \"%s\" \"%s\" \"%s\" \"%s\")\n", line,
          what, _get_err_id(), _get_err_msg(), _get_err_where(), _get_err_params(),
          _get_err_comment());
}
#define CHECK(expr) check((expr) ? 1 : 0, #expr, __LINE__)

static int same(const char* text, const char* expected) {
  return text != NULL && strcmp(text, expected) == 0;
}
static int no_error(void) {
  return same(_get_err_id(), "") && same(_get_err_msg(), "") && same(_get_err_where(), "") &&
         same(_get_err_params(), "") && same(_get_err_comment(), "");
}
/* Fills the last-error record, so that the call that follows must empty it. */
static void fail_once(void) {
  char missing[1024];
  snprintf(missing, sizeof missing, "%s.missing", file);
  CHECK(idx_open(missing, false) == NULL && same(_get_err_id(), "_fstream.ErrOpenFile"));
}
#define NULL_CHECK(expr) (fail_once(), CHECK((expr) && no_error()))

static bool count_paths(uint32_t path_id, const char* path, int32_t time, void* user_data) {
  (void)path_id, (void)path, (void)time;
  ++*(int*)user_data;
  return true;
}

static idx_handle open_empty(void) {
  FILE* empty = fopen(file, "wb");
  if (empty != NULL) fclose(empty);
  return idx_open(file, false);
}

static idx_handle exit_index;
static char exit_answer[64];

static void close_at_exit(void) {
  fail_once();
  CHECK(same(idx_query(exit_index, "late", NULL), exit_answer) && no_error());
  CHECK(idx_save(exit_index) == true && idx_close(exit_index) == true && no_error());
  remove(file);
  if (failures != 0) _Exit(1);
}

int main(int argc, char** argv) {
  char expected[64];
  int calls = 0;
  idx_handle index;
  uint32_t id;
  if (argc != 2) return 2;
  file = argv[1];
  CHECK(no_error());
  NULL_CHECK(idx_close(NULL) == true);
  NULL_CHECK(idx_save(NULL) == false);
  NULL_CHECK(idx_discard(NULL, 1) == NONE);
  NULL_CHECK(idx_index(NULL, 1, "a b", " ") == NONE);
  NULL_CHECK(same(idx_query(NULL, "a", ","), ""));
  NULL_CHECK(idx_id_of(NULL, "p", true) == NONE);
  NULL_CHECK(same(idx_path_of(NULL, 1), ""));
  NULL_CHECK(idx_time_of(NULL, 1) == 0);
  NULL_CHECK(idx_count_of(NULL, 0) == -1);
  NULL_CHECK(idx_enum_path(NULL, count_paths, &calls) == -1 && calls == 0);
  NULL_CHECK(idx_get_modify(NULL) == false);
  NULL_CHECK(idx_adjust_cache(NULL, 100, 100) == false);

  index = open_empty();
  CHECK(index != NULL && no_error());
  if (index == NULL) return 1;
  id = idx_id_of(index, "docs/a.txt", true);
  CHECK(idx_index(index, id, "alpha beta alpha", NULL) == 2 && no_error());
  snprintf(expected, sizeof expected, "%d;2", (int)(int32_t)id);
  CHECK(same(idx_query(index, "alpha", ";"), expected));
  CHECK(same(idx_path_of(index, id), "docs/a.txt") && idx_time_of(index, (int32_t)id) > 0);
  CHECK(idx_enum_path(index, count_paths, &calls) == 1 && calls == 1);
  CHECK(idx_adjust_cache(index, 10, 1000) == true && idx_get_modify(index) == true);
  CHECK(idx_save(index) == true && idx_count_of(index, 0) > 512 && no_error());
  CHECK(idx_close(index) == true);
  index = idx_open(file, true);
  CHECK(index != NULL && same(idx_query(index, "alpha", ";"), expected));
  CHECK(idx_discard(index, id) == NONE && same(_get_err_id(), "_CTokenIndexes.ReadonlyIndex"));
  CHECK(idx_close(index) == true);
  if (failures != 0) return 1;

  exit_index = open_empty();
  id = idx_id_of(exit_index, "late.txt", true);
  CHECK(idx_index(exit_index, id, "late", NULL) == 1);
  snprintf(exit_answer, sizeof exit_answer, "%d,1", (int)(int32_t)id);
  if (failures != 0 || atexit(close_at_exit) != 0) return 1;
  printf("c_host: all checks passed\n");
  return 0;
}
