/* A small host program: creates an index file, registers three documents,
 * indexes their texts, queries, saves, and reopens the file read-only.
 *
 *   velkor-example [INDEX_FILE]      (default: example.idx)
 */
#include <stdio.h>
#include <stdlib.h>

#include "velkor_index.h"

static const struct {
  const char* path;
  const char* text;
} kDocuments[] = {
    {"poems/tyger.txt", "tyger tyger burning bright in the forests of the night"},
    {"poems/sick-rose.txt", "o rose thou art sick the invisible worm that flies in the night"},
    {"poems/lamb.txt", "little lamb who made thee dost thou know who made thee"},
};

static int fail(const char* what) {
  fprintf(stderr, "%s failed: %s %s (%s) %s\n", what, _get_err_id(), _get_err_msg(),
          _get_err_where(), _get_err_params());
  return 1;
}

static bool print_path(uint32_t id, const char* path, int32_t time, void* user) {
  (void)time;
  (void)user;
  printf("  %11d  %s\n", (int32_t)id, path);
  return true;
}

static void show_query(idx_handle index, const char* token) {
  printf("query %-8s -> %s\n", token, idx_query(index, token, ","));
}

int main(int argc, char** argv) {
  const char* file = argc > 1 ? argv[1] : "example.idx";
  /* The index file must exist before it is opened; an empty one is a new index. */
  FILE* created = fopen(file, "wb");
  if (created == NULL) {
    perror(file);
    return 1;
  }
  fclose(created);

  idx_handle index = idx_open(file, false);
  if (index == NULL) return fail("idx_open");
  for (size_t i = 0; i < sizeof kDocuments / sizeof kDocuments[0]; ++i) {
    const uint32_t id = idx_id_of(index, kDocuments[i].path, true);
    const uint32_t tokens = idx_index(index, id, kDocuments[i].text, " ");
    if (tokens == 0xFFFFFFFFu) return fail("idx_index");
    printf("indexed %-22s as %11d: %u distinct tokens\n", kDocuments[i].path, (int32_t)id, tokens);
  }
  show_query(index, "night");
  if (!idx_save(index)) return fail("idx_save");
  idx_close(index);

  index = idx_open(file, true);
  if (index == NULL) return fail("idx_open");
  printf("reopened %s read-only: %d bytes, %d tokens, %d paths\n", file, idx_count_of(index, 0),
         idx_count_of(index, 3), idx_count_of(index, 9));
  show_query(index, "the");
  show_query(index, "thee");
  show_query(index, "absent");
  printf("registered paths:\n");
  idx_enum_path(index, print_path, NULL);
  if (idx_index(index, 1, "read only", NULL) == 0xFFFFFFFFu) {
    printf("indexing a read-only index is refused: %s\n", _get_err_id());
  }
  idx_close(index);
  return EXIT_SUCCESS;
}
