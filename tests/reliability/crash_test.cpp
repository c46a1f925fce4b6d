// Crash test: a child process runs a fixed workload and dies by SIGKILL at
// one mutating platform call (a write, a size change, a file removal: the
// kill mode of the fault seam). The parent then opens what the child left,
// as a host would after the crash, and must find the index of the last save
// that returned, or, for a kill inside a save, that one or the new one:
// every query answer, every registered path with its id and time, and
// counters 0 to 4 and 9, as a fresh open of a copy of the file made right
// after each save of a run that was not killed shows them.
//
// The workload (seeded rand and texts, default cache limits, so entries are
// written back while indexing): three phases that each register paths,
// index, re-index known paths with their own texts (counts change, sizes do
// not) and discard, then save, each save rewriting what the earlier ones
// wrote. Then either a fourth such phase and idx_close without a save, or a
// long run of indexing new tokens: the file's write-back buffer hands pages
// to the system between saves only once 4 MiB of them are written.
//
// Path times come from the clock, so each run writes down its own registry
// before each save and the expected index takes the times from there.
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

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
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
using velkor_test::index_snapshot;
using velkor_test::path_record;

constexpr int kSaves = 3;
// Segments of a run: the work of phase p (2p), its save (2p + 1), the work
// after the last save, and the close (which the long run never reaches).
constexpr int kAfterLastSave = 2 * kSaves;
constexpr int kClose = kAfterLastSave + 1;
constexpr int kSegments = kClose + 1;
// The long run between saves: texts of new tokens, enough to pass the
// write-back buffer's 4 MiB of pages written.
constexpr int kBulkTexts = 400;
constexpr int kBulkTokens = 500;

std::string segment_name(int segment) {
  if (segment == kSegments) return "after idx_close";
  if (segment == kClose) return "idx_close";
  if (segment == kAfterLastSave) return "work after the last save";
  return (segment % 2 ? "idx_save " : "work before save ") + std::to_string(segment / 2);
}

// The last save that has returned when `segment` begins (-1: none).
int last_save_before(int segment) { return std::min(segment / 2, kSaves) - 1; }

