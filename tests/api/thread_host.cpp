// A host of the shared library that runs one handle per thread, several
// threads at once, each indexing, querying and looking up paths of its own
// and making calls fail (an open of a missing file, an enumeration without
// a callback). Each thread checks that the texts it was given (query
// answers, paths, error texts) are its own and stay so while the others
// run. Built also with ThreadSanitizer by the sanitizer stage.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "velkor_index.h"

namespace {

constexpr int kThreads = 6;

std::string text_of(const char* p) { return p ? std::string(p) : std::string("(null)"); }

// What one thread saw that was not its own; checked on the main thread.
struct thread_report {
  std::vector<std::string> problems;
  void expect(bool ok, const std::string& what) {
    if (!ok && problems.size() < 10) problems.push_back(what);
  }
  void expect_text(const char* got, const std::string& want, const std::string& what) {
    expect(got != nullptr && want == got,
           what + ": got \"" + text_of(got) + "\", want \"" + want + "\"");
  }
};

void run(int thread, const velkor_test::temp_dir& dir, thread_report& r) {
  const std::string name = std::to_string(thread);
  const std::string file = dir.file("rw-" + name + ".idx");
  const std::string missing = dir.file("missing-" + name + ".idx");
  velkor_test::touch(file);
  idx_handle h = idx_open(file.c_str(), false);
  r.expect(h != nullptr, "open " + file + ": " + text_of(_get_err_params()));
  if (h == nullptr) return;
  for (int k = 0, rounds = velkor_test::env_number("VELKOR_THREAD_ROUNDS", 300); k < rounds; ++k) {
    const std::string round = " round " + std::to_string(k);
    const std::string path = "thread" + name + "/doc" + std::to_string(k);
    const uint32_t id = idx_id_of(h, path.c_str(), true);
    // The token occurs thread + 1 times, so that answers differ between
    // threads even where their random path ids coincide.
    const std::string token = "w" + name + "_" + std::to_string(k);
    std::string text = "shared";
    for (int n = 0; n <= thread; ++n) text += " " + token;
    r.expect(idx_index(h, id, text.c_str(), " ") == 2, "index" + round);
    const char* answer = idx_query(h, token.c_str(), ";");
    const std::string want =
        std::to_string(static_cast<int32_t>(id)) + ";" + std::to_string(thread + 1);
    r.expect_text(answer, want, "query" + round);
    const char* found = idx_path_of(h, id);
    r.expect_text(found, path, "path_of" + round);
    if (k % 2 == 0) {
      r.expect(idx_open(missing.c_str(), true) == nullptr, "open missing" + round);
    } else {
      r.expect(idx_enum_path(h, nullptr, nullptr) == -1, "enum without callback" + round);
    }
    // Let the other threads call in before this one reads its texts again.
    std::this_thread::yield();
    r.expect_text(answer, want, "query answer kept" + round);
    r.expect_text(found, path, "path kept" + round);
    if (k % 2 == 0) {
      r.expect_text(_get_err_id(), "_fstream.ErrOpenFile", "open error id" + round);
      const std::string params = text_of(_get_err_params());
      r.expect(params.find("missing-" + name + ".idx") != std::string::npos,
               "open error names this thread's file" + round + ": " + params);
    } else {
      r.expect_text(_get_err_id(), "_CTokenIndexes.NullCallback", "enum error id" + round);
    }
    r.expect(idx_count_of(h, 9) == k + 1, "registered paths" + round);
    r.expect_text(_get_err_id(), "", "count_of" + round + ", error id");
  }
  r.expect(idx_save(h), "save: " + text_of(_get_err_id()));
  idx_close(h);
}

TEST(ThreadHostTest, EachThreadKeepsItsOwnTextsAndErrors) {
  velkor_test::temp_dir dir;
  std::vector<thread_report> reports(kThreads);
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // All threads make their first calls at once.
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      run(t, dir, reports[t]);
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (const std::string& problem : reports[t].problems) {
      ADD_FAILURE() << "thread " << t << ": " << problem;
    }
  }
}

}  // namespace
