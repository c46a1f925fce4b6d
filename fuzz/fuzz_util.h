// Shared by the fuzz targets: a scratch index file per process, and a way to
// stop with a message when an expectation fails.
#ifndef VELKOR_FUZZ_FUZZ_UTIL_H_
#define VELKOR_FUZZ_FUZZ_UTIL_H_

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velkor_fuzz {

inline const std::string& scratch_file(const char* name) {
  static const std::string file = std::string("/tmp/velkor-fuzz-") + name + "-" +
                                  std::to_string(static_cast<long>(getpid())) + ".idx";
  return file;
}

inline void write_bytes(const std::string& file, const uint8_t* data, std::size_t size) {
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
}

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "expectation failed: %s\n", what.c_str());
  std::abort();
}

}  // namespace velkor_fuzz

#endif  // VELKOR_FUZZ_FUZZ_UTIL_H_
