// A host of the shared library that runs one handle per thread, several
// threads at once: read-write handles index, query and look up paths of
// their own; read-only handles are refused their changes and answer queries.
// Each thread checks that the texts it was given (query answers, paths,
// error texts) are its own and stay so while the others run. Built also
// with ThreadSanitizer by the sanitizer stage.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "velkor_index.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr int kThreads = 6;  // even: read-write, odd: read-only
constexpr int kPathsPerReadOnlyIndex = 8;

int rounds() {
  const char* env = std::getenv("VELKOR_THREAD_ROUNDS");
  return env ? std::atoi(env) : 300;
}

std::string signed_id(uint32_t id) { return std::to_string(static_cast<int32_t>(id)); }

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
  void expect_no_error(const std::string& what) {
    expect_text(_get_err_id(), "", what + ", error id");
    expect_text(_get_err_msg(), "", what + ", error msg");
    expect_text(_get_err_params(), "", what + ", error params");
  }
};

// A read-only thread's index: paths registered and indexed, saved.
struct prepared_index {
  std::string file;
  std::vector<uint32_t> ids;
  std::string answer;  // to a query of the thread's own token, with ";"
};

prepared_index prepare(const velkor_test::temp_dir& dir, int thread) {
  prepared_index p;
  p.file = dir.file("ro-" + std::to_string(thread) + ".idx");
  velkor_test::touch(p.file);
  idx_handle h = idx_open(p.file.c_str(), false);
  EXPECT_NE(h, nullptr) << _get_err_id() << " " << _get_err_params();
  const std::string own = "t" + std::to_string(thread);
  for (int j = 0; j < kPathsPerReadOnlyIndex; ++j) {
    const std::string path = "thread" + std::to_string(thread) + "/doc" + std::to_string(j);
    p.ids.push_back(idx_id_of(h, path.c_str(), true));
    idx_index(h, p.ids.back(), (own + " " + own + " shared").c_str(), " ");
  }
  p.answer = idx_query(h, own.c_str(), ";");
  EXPECT_TRUE(idx_save(h)) << _get_err_id();
  idx_close(h);
  return p;
}

void run_read_write(int thread, const velkor_test::temp_dir& dir, thread_report& r) {
  const std::string name = std::to_string(thread);
  const std::string file = dir.file("rw-" + name + ".idx");
  const std::string missing = dir.file("missing-" + name + ".idx");
  idx_handle h = idx_open(file.c_str(), false);
  r.expect(h != nullptr, "open " + file + ": " + text_of(_get_err_params()));
  if (h == nullptr) return;
  for (int k = 0; k < rounds(); ++k) {
    const std::string round = " round " + std::to_string(k);
    const std::string path = "thread" + name + "/doc" + std::to_string(k);
    const uint32_t id = idx_id_of(h, path.c_str(), true);
    r.expect(id != kNone, "id_of" + round);
    // The token occurs thread + 1 times, so that answers differ between
    // threads even where their random path ids coincide.
    const std::string token = "w" + name + "_" + std::to_string(k);
    std::string text = "shared";
    for (int n = 0; n <= thread; ++n) text += " " + token;
    r.expect(idx_index(h, id, text.c_str(), " ") == 2, "index" + round);
    r.expect_no_error("index" + round);

    const char* answer = idx_query(h, token.c_str(), ";");
    const std::string want_answer = signed_id(id) + ";" + std::to_string(thread + 1);
    r.expect_text(answer, want_answer, "query" + round);
    const char* found = idx_path_of(h, id);
    r.expect_text(found, path, "path_of" + round);
    if (k % 2 == 0) {
      r.expect(idx_open(missing.c_str(), true) == nullptr, "open missing" + round);
    } else {
      r.expect(idx_enum_path(h, nullptr, nullptr) == -1, "enum without callback" + round);
    }
    // Let the other threads call in before this one reads its texts again.
    std::this_thread::yield();
    r.expect_text(answer, want_answer, "query answer kept" + round);
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
    r.expect_no_error("count_of" + round);
  }
  r.expect(idx_save(h), "save: " + text_of(_get_err_id()));
  idx_close(h);
}

void run_read_only(int thread, const prepared_index& p, thread_report& r) {
  idx_handle h = idx_open(p.file.c_str(), true);
  r.expect(h != nullptr, "open " + p.file + ": " + text_of(_get_err_params()));
  if (h == nullptr) return;
  const std::string own = "t" + std::to_string(thread);
  for (int k = 0; k < rounds(); ++k) {
    const std::string round = " round " + std::to_string(k);
    const int j = k % kPathsPerReadOnlyIndex;
    const std::string path = "thread" + std::to_string(thread) + "/doc" + std::to_string(j);
    r.expect(idx_index(h, p.ids[j], "x y", " ") == kNone, "refused index" + round);
    r.expect_text(_get_err_id(), "_CTokenIndexes.Readonly", "refused index" + round);
    const char* answer = idx_query(h, own.c_str(), ";");
    r.expect_text(answer, p.answer, "query" + round);
    r.expect_no_error("query" + round);
    const char* found = idx_path_of(h, p.ids[j]);
    r.expect_text(found, path, "path_of" + round);
    r.expect(idx_discard(h, p.ids[j]) == kNone, "refused discard" + round);
    std::this_thread::yield();
    r.expect_text(_get_err_id(), "_CTokenIndexes.ReadonlyIndex", "refused discard" + round);
    r.expect_text(answer, p.answer, "query answer kept" + round);
    r.expect_text(found, path, "path kept" + round);
    r.expect(!idx_get_modify(h), "unmodified" + round);
    r.expect_no_error("get_modify" + round);
  }
  idx_close(h);
}

TEST(ThreadHostTest, EachThreadKeepsItsOwnTextsAndErrors) {
  velkor_test::temp_dir dir;
  std::vector<prepared_index> prepared(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    if (t % 2 == 0) {
      velkor_test::touch(dir.file("rw-" + std::to_string(t) + ".idx"));
    } else {
      prepared[t] = prepare(dir, t);
    }
  }
  ASSERT_FALSE(HasFailure());

  std::vector<thread_report> reports(kThreads);
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // All threads make their first calls at once.
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      if (t % 2 == 0) {
        run_read_write(t, dir, reports[t]);
      } else {
        run_read_only(t, prepared[t], reports[t]);
      }
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
