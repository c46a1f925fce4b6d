// The checks of the C hosts, whether they link the library (c_host.c) or
// resolve its exports at run time (win_loadlibrary_host.c): every export
// with a null handle gives its failure value and empties the last-error
// record that a failed open filled; then every export on a real index in
// FILE, an empty file. Included once, after the exports are declared.
#include <stdio.h>
#include <string.h>

#define NONE 0xFFFFFFFFu

static int failures = 0;
static char missing[1024];

static int same(const char* text, const char* expected) {
  return text != NULL && strcmp(text, expected) == 0;
}
static int no_error(void) {
  return same(_get_err_id(), "") && same(_get_err_msg(), "") && same(_get_err_where(), "") &&
         same(_get_err_params(), "") && same(_get_err_comment(), "");
}
static void check(int ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  fprintf(stderr, "%s:%d: %s failed (last error: \"%s\" \"%s\" \"%s\" \"%s\" \"%s\")\n", __FILE__,
          line, what, _get_err_id(), _get_err_msg(), _get_err_where(), _get_err_params(),
          _get_err_comment());
}
#define CHECK(expr) check((expr) ? 1 : 0, #expr, __LINE__)
// A failed open fills the last-error record, which the next call must empty.
#define NULL_CHECK(expr) \
  (CHECK(idx_open(missing, false) == NULL), CHECK((expr) && no_error()))

static bool count_paths(uint32_t path_id, const char* path, int32_t time, void* user_data) {
  (void)path_id, (void)path, (void)time;
  ++*(int*)user_data;
  return true;
}

static void check_exports(const char* file) {
  char expected[64];
  int calls = 0;
  idx_handle index;
  uint32_t id;
  snprintf(missing, sizeof missing, "%s.missing", file);
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

  index = idx_open(file, false);
  CHECK(index != NULL && no_error());
  if (index == NULL) return;
  id = idx_id_of(index, "docs/a.txt", true);
  CHECK(idx_index(index, id, "alpha;beta;;alpha", ";") == 2 && no_error());
  snprintf(expected, sizeof expected, "%d 2", (int)(int32_t)id);
  CHECK(same(idx_query(index, "alpha", " "), expected));
  CHECK(same(idx_path_of(index, id), "docs/a.txt") && idx_time_of(index, (int32_t)id) > 0);
  CHECK(idx_enum_path(index, count_paths, &calls) == 1 && calls == 1);
  CHECK(idx_adjust_cache(index, 10, 1000) == true && idx_get_modify(index) == true);
  CHECK(idx_save(index) == true && idx_count_of(index, 0) > 512 && no_error());
  CHECK(idx_close(index) == true);
  index = idx_open(file, true);
  CHECK(index != NULL && same(idx_query(index, "alpha", " "), expected));
  CHECK(idx_discard(index, id) == NONE && same(_get_err_id(), "_CTokenIndexes.ReadonlyIndex"));
  CHECK(idx_close(index) == true);
  index = idx_open(file, false);
  CHECK(index != NULL && idx_discard(index, id) != NONE && same(idx_query(index, "alpha", ","), ""));
  CHECK(idx_close(index) == true);
}
