// Opens arbitrary bytes as an index file. Whatever the bytes, nothing may
// crash, leak or allocate without bound. When the format check finds the
// bytes sound, the engine must agree: the file opens, every lookup, a
// discard, an indexing call and a save succeed, and the saved file is sound.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "format_check/format_check.h"
#include "index/token_indexes.h"
#include "velkor_index.h"

namespace {

using velkor_fuzz::fail;

bool any_path(uint32_t, const char*, int32_t, void*) { return true; }

// Answers that do not change the index, each with the error it left.
std::vector<std::string> first_answers(idx_handle index) {
  std::vector<std::string> answers;
  if (index == nullptr) return answers;
  for (const char* token : {"a", "the", "ab", "`g", "fuzz"}) {
    const char* answer = idx_query(index, token, ",");
    answers.push_back(std::string(answer != nullptr ? answer : "(none)") + _get_err_id());
  }
  for (uint32_t selector : {1u, 2u, 3u, 4u, 9u}) {
    answers.push_back(std::to_string(idx_count_of(index, selector)) + _get_err_id());
  }
  std::string paths;
  idx_enum_path(
      index,
      [](uint32_t id, const char* path, int32_t time, void* out) {
        *static_cast<std::string*>(out) +=
            std::to_string(id) + ":" + path + ":" + std::to_string(time) + ";";
        return true;
      },
      &paths);
  answers.push_back(paths + _get_err_id());
  return answers;
}

void expect_ok(bool sound, const char* what) {
  if (sound && *_get_err_id() != '\0') {
    fail(std::string(what) + " failed on a sound file: " + _get_err_id() + " " + _get_err_msg());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::srand(1);
  const std::string& file = velkor_fuzz::scratch_file("open");
  velkor_fuzz::write_bytes(file, data, size);
  const bool sound = velkor::check_index_bytes(data, size).empty();

  // Read-only first: its tables stay in the file (or its view) and lookups
  // read them there. Opened for writing, the same bytes must give the same
  // outcome of the open and the same first answers.
  idx_handle reader = idx_open(file.c_str(), true);
  const std::string read_only_open = _get_err_id();
  const std::vector<std::string> read_only_answers = first_answers(reader);
  if (reader != nullptr) {
    idx_close(reader);
  } else if (sound) {
    fail(std::string("a sound file does not open read-only: ") + _get_err_id());
  }

  idx_handle index = idx_open(file.c_str(), false);
  if (read_only_open != _get_err_id()) {
    fail("opened read-only the file gives " + read_only_open + ", for writing " + _get_err_id());
  }
  if (index == nullptr) {
    if (sound) fail(std::string("a sound file does not open: ") + _get_err_id());
    return 0;
  }
  if (first_answers(index) != read_only_answers) {
    fail("the first answers differ between a read-only and a writable open");
  }
  auto* engine = reinterpret_cast<velkor::_CTokenIndexes*>(index);

  // Query the first tokens of the table by their own text, and a few others.
  std::vector<std::string> tokens = {"a", "the", "ab", "`g", std::string(40, 'x')};
  const velkor::_CTokenIndexes::_CPredTokenEntryFilter any("");
  int loaded = 0;
  for (const auto& pair : engine->tokens()) {
    if (++loaded > 8) break;
    try {
      const velkor::token_entry* entry = engine->token_entries()._get_object(pair.second, any);
      if (entry != nullptr) tokens.push_back(entry->token);
    } catch (...) {
      if (sound) fail("a token entry of a sound file does not load");
    }
  }
  for (const std::string& token : tokens) {
    idx_query(index, token.c_str(), ",");
    expect_ok(sound, "idx_query");
  }
  for (uint32_t selector = 0; selector <= 10; ++selector) {
    idx_count_of(index, selector);
    expect_ok(sound, "idx_count_of");
  }
  idx_enum_path(index, any_path, nullptr);
  idx_get_modify(index);


  std::vector<uint32_t> paths;
  for (const auto& pair : engine->paths()) paths.push_back(static_cast<uint32_t>(pair.first));
  if (!paths.empty()) {
    idx_discard(index, paths.front());
    expect_ok(sound, "idx_discard");
    idx_path_of(index, paths.back());
  }
  idx_index(index, paths.empty() ? 5 : paths.back(), "fuzz the index a the ab `g", " ");
  expect_ok(sound, "idx_index");
  const bool saved = idx_save(index);
  expect_ok(sound, "idx_save");
  idx_close(index);

  if (sound && saved) {
    const std::vector<std::string> findings = velkor::check_index_file(file);
    if (!findings.empty()) fail("saving a sound file made it unsound: " + findings.front());
  }
  return 0;
}
