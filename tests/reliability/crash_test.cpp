// Crash test: a child process runs a fixed workload and dies by SIGKILL at
// one mutating platform call (a write, a size change, a file removal: the
// kill mode of the fault seam). The parent then opens what the child left,
// as a host would after the crash, and must find the index of the last save
// that returned, or, for a kill inside a save, that one or the new one:
// every query answer, every registered path with its id, and counters 0 to
// 4 and 9, as a fresh open of a copy of the file made right after each save
// of a run that was not killed shows them. (Path times come from the clock,
// which differs between runs: they are left out.)
//
// The workload (seeded rand and texts, default cache limits, so entries are
// written back while indexing): three phases that each register paths,
// index, re-index known paths with their own texts (counts change, sizes do
// not) and discard, then save, each save rewriting what the earlier ones
// wrote. Then a fourth such phase and idx_close without a save.
//
//   VELKOR_CRASH_SEEDS      workloads, from the base seed on (default 1)
//   VELKOR_CRASH_BASE_SEED  seed of the first workload (default 1)
//   VELKOR_CRASH_SEED       run only the workload with this seed
//   VELKOR_CRASH_ROUNDS     kill points drawn among the calls between two
//                           saves, per stretch of work (default 3)
//
// A failure names its seed, where the run was killed and what the reopen
// saw; VELKOR_CRASH_SEED with that seed runs the same kills again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "reliability/index_snapshot.h"
#include "stream/fault_injection.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

#if defined(_WIN32)

TEST(CrashTest, NeedsPosix) {
  GTEST_SKIP() << "the crash test forks a child process and kills it with SIGKILL: POSIX only";
}

#else

namespace fs = std::filesystem;
using velkor_test::env_number;
using velkor_test::snapshot;

// Segments of a run: the work of phase p (2p), its save (2p + 1), the work
// after the last save, and the close.
constexpr int kSaves = 3, kAfterLastSave = 2 * kSaves, kClose = kAfterLastSave + 1,
              kSegments = kClose + 1;

std::string segment_name(int segment) {
  if (segment == kSegments) return "after idx_close";
  if (segment == kClose) return "idx_close";
  if (segment == kAfterLastSave) return "work after the last save";
  return (segment % 2 ? "idx_save " : "work before save ") + std::to_string(segment / 2);
}

// `s` without the registry times (paths are "TIME PATH").
snapshot without_times(snapshot s) {
  for (auto& item : s) {
    if (item.first.rfind("path ", 0) == 0) item.second.erase(0, item.second.find(' '));
  }
  return s;
}

// The words of one workload, drawn from its seed: the child's texts take
// them, the parent asks about them.
std::vector<std::string> vocabulary(uint32_t seed) {
  std::mt19937 rng(seed);
  std::set<std::string> words;
  while (words.size() < 1500) {
    std::string word(1 + rng() % 12, ' ');
    for (char& c : word) c = static_cast<char>('a' + rng() % 26);
    words.insert(word);
  }
  return std::vector<std::string>(words.begin(), words.end());
}

struct run_plan {
  uint32_t seed = 0;
  // The segment in which the run dies, at its `point`-th mutating call
  // (0: as the segment begins). -1: the run is not killed and counts the
  // mutating calls of every segment.
  int segment = -1;
  int64_t point = 0;
};

// The child's side: runs the workload; a run that is not killed leaves in
// its folder the calls per segment and a copy of the file after each save.
// A failed call is shown on stderr. Never returns.
class child_run {
 public:
  child_run(const run_plan& plan, const std::string& dir)
      : plan_(plan),
        dir_(dir),
        file_(dir + "/crash.idx"),
        rng_(plan.seed),
        words_(vocabulary(plan.seed)) {}

  [[noreturn]] void run() {
    velkor::faults::disarm();
    std::srand(plan_.seed);
    velkor_test::touch(file_);
    index_ = idx_open(file_.c_str(), false);
    if (index_ == nullptr) fail("idx_open");
    for (int p = 0; p < kSaves; ++p) {
      begin(2 * p);
      phase(p);
      begin(2 * p + 1);
      if (!idx_save(index_)) fail("idx_save");
      if (plan_.segment < 0) {
        velkor_test::write_file(dir_ + "/copy-" + std::to_string(p) + ".idx",
                                velkor_test::read_file(file_));
      }
    }
    begin(kAfterLastSave);
    phase(kSaves);
    begin(kClose);
    idx_close(index_);
    begin(kSegments);
    _exit(0);
  }

