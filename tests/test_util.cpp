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

idx_handle open_new(const std::string& path, bool read_only) {
  touch(path);
  return idx_open(path.c_str(), read_only);
}

error_texts last_error_texts() {
  return {_get_err_id(), _get_err_msg(), _get_err_where(), _get_err_params(), _get_err_comment()};
}

error_texts texts_of(const velkor::_exception& e) {
  return {e.get_id(), e.get_msg(), e.get_where(), e.get_params(), e.get_comment()};
}

::testing::AssertionResult texts_equal(const error_texts& a, const error_texts& e) {
  const char* names[] = {"id", "msg", "where", "params", "comment"};
  const std::string* got[] = {&a.id, &a.msg, &a.where, &a.params, &a.comment};
  const std::string* want[] = {&e.id, &e.msg, &e.where, &e.params, &e.comment};
  std::string report;
  for (int i = 0; i < 5; ++i) {
    if (*got[i] != *want[i]) {
      report +=
          std::string("\n  ") + names[i] + ": got \"" + *got[i] + "\", want \"" + *want[i] + "\"";
    }
  }
  if (report.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "error texts differ:" << report;
}

::testing::AssertionResult no_error() { return texts_equal(last_error_texts(), {}); }

}  // namespace velkor_test