long env_number(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

std::string serialize(const index_snapshot& s) {
  std::string text = "counters";
  for (const int32_t c : s.counters) text += " " + std::to_string(c);
  text += "\n";
  for (const path_record& p : s.paths) {
    text += "path " + std::to_string(p.id) + " " + std::to_string(p.time) + " " + p.path + "\n";
  }
  for (const auto& a : s.answers) text += "answer " + a.first + " " + a.second + "\n";
  return text;
}

index_snapshot parse(const std::vector<uint8_t>& bytes) {
  index_snapshot s;
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string kind;
  while (in >> kind) {
    if (kind == "counters") {
      for (int32_t& c : s.counters) in >> c;
    } else if (kind == "path") {
      path_record p;
      in >> p.id >> p.time >> p.path;
      s.paths.push_back(p);
    } else {
      std::string token, answer;
      in >> token;
      in.get();
      std::getline(in, answer);
      s.answers[token] = answer;
    }
  }
  return s;
}

// The words, texts and the order of operations of one workload, all drawn
// from its seed. The parent makes one too, for the tokens to ask about.
class workload {
 public:
  explicit workload(uint32_t seed) : rng_(seed) {
    std::set<std::string> words;
    while (words.size() < 1500) {
      std::string word;
      const int length = 1 + pick(12);
      for (int i = 0; i < length; ++i) word += static_cast<char>('a' + pick(26));
      words.insert(word);
    }
    vocabulary_.assign(words.begin(), words.end());
  }

  const std::vector<std::string>& vocabulary() const { return vocabulary_; }
  static std::string bulk_token(int text, int i) {
    return "bulk" + std::to_string(text) + "_" + std::to_string(i);
  }
  std::vector<std::string> tokens(bool bulk) const {
    std::vector<std::string> all = vocabulary_;
    for (int t = 0; bulk && t < kBulkTexts; ++t) {
      for (int i = 0; i < kBulkTokens; ++i) all.push_back(bulk_token(t, i));
    }
    return all;
  }

  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  // Words early in the list come up far more often, so tokens recur within
  // a text and across texts.
  std::string text() {
    const int length = 20 + pick(130);
    std::string t;
    for (int i = 0; i < length; ++i) {
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
      t += vocabulary_[static_cast<size_t>(std::pow(u, 2.5) * vocabulary_.size())] + " ";
    }
    return t;
  }

 private:
  std::mt19937 rng_;
  std::vector<std::string> vocabulary_;
};

struct run_spec {
  uint32_t seed = 0;
  bool bulk = false;  // the long run of indexing after the last save, no close
  // The segment in which the run dies, at its `point`-th mutating call
  // (0: as the segment begins). -1: the run is not killed and counts the
  // mutating calls of every segment.
  int segment = -1;
  int64_t point = 0;
};

// The child's side: runs the workload and leaves in its folder what the
// parent needs (its registry and answers before each save, a mark after
// each save that returned; a run that is not killed also the calls per
// segment and a copy of the file after each save). Never returns.
class child_run {
 public:
  child_run(const run_spec& spec, const std::string& dir)
      : spec_(spec), dir_(dir), file_(dir + "/crash.idx"), work_(spec.seed) {}

  [[noreturn]] void run() {
    velkor::faults::disarm();
    std::srand(spec_.seed);
    velkor_test::touch(file_);
    index_ = idx_open(file_.c_str(), false);
    if (index_ == nullptr) fail("idx_open");
    for (int p = 0; p < kSaves; ++p) {
      begin(2 * p);
      phase(p);
      velkor_test::write_file(
          dir_ + "/state-" + std::to_string(p),
          bytes(serialize(velkor_test::take_snapshot(index_, work_.vocabulary()))));
      begin(2 * p + 1);
      if (!idx_save(index_)) fail("idx_save");
      velkor_test::write_file(dir_ + "/saved-" + std::to_string(p), {});
      if (spec_.segment < 0) {
        velkor_test::write_file(dir_ + "/copy-" + std::to_string(p) + ".idx",
                                velkor_test::read_file(file_));
      }
    }
    begin(kAfterLastSave);
    spec_.bulk ? bulk() : phase(kSaves);
    begin(kClose);
    if (!spec_.bulk) idx_close(index_);
    begin(kSegments);
    _exit(0);
  }

 private:
  struct doc {
    uint32_t id;
    std::string text;
  };

  static std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
  }

  [[noreturn]] void fail(const std::string& what) {
    velkor_test::write_file(dir_ + "/error", bytes(what + " failed: " + _get_err_id() + " " +
                                                   _get_err_msg() + " " + _get_err_params()));
    _exit(3);
  }

  void begin(int segment) {
    if (spec_.segment < 0) {
      if (segment > 0) counts_ += std::to_string(velkor::faults::mutating_calls()) + "\n";
      if (segment == kSegments) velkor_test::write_file(dir_ + "/counts", bytes(counts_));
      velkor::faults::arm_kill(0);
    } else if (segment == spec_.segment) {
      if (spec_.point == 0) ::kill(::getpid(), SIGKILL);
      velkor::faults::arm_kill(spec_.point);
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

  void phase(int p) {
    if (p > 0) {
      for (int i = 0; i < 30; ++i) {
        const doc& d = docs_[static_cast<size_t>(work_.pick(static_cast<int>(docs_.size())))];
        index(d.id, d.text);
      }
      for (int i = 0; i < 8; ++i) {
        const auto at = docs_.begin() + work_.pick(static_cast<int>(docs_.size()));
        if (idx_discard(index_, at->id) == 0xFFFFFFFFu) fail("idx_discard");
        docs_.erase(at);
      }
    }
    for (int i = 0, n = p == 0 ? 120 : 25; i < n; ++i) {
      const doc d{add_path("docs/" + std::to_string(p) + "/" + std::to_string(i)), work_.text()};
      index(d.id, d.text);
      docs_.push_back(d);
    }
    for (int i = 0; i < 4; ++i) add_path("names/" + std::to_string(p) + "/" + std::to_string(i));
  }

  void bulk() {
    for (int t = 0; t < kBulkTexts; ++t) {
      std::string text = work_.text();
      for (int i = 0; i < kBulkTokens; ++i) text += workload::bulk_token(t, i) + " ";
      index(add_path("bulk/" + std::to_string(t)), text);
      const auto d = docs_.begin() + work_.pick(static_cast<int>(docs_.size()));
      index(d->id, d->text);
      if (t % 40 == 39) {
        if (idx_discard(index_, d->id) == 0xFFFFFFFFu) fail("idx_discard");
        docs_.erase(d);
      }
    }
  }

  run_spec spec_;
  std::string dir_, file_;
  workload work_;
  idx_handle index_ = nullptr;
  std::vector<doc> docs_;
  std::string counts_;
};

// What a reopen after a kill found.
struct outcome {
  int found = -2;      // the save whose index it found; -2: none it may find
  std::string seen;    // otherwise what it saw, in short
  std::string detail;  // and at length
};

// The parent's side, for one workload: a run that is not killed, then runs
// killed where the tests say.
class crash_harness {
 public:
  crash_harness(uint32_t seed, bool bulk, const std::string& root)
      : seed_(seed), bulk_(bulk), root_(root), tokens_(workload(seed).tokens(bulk)) {}

  uint32_t seed() const { return seed_; }
  int64_t calls(int segment) const { return counts_[static_cast<size_t>(segment)]; }

  // The run that is not killed: calls per segment, and a snapshot of each
  // save from a fresh open of its copy, which must hold what the index
  // answered before the save. Returns what went wrong.
  std::string prepare() {
    const std::string dir = root_ + "/reference";
    std::string problem = fork_run(run_spec{seed_, bulk_, -1, 0}, dir, false);
    if (!problem.empty()) return problem;
    std::istringstream counts(bytes_text(velkor_test::read_file(dir + "/counts")));
    for (int64_t n = 0; counts >> n;) counts_.push_back(n);
    if (counts_.size() != kSegments) return "the reference run counted no calls";
    for (int p = 0; p < kSaves; ++p) {
      const std::string copy = dir + "/copy-" + std::to_string(p) + ".idx";
      saves_.push_back(velkor_test::open_snapshot(copy, tokens_, true, &problem));
      states_.push_back(parse(velkor_test::read_file(dir + "/state-" + std::to_string(p))));
      if (!problem.empty()) return "the copy of save " + std::to_string(p) + ": " + problem;
      // The index was asked about the words only, and its storage counters
      // are not those of a fresh open.
      index_snapshot file = saves_[p];
      for (auto a = file.answers.begin(); a != file.answers.end();) {
        a = states_[p].answers.count(a->first) ? std::next(a) : file.answers.erase(a);
      }
      std::copy(file.counters, file.counters + 3, states_[p].counters);
      if (!(file == states_[p])) {
        return "save " + std::to_string(p) + " does not hold what the index answered:" +
               file.difference(states_[p], "file", "index");
      }
    }
    return "";
  }

  // Kills a run at `point` of `segment` (0: as it begins) and opens what it
  // left: it must find the last save that returned, or inside a save, that
  // save.
  outcome kill_at(int segment, int64_t point) {
    outcome out;
    const std::string dir = root_ + "/run";
    const std::string where = "seed " + std::to_string(seed_) + ", " + segment_name(segment) +
                              ", kill at mutating call " + std::to_string(point);
    out.detail = fork_run(run_spec{seed_, bulk_, segment, point}, dir, true);
    if (!out.detail.empty()) {
      out.seen = "the run went wrong";
      out.detail = where + ": " + out.detail;
      return out;
    }
    const int last = last_save_before(segment);
    for (int p = 0; p < kSaves; ++p) {
      if (fs::exists(dir + "/saved-" + std::to_string(p)) != (p <= last)) {
        out.seen = "killed elsewhere";
        out.detail = where + ": the run was not killed after save " + std::to_string(last);
        return out;
      }
    }
    const bool in_save = segment % 2 == 1 && segment < kAfterLastSave;
    std::map<int, index_snapshot> accepted;
    for (int p = last; p <= (in_save ? last + 1 : last); ++p) {
      accepted[p] = expected(p, dir, &out.detail);
      if (!out.detail.empty()) {
        out.seen = "the run went wrong";
        out.detail = where + ": " + out.detail;
        return out;
      }
    }
    std::string error;
    const index_snapshot found =
        velkor_test::open_snapshot(dir + "/crash.idx", tokens_, false, &error);
    for (const auto& a : accepted) {
      if (error.empty() && found == a.second) {
        out.found = a.first;
        return out;
      }
    }
    const index_snapshot& before = accepted.begin()->second;
    out.detail = where + ": the reopen ";
    if (!error.empty()) {
      out.seen = "open fails: " + error;
      out.detail += "fails: " + error;
      return out;
    }
    out.seen = "opens and differs in";
    if (found.answers != before.answers) out.seen += " answers";
    if (!(found.paths == before.paths)) out.seen += " paths";
    if (!std::equal(found.counters, found.counters + 6, before.counters)) out.seen += " counters";
    out.detail += "differs from save " + std::to_string(accepted.begin()->first) + ":" +
                  found.difference(before);
    return out;
  }

 private:
  static std::string bytes_text(const std::vector<uint8_t>& b) {
    return std::string(b.begin(), b.end());
  }

  // Runs a child in a fresh `dir`; it must die by SIGKILL when `killed`,
  // else end normally.
  std::string fork_run(const run_spec& spec, const std::string& dir, bool killed) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) child_run(spec, dir).run();
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && killed) return "";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !killed) return "";
    const std::string error = bytes_text(velkor_test::read_file(dir + "/error"));
    if (!error.empty()) return error;
    return WIFSIGNALED(status) ? "the run died of signal " + std::to_string(WTERMSIG(status))
                               : "the run ended with " + std::to_string(WEXITSTATUS(status));
  }

  // Save `p` as the killed run in `dir` made it: the reference's snapshot
  // with this run's registry times. -1 is the empty file.
  index_snapshot expected(int p, const std::string& dir, std::string* problem) {
    if (p < 0) {
      index_snapshot empty;
      for (const std::string& t : tokens_) empty.answers[t] = "";
      return empty;
    }
    index_snapshot mine = parse(velkor_test::read_file(dir + "/state-" + std::to_string(p)));
    index_snapshot theirs = states_[static_cast<size_t>(p)];
    for (size_t i = 0; i < theirs.paths.size() && i < mine.paths.size(); ++i) {
      theirs.paths[i].time = mine.paths[i].time;
    }
    if (!mine.same_content(theirs)) {
      *problem = "the workload is not deterministic: before save " + std::to_string(p) +
                 mine.difference(theirs, "this run", "the reference");
    }
    index_snapshot e = saves_[static_cast<size_t>(p)];
    e.paths = mine.paths;
    return e;
  }

  uint32_t seed_;
  bool bulk_;
  std::string root_;
  std::vector<std::string> tokens_;
  std::vector<int64_t> counts_;
  std::vector<index_snapshot> saves_, states_;
};

