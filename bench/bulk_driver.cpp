// The library's own bulk load of a folder, as the yardstick for the tool's
// 'add': the files below FOLDER are read and normalised first, outside the
// clock, then indexed into INDEX through the C interface with the bulk cache
// limits, each under its path, and saved. Prints the seconds from open to
// close and the index's distinct tokens.
//
//   velkor-bulk-driver FOLDER INDEX
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "corpus.h"
#include "velkor_index.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velkor-bulk-driver FOLDER INDEX\n");
    return 2;
  }
  std::vector<std::pair<std::string, std::string>> texts;  // path, normalised text
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(argv[1])) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    texts.emplace_back(entry.path().generic_string(), bench::normalise_mail(raw, nullptr));
  }
  std::sort(texts.begin(), texts.end());
  std::ofstream(argv[2], std::ios::binary | std::ios::trunc).close();

  const auto start = std::chrono::steady_clock::now();
  idx_handle index = idx_open(argv[2], false);
  if (index == nullptr) {
    std::fprintf(stderr, "idx_open: %s\n", _get_err_msg());
    return 1;
  }
  idx_adjust_cache(index, 10000000, 64);
  for (const auto& [path, text] : texts) {
    const uint32_t id = idx_id_of(index, path.c_str(), true);
    if (id == 0xFFFFFFFFu || idx_index(index, id, text.c_str(), " ") == 0xFFFFFFFFu) {
      std::fprintf(stderr, "indexing %s: %s\n", path.c_str(), _get_err_msg());
      return 1;
    }
  }
  if (!idx_save(index)) {
    std::fprintf(stderr, "idx_save: %s\n", _get_err_msg());
    return 1;
  }
  const int32_t tokens = idx_count_of(index, 3);
  idx_close(index);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f s for %zu files, %d distinct tokens\n", seconds, texts.size(), tokens);
  return 0;
}
