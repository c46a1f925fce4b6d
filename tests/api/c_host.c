// A C99 host of the shared library, linked against it through the public
// header: the checks of host_checks.h, then the last calls from an exit
// handler (which on Linux runs after the main thread's thread-local objects
// are gone). Exits non-zero on a mismatch.
//
//   c_host INDEX_FILE      (the file is created empty, then removed)
#include <stdlib.h>

#include "velkor_index.h"
#include "host_checks.h"

static const char* file;
static idx_handle exit_index;
static char exit_answer[64];

static void close_at_exit(void) {
  CHECK(idx_open(missing, false) == NULL);
  CHECK(same(idx_query(exit_index, "late", NULL), exit_answer) && no_error());
  CHECK(idx_save(exit_index) == true && idx_close(exit_index) == true && no_error());
  remove(file);
  if (failures != 0) _Exit(1);
}

static void make_empty(void) {
  FILE* empty = fopen(file, "wb");
  if (empty != NULL) fclose(empty);
}

int main(int argc, char** argv) {
  uint32_t id;
  if (argc != 2) return 2;
  file = argv[1];
  make_empty();
  check_exports(file);
  make_empty();
  exit_index = idx_open(file, false);
  id = idx_id_of(exit_index, "late.txt", true);
  CHECK(idx_index(exit_index, id, "late", NULL) == 1);
  snprintf(exit_answer, sizeof exit_answer, "%d,1", (int)(int32_t)id);
  if (failures != 0 || atexit(close_at_exit) != 0) return 1;
  printf("c_host: all checks passed\n");
  return 0;
}