std::vector<uint32_t> seeds() {
  const long only = env_number("VELKOR_CRASH_SEED", -1);
  if (only >= 0) return {static_cast<uint32_t>(only)};
  std::vector<uint32_t> all;
  const long base = env_number("VELKOR_CRASH_BASE_SEED", 1);
  for (long i = 0; i < env_number("VELKOR_CRASH_SEEDS", 1); ++i) {
    all.push_back(static_cast<uint32_t>(base + i));
  }
  return all;
}

// Tallies the kills of one scenario, prints them, and fails the test on the
// first kills that found what they must not.
class tally {
 public:
  explicit tally(std::string scenario) : scenario_(std::move(scenario)) {}
  ~tally() {
    std::string text;
    for (const auto& f : found_) {
      text += ", " + std::to_string(f.second) +
              (f.first < 0 ? " the empty file" : " save " + std::to_string(f.first));
    }
    for (const auto& s : seen_) text += ", " + std::to_string(s.second) + " " + s.first;
    std::printf("crash test, %s: %d kill points%s\n", scenario_.c_str(), points_, text.c_str());
  }
  void add(const outcome& o) {
    ++points_;
    if (o.found > -2) {
      ++found_[o.found];
      return;
    }
    ++seen_[o.seen];
    if (++failures_ <= 3) ADD_FAILURE() << o.detail;
  }

