#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "velkor_index.h"

#if defined(_WIN32)
#include <process.h>
#endif

namespace velkor_test {

namespace fs = std::filesystem;

temp_dir::temp_dir() {
#if defined(_WIN32)
  // No mkdtemp: the process id and a counter name the folder, and the next
  // name is tried while one exists. The path is kept as UTF-8, the form the
  // engine takes paths in.
  static int counter = 0;
  for (;;) {
    const fs::path candidate =
        fs::temp_directory_path() /
        ("velkor-test-" + std::to_string(_getpid()) + "-" + std::to_string(++counter));
    if (fs::create_directory(candidate)) {
      path_ = candidate.u8string();
      break;
    }
  }
#else
  std::string pattern = (fs::temp_directory_path() / "velkor-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) std::abort();
  path_ = buffer.data();
#endif
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  fs::remove_all(fs::u8path(path_), ignored);
}

std::string temp_dir::file(const std::string& name) const { return path_ + "/" + name; }

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void touch(const std::string& path) { write_file(path, std::vector<uint8_t>()); }

long env_number(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

std::vector<uint32_t> seeds(const char* only, const char* base, const char* count, long fallback) {
  const long one = env_number(only, -1);
  if (one >= 0) return {static_cast<uint32_t>(one)};
  std::vector<uint32_t> all;
  for (long i = 0, first = env_number(base, 1); i < env_number(count, fallback); ++i)
    all.push_back(static_cast<uint32_t>(first + i));
  return all;
}

idx_handle open_new(const std::string& path) {
  touch(path);
  return idx_open(path.c_str(), false);
}

error_texts last_error_texts() {
  return {_get_err_id(), _get_err_msg(), _get_err_where(), _get_err_params(), _get_err_comment()};
}

error_texts texts_of(const velkor::_exception& e) {
  return {e.get_id(), e.get_msg(), e.get_where(), e.get_params(), e.get_comment()};
}

::testing::AssertionResult texts_equal(const error_texts& a, const error_texts& e) {
  auto shown = [](const error_texts& t) {
    return "\"" + t.id + "\" \"" + t.msg + "\" \"" + t.where + "\" \"" + t.params + "\" \"" +
           t.comment + "\"";
  };
  if (shown(a) == shown(e)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "error texts differ:\n  got  " << shown(a) << "\n  want " << shown(e);
}

::testing::AssertionResult no_error() { return texts_equal(last_error_texts(), {}); }

}  // namespace velkor_test