 private:
  struct doc {
    uint32_t id;
    std::string text;
  };

  [[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "crash test child: %s failed: %s %s %s\n", what.c_str(), _get_err_id(),
                 _get_err_msg(), _get_err_params());
    _exit(3);
  }
  void begin(int segment) {
    if (plan_.segment < 0) {
      if (segment > 0) counts_ += std::to_string(velkor::faults::mutating_calls()) + "\n";
      if (segment == kSegments) std::ofstream(dir_ + "/counts") << counts_;
      velkor::faults::arm_kill(0);
    } else if (segment == plan_.segment) {
      if (plan_.point == 0) ::kill(::getpid(), SIGKILL);
      velkor::faults::arm_kill(plan_.point);
    }
  }
  uint32_t add_path(const std::string& path) {
    const uint32_t id = idx_id_of(index_, path.c_str(), true);
    if (id == 0xFFFFFFFFu) fail("idx_id_of " + path);
    return id;
  }
  void index(uint32_t id, const std::string& text) {
    if (idx_index(index_, id, text.c_str(), " ") == 0xFFFFFFFFu) fail("idx_index");
  }
  void discard(std::vector<doc>::iterator d) {
    if (idx_discard(index_, d->id) == 0xFFFFFFFFu) fail("idx_discard");
    docs_.erase(d);
  }
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  // Words early in the list come up far more often, so tokens recur within
  // a text and across texts.
  std::string text() {
    std::string t;
    for (int i = 0, n = 20 + pick(130); i < n; ++i) {
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
      t += words_[static_cast<size_t>(std::pow(u, 2.5) * words_.size())] + " ";
    }
    return t;
  }
  std::vector<doc>::iterator any_doc() {
    return docs_.begin() + pick(static_cast<int>(docs_.size()));
  }

  void phase(int p) {
    for (int i = 0; p > 0 && i < 30; ++i) {
      const auto d = any_doc();
      index(d->id, d->text);
    }
    for (int i = 0; p > 0 && i < 8; ++i) discard(any_doc());
    for (int i = 0, n = p == 0 ? 120 : 25; i < n; ++i) {
      const doc d{add_path("docs/" + std::to_string(p) + "/" + std::to_string(i)), text()};
      index(d.id, d.text);
      docs_.push_back(d);
    }
    for (int i = 0; i < 4; ++i) add_path("names/" + std::to_string(p) + "/" + std::to_string(i));
  }

  run_plan plan_;
  std::string dir_, file_;
  std::mt19937 rng_;
  std::vector<std::string> words_;
  idx_handle index_ = nullptr;
  std::vector<doc> docs_;
  std::string counts_;
};

// The parent's side, for one workload: a run that is not killed, then runs
// killed where the tests say. Prints what the kills found, and fails the
// test on the first kills that found what they must not.
class crash_harness {
 public:
  crash_harness(uint32_t seed, const std::string& root)
      : seed_(seed), root_(root), tokens_(vocabulary(seed)) {}
  ~crash_harness() {
    std::string text;
    for (const auto& f : found_) {
      text += ", " + std::to_string(f.second) +
              (f.first == -2 ? " wrong"
               : f.first < 0 ? " the empty file"
                             : " save " + std::to_string(f.first));
    }
    std::printf("crash test, seed %u: %d kill points%s\n", seed_, points_, text.c_str());
  }

  int64_t calls(int segment) const { return counts_[static_cast<size_t>(segment)]; }

  // The run that is not killed: calls per segment, and a snapshot of each
  // save from a fresh open of its copy. Returns what went wrong.
  std::string prepare() {
    const std::string dir = root_ + "/reference";
    std::string problem = fork_run(run_plan{seed_, -1, 0}, dir, false);
    if (!problem.empty()) return problem;
    std::ifstream counts(dir + "/counts");
    for (int64_t n = 0; counts >> n;) counts_.push_back(n);
    if (counts_.size() != kSegments) return "the reference run counted no calls";
    velkor_test::touch(dir + "/empty.idx");  // save -1
    saves_ = {
        without_times(velkor_test::open_snapshot(dir + "/empty.idx", tokens_, true, &problem))};
    for (int p = 0; p < kSaves && problem.empty(); ++p) {
      const std::string copy = dir + "/copy-" + std::to_string(p) + ".idx";
      saves_.push_back(without_times(velkor_test::open_snapshot(copy, tokens_, true, &problem)));
    }
    return problem;
  }