 private:
  std::string scenario_;
  int points_ = 0, failures_ = 0;
  std::map<int, int> found_;
  std::map<std::string, int> seen_;
};

// Runs `body` on the harness of each workload once its run without a kill
// is in; `body` gets the harness and the seed's label.
template <class Body>
void each_workload(bool bulk, Body body) {
  velkor_test::temp_dir dir;
  for (const uint32_t seed : seeds()) {
    crash_harness h(seed, bulk, dir.path());
    const std::string problem = h.prepare();
    ASSERT_EQ(problem, "") << "seed " << seed;
    body(h, "seed " + std::to_string(seed) + ", ");
  }
}

// The edges of each save: killed at its first mutating call, before it
// wrote anything, a run finds the save before; killed right after it
// returned, that save. This holds without a journal too, and shows that the
// harness accepts both.
TEST(CrashTest, KillAtTheEdgesOfASaveFindsTheIndexOnEitherSide) {
  each_workload(false, [](crash_harness& h, const std::string& seed) {
    tally t(seed + "kill at the edges of each save");
    for (int p = 0; p < kSaves; ++p) {
      const outcome before = h.kill_at(2 * p + 1, 1);
      EXPECT_EQ(before.found, p - 1) << before.detail;
      t.add(before);
      const outcome after = h.kill_at(2 * p + 2, 0);
      EXPECT_EQ(after.found, p) << after.detail;
      t.add(after);
    }
  });
}

