// Helpers shared by the tests: a temporary folder per test, whole-file reads
// and writes, a handle that closes itself, and a matcher for the five texts
// of an error.
#ifndef VELKOR_TESTS_TEST_UTIL_H_
#define VELKOR_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"
#include "velkor_index.h"

namespace velkor_test {

// A fresh folder, removed with everything in it when the object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Paths are UTF-8, the form the engine takes them in.
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Creates an empty file (the state a new index file starts in).
void touch(const std::string& path);

// A number from the environment, or `fallback` when the variable is unset.
long env_number(const char* name, long fallback);
// The seeds of a randomized test: the one the variable `only` names, or
// `count` (default `fallback`) from `base` (default 1) on.
std::vector<uint32_t> seeds(const char* only, const char* base, const char* count, long fallback);

// Owns an idx_handle; closes it (without saving) when it goes.
struct handle : std::unique_ptr<idx_index_s, bool (*)(idx_handle)> {
  explicit handle(idx_handle h = nullptr) : unique_ptr(h, idx_close) {}
  operator idx_handle() const { return get(); }
};

// An empty file opened as a new index.
idx_handle open_new(const std::string& path);

struct error_texts {
  std::string id, msg, where, params, comment;
};

// The five texts of the last-error record.
error_texts last_error_texts();
error_texts texts_of(const velkor::_exception& e);
::testing::AssertionResult texts_equal(const error_texts& actual, const error_texts& expected);
// All five texts of the last-error record are empty.
::testing::AssertionResult no_error();

}  // namespace velkor_test

// Runs `statement` and captures the _exception it must raise into `var`.
#define VELKOR_CATCH(var, statement)                                   \
  velkor::_exception var("", "", "", "", "");                          \
  do {                                                                 \
    bool raised_ = false;                                              \
    try {                                                              \
      statement;                                                       \
    } catch (const velkor::_exception& e_) {                           \
      var = e_;                                                        \
      raised_ = true;                                                  \
    }                                                                  \
    ASSERT_TRUE(raised_) << "expected a _exception from: " #statement; \
  } while (0)

#endif  // VELKOR_TESTS_TEST_UTIL_H_