  // Kills a run at `point` of `segment` (0: as it begins) and opens what it
  // left: it must find the last save that returned, or inside a save, that
  // save. Returns the save found (-1: the empty file), or -2.
  int kill_at(int segment, int64_t point) {
    std::string problem = fork_run(run_plan{seed_, segment, point}, root_ + "/run", true);
    snapshot found;
    if (problem.empty()) {
      found = without_times(
          velkor_test::open_snapshot(root_ + "/run/crash.idx", tokens_, false, &problem));
      if (!problem.empty()) problem = "the reopen fails: " + problem;
    }
    const int last = std::min(segment / 2, kSaves) - 1;  // the last save that returned
    const bool in_save = segment % 2 == 1 && segment < kAfterLastSave;
    int save = -2;
    for (int p = last; problem.empty() && p <= (in_save ? last + 1 : last); ++p) {
      if (found == saves_[static_cast<size_t>(p + 1)]) save = p;
    }
    if (save == -2 && problem.empty()) {
      problem = "the reopen differs from save " + std::to_string(last) + ":" +
                velkor_test::difference(found, saves_[static_cast<size_t>(last + 1)]);
    }
    ++points_;
    if (++found_[save] <= 3 && save == -2) {
      ADD_FAILURE() << "seed " << seed_ << ", " << segment_name(segment)
                    << ", kill at mutating call " << point << ": " << problem;
    }
    return save;
  }

 private:
  // Runs a child in a fresh `dir`; it must die by SIGKILL when `killed`,
  // else end normally.
  std::string fork_run(const run_plan& plan, const std::string& dir, bool killed) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) child_run(plan, dir).run();
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && killed) return "";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !killed) return "";
    return WIFSIGNALED(status) ? "the run died of signal " + std::to_string(WTERMSIG(status))
                               : "the run ended with " + std::to_string(WEXITSTATUS(status));
  }

  uint32_t seed_;
  std::string root_;
  std::vector<std::string> tokens_;
  std::vector<int64_t> counts_;
  std::vector<snapshot> saves_;  // from the empty file (-1) on
  int points_ = 0;
  std::map<int, int> found_;  // kills by the save they found
};

// Killed at a save's first mutating call, before it wrote anything, a run
// finds the save before; at any later call of the save, that one or the new
// one; right after the save returned, the new one. Killed between saves, or
// inside or right after a close without a save, it finds the last save.
TEST(CrashTest, EveryKillFindsTheLastSaveOrTheOneItWasIn) {
  velkor_test::temp_dir dir;
  const long rounds = env_number("VELKOR_CRASH_ROUNDS", 3);
  for (const uint32_t seed :
       velkor_test::seeds("VELKOR_CRASH_SEED", "VELKOR_CRASH_BASE_SEED", "VELKOR_CRASH_SEEDS", 1)) {
    crash_harness h(seed, dir.path());
    ASSERT_EQ(h.prepare(), "") << "seed " << seed;
    for (int p = 0; p < kSaves; ++p) {
      EXPECT_EQ(h.kill_at(2 * p + 1, 1), p - 1);
      for (int64_t k = 2; k <= h.calls(2 * p + 1); ++k) h.kill_at(2 * p + 1, k);
      EXPECT_EQ(h.kill_at(2 * p + 2, 0), p);
    }
    // Between saves, `rounds` calls drawn in each stretch of work.
    std::mt19937 rng(seed);
    for (int segment = 0; segment <= kAfterLastSave; segment += 2) {
      const int64_t calls = h.calls(segment);
      for (long r = 0; r < rounds && calls > 0; ++r) {
        h.kill_at(segment, 1 + static_cast<int64_t>(rng() % calls));
      }
    }
    for (int64_t k = 1; k <= h.calls(kClose); ++k) h.kill_at(kClose, k);
    h.kill_at(kSegments, 0);
  }
}

#endif

}  // namespace
