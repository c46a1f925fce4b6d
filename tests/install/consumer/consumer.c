/* A consumer of the installed library: opens an index, indexes, queries. */
#include <stdio.h>
#include <string.h>

#include <velkor_index.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = fopen(argv[1], "wb");
  if (f == NULL) return 2;
  fclose(f);
  idx_handle ix = idx_open(argv[1], false);
  if (ix == NULL) return 1;
  idx_index(ix, 7, "hello installed world hello", " ");
  const int ok = strcmp(idx_query(ix, "hello", ","), "7,2") == 0 && idx_save(ix);
  idx_close(ix);
  puts(ok ? "consumer ok" : "consumer FAILED");
  return ok ? 0 : 1;
}
