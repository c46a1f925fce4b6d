// Writes the seed corpus: small valid index files for the open target and
// a few op sequences for the ops target.
//   velkor_make_corpus OUT_DIR     (writes OUT_DIR/open/* and OUT_DIR/ops/*)
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "velkor_index.h"

namespace {

idx_handle fresh(const std::string& file) {
  velkor_fuzz::write_bytes(file, nullptr, 0);
  idx_handle index = idx_open(file.c_str(), false);
  if (index == nullptr) velkor_fuzz::fail("idx_open " + file);
  return index;
}

void finish(idx_handle index) {
  if (!idx_save(index)) velkor_fuzz::fail("idx_save");
  idx_close(index);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velkor_make_corpus OUT_DIR\n");
    return 2;
  }
  const std::string open_dir = std::string(argv[1]) + "/open/";
  const std::string ops_dir = std::string(argv[1]) + "/ops/";
  std::srand(1);

  velkor_fuzz::write_bytes(open_dir + "empty", nullptr, 0);

  idx_handle index = fresh(open_dir + "three-documents");
  idx_index(index, idx_id_of(index, "docs/one.txt", true), "the quick brown fox", " ");
  idx_index(index, idx_id_of(index, "docs/two.txt", true), "the lazy dog, the end", " ");
  idx_index(index, idx_id_of(index, "docs/three.txt", true), "a b a b a", " ");
  finish(index);

  // Colliding hashes, signed path ids, a discard (idle slots), long tokens.
  index = fresh(open_dir + "collisions-and-idle-slots");
  idx_index(index, 5, "ab `g ac `h ab", " ");
  idx_index(index, 0xFFFFFFF0u, "ab negative", " ");
  idx_index(index, 17, std::string(std::string(36, 'L') + " x y z").c_str(), " ");
  idx_index(index, idx_id_of(index, "gone", true), "only here once", " ");
  idx_discard(index, idx_id_of(index, "gone", false));
  finish(index);

  // One token with many postings: its entry spans a chain of slots.
  index = fresh(open_dir + "long-chain");
  for (uint32_t id = 1; id <= 40; ++id) idx_index(index, id * 7919u, "shared", " ");
  idx_discard(index, 7919u * 3);
  finish(index);

  std::mt19937 rng(1);
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> bytes(64 + 64 * i);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    velkor_fuzz::write_bytes(ops_dir + "random-" + std::to_string(i), bytes.data(), bytes.size());
  }
  return 0;
}