TEST(CrashTest, KillInsideASaveFindsTheSaveBeforeOrThatSave) {
  each_workload(false, [](crash_harness& h, const std::string& seed) {
    for (int p = 0; p < kSaves; ++p) {
      tally t(seed + "inside idx_save " + std::to_string(p));
      for (int64_t k = 1; k <= h.calls(2 * p + 1); ++k) t.add(h.kill_at(2 * p + 1, k));
    }
  });
}

TEST(CrashTest, KillBetweenSavesFindsTheLastSave) {
  const long rounds = env_number("VELKOR_CRASH_ROUNDS", 3);
  each_workload(true, [rounds](crash_harness& h, const std::string& seed) {
    std::mt19937 rng(h.seed());
    for (int segment = 0; segment <= kAfterLastSave; segment += 2) {
      const int64_t calls = h.calls(segment);
      tally t(seed + segment_name(segment) + " (" + std::to_string(calls) + " mutating calls)");
      for (long r = 0; r < rounds && calls > 0; ++r) {
        t.add(h.kill_at(segment, 1 + static_cast<int64_t>(rng() % calls)));
      }
    }
  });
}

// A run closes its index after a phase of work without a save, and dies
// right after the close.
TEST(CrashTest, CloseWithoutASaveKeepsTheLastSave) {
  each_workload(false, [](crash_harness& h, const std::string& seed) {
    tally(seed + "idx_close without a save").add(h.kill_at(kSegments, 0));
  });
}

TEST(CrashTest, KillInsideCloseFindsTheLastSave) {
  each_workload(false, [](crash_harness& h, const std::string& seed) {
    tally t(seed + "inside idx_close");
    for (int64_t k = 1; k <= h.calls(kClose); ++k) t.add(h.kill_at(kClose, k));
  });
}

#endif

}  // namespace
