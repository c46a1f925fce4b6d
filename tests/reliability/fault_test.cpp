// Fault injection: a fixed workload runs once for every platform read,
// write and resize that it makes, with exactly that call failing.
//
// What must hold for each run:
//   - every export either succeeds, agreeing with the reference model, or
//     returns its failure value with a stream error in the last-error record;
//     the workload stops at the first failure (the host would stop there);
//   - the engine does not roll back, so the failed call may have done part
//     of its work: each token it touches answers a query either as before
//     the call or as after it, and everything else as the calls before it
//     left it;
//   - once the faults stop, idx_save succeeds, the file passes the format
//     check, and after reopening every query, the registry and the counters
//     answer exactly as the still-open index answered before the close.
// A failed call may leave slots that it allocated but never linked (lost
// space), and a failed idx_index or idx_discard leaves postings and path
// entries disagreeing; the format check is told to accept exactly these.
//
// Or, instead of the save: once the faults stop, the index is closed without
// a save and opened again, and it must be the index of the last save that
// returned, exactly as a fresh open of a copy of the file made after that
// save shows it (every query, the registry with times, counters 0 to 4, 9).
//
// A seek moves a number and fails only before the beginning of the file: no
// platform call, nothing to inject.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "format_check/format_check.h"
#include "reliability/index_snapshot.h"
#include "reliability/reference_model.h"
#include "stream/fault_injection.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

using velkor::faults::io_op;
using velkor_model::kNone;
using velkor_model::reference_model;

const char* const kOpNames[] = {"read", "write", "resize", "buffer transfer"};
constexpr int kOps = 4;

const std::set<std::string> kStreamErrors = {"_stream.ReadErr",   "_stream.WriteErr",
                                             "_stream.ResizeErr", "_stream.SeekErr",
                                             "_stream.SizeErr",   "_fstream.RollbackErr"};

using velkor_test::index_snapshot;

// Raised by a workload step that failed, to stop the workload there.
struct stopped {};

// What a run does once the faults stop: save the index it has, or close it
// without a save.
enum class after_fault { save, close };

std::string long_text() {
  std::string text;
  for (int i = 0; i < 70; ++i) text += "w" + std::to_string(i) + " ";
  return text + "the";
}

const char* const kTexts[] = {"the quick brown fox jumps over the lazy dog",
                              "the dog barks at ab `g ac `h",
                              "fox fox negative",
                              "more words about the fox",
                              "entirely new tokens here w5 w6",
                              "n1 n2 n3 n4 n5 n6 n7 n8 ab"};

const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = [] {
    std::set<std::string> unique;
    for (const char* t : kTexts) {
      for (const auto& token : reference_model::split(t, " ")) unique.insert(token.first);
    }
    for (const auto& token : reference_model::split(long_text(), " ")) unique.insert(token.first);
    return std::vector<std::string>(unique.begin(), unique.end());
  }();
  return words;
}

class fault_run {
 public:
  fault_run(const std::string& file, io_op op, after_fault then)
      : file_(file), op_(op), then_(then) {}
  ~fault_run() {
    if (handle_ != nullptr) idx_close(handle_);
  }

  // Open, register, index several texts (one of them past the cache
  // limits), discard, save, reopen, index more (reusing freed slots),
  // query, discard, save.
  void workload() {
    open();
    const uint32_t one = id_of("docs/one.txt");
    const uint32_t two = id_of("docs/two.txt");
    const uint32_t three = id_of("docs/three.txt");
    index(one, kTexts[0]);
    index(two, kTexts[1]);
    index(three, long_text());
    index(0xFFFFFFF0u, kTexts[2]);
    discard(two);
    save();
    close();
    open();
    index(one, kTexts[3]);
    const uint32_t four = id_of("docs/four.txt");
    index(four, kTexts[4]);
    query("fox");
    query("w10");
    discard(three);
    index(four, kTexts[5]);
    save();
    close();
  }

  // After the workload stopped (or ended): faults off, check what the index
  // holds, save, check the file, reopen and compare.
  void recover_and_check() {
    velkor::faults::disarm();
    if (then_ == after_fault::close) return close_and_check();
    if (handle_ == nullptr) {
      // Stopped before or at an open: the file holds the last save.
      model_.reopen(false);
      half_done_ = false;
      handle_ = idx_open(file_.c_str(), false);
      if (handle_ == nullptr)
        return problem(std::string("reopen after the fault: ") + _get_err_id());
    }
    const index_snapshot before = velkor_test::take_snapshot(handle_, vocabulary());
    check_against_model(before);
    // An index that never stored an entry is saved as nothing at all.
    const bool writes = idx_count_of(handle_, 1) > 0;
    if (!idx_save(handle_)) {
      return problem(std::string("save after the fault: ") + _get_err_id() + " " +
                     _get_err_params());
    }
    idx_close(handle_);
    handle_ = nullptr;

    velkor::check_options lenient;
    lenient.report_orphan_slots = false;
    lenient.report_cross_references = !half_done_;
    for (const std::string& f : velkor::check_index_file(file_, lenient)) problem(f);
    orphans_ = !velkor::check_index_file(file_).empty();

    handle_ = idx_open(file_.c_str(), false);
    if (handle_ == nullptr) return problem(std::string("reopen: ") + _get_err_id());
    const index_snapshot after = velkor_test::take_snapshot(handle_, vocabulary());
    index_snapshot expected = before;
    if (!writes) {
      expected = index_snapshot();
      for (const std::string& token : vocabulary()) expected.answers[token] = "";
    }
    if (!after.same_content(expected)) problem("the reopened index answers otherwise");
  }

  // Closes without a save and opens again: the last save that returned.
  void close_and_check() {
    if (handle_ != nullptr) close();
    const std::string copy = file_ + ".saved";
    velkor_test::write_file(copy, last_save_);
    std::string error;
    const index_snapshot saved = velkor_test::open_snapshot(copy, vocabulary(), true, &error);
    // A save that went on from a wrong position may have returned true over
    // a damaged file: then there is no sound last save to come back to.
    reference_model last;
    last.current = model_.saved;
    std::map<int32_t, velkor_test::path_record> names;
    for (const auto& n : last.current.names) {
      names[n.first] = velkor_test::path_record{n.first, n.second.path, n.second.time};
    }
    bool sound = error.empty() && saved.paths.size() == names.size();
    for (const auto& p : saved.paths) sound = sound && names[p.id] == p;
    for (const auto& a : saved.answers) sound = sound && a.second == last.query(a.first, ",");
    if (!sound) return problem("the last save that returned is unsound " + error);
    const index_snapshot found = velkor_test::open_snapshot(file_, vocabulary(), false, &error);
    lost_last_save_ = !error.empty() || !(found == saved);
    if (!error.empty()) return problem("closed without a save, the index does not open: " + error);
    if (lost_last_save_) {
      problem("closed without a save, the index is not its last save:" + found.difference(saved));
    }
  }

  bool failed() const { return !failed_step_.empty(); }
  bool half_done() const { return half_done_; }
  bool left_orphans() const { return orphans_; }
  // Closed without a save, the index was not its sound last save.
  bool lost_last_save() const { return lost_last_save_; }
  const std::vector<std::string>& problems() const { return problems_; }
  std::string failed_step() const { return failed_step_.empty() ? "no call" : failed_step_; }

 private:
  void problem(const std::string& what) {
    problems_.push_back((failed_step_.empty() ? "" : "after failed " + failed_step_ + ": ") + what);
  }

  // Checks the outcome of one export: a failure ends the workload.
  void outcome(bool failure_value, const std::string& step) {
    const std::string id = _get_err_id();
    if (id.empty() && *_get_err_msg() == '\0') return;
    failed_step_ = step + " (" + (id.empty() ? _get_err_msg() : id) + ")";
    if (kStreamErrors.count(id) == 0) problem("not a stream error");
    if (!failure_value) problem("failure reported with a result");
    throw stopped();
  }

  void open() {
    handle_ = idx_open(file_.c_str(), false);
    outcome(handle_ == nullptr, "idx_open");
    if (handle_ == nullptr) problem("idx_open gave null without an error");
    model_.reopen(false);
  }

  void close() {
    idx_close(handle_);
    handle_ = nullptr;
    // Read once closed: Windows lets nobody read a file that an index holds.
    if (just_saved_ && then_ == after_fault::close) last_save_ = velkor_test::read_file(file_);
    just_saved_ = false;
  }

  uint32_t id_of(const std::string& path) {
    const uint32_t id = idx_id_of(handle_, path.c_str(), true);
    outcome(id == kNone, "idx_id_of");
    model_.register_path(path, id,
                         static_cast<int32_t>(idx_time_of(handle_, static_cast<int32_t>(id))));
    return id;
  }

  void index(uint32_t path_id, const std::string& text) {
    reference_model after = model_;
    const uint32_t expected = after.index(path_id, text, " ");
    const uint32_t n = idx_index(handle_, path_id, text.c_str(), " ");
    partial_ = after;
    half_done_ = true;
    outcome(n == kNone, "idx_index");
    half_done_ = false;
    if (n != expected) problem("idx_index gave " + std::to_string(n));
    model_ = after;
  }

  void discard(uint32_t path_id) {
    reference_model after = model_;
    const bool had = after.discard(path_id);
    const uint32_t got = idx_discard(handle_, path_id);
    partial_ = after;
    half_done_ = true;
    outcome(got == kNone, "idx_discard");
    half_done_ = false;
    if ((got != kNone) != had) problem("idx_discard gave " + std::to_string(got));
    model_ = after;
  }

  void query(const std::string& token) {
    const std::string got = idx_query(handle_, token.c_str(), ",");
    outcome(got.empty(), "idx_query");
    if (got != model_.query(token, ",")) problem("idx_query " + token + " gave " + got);
  }

  void save() {
    const bool ok = idx_save(handle_);
    outcome(!ok, "idx_save");
    if (!ok) problem("idx_save gave false without an error");
    model_.save();
    just_saved_ = true;
  }

  // Calls that completed are all there; the failed one is there per token,
  // wholly or not at all.
  void check_against_model(const index_snapshot& s) {
    for (const std::string& token : vocabulary()) {
      const std::string expected = model_.query(token, ",");
      const std::string& got = s.answers.at(token);
      if (got == expected || (half_done_ && got == partial_.query(token, ","))) continue;
      problem("token " + token + " answers " + got + ", expected " + expected);
    }
    std::map<int32_t, std::string> found, names, names_done;
    for (const auto& p : s.paths) found[p.id] = p.path;
    for (const auto& n : model_.current.names) names[n.first] = n.second.path;
    for (const auto& n : partial_.current.names) names_done[n.first] = n.second.path;
    if (found != names && !(half_done_ && found == names_done)) {
      problem("registry differs from the calls that completed");
    }
  }

  std::string file_;
  io_op op_;
  after_fault then_;
  idx_handle handle_ = nullptr;
  // The file as the last save that returned left it (nothing before one).
  std::vector<uint8_t> last_save_;
  bool just_saved_ = false;
  reference_model model_;
  // The model as it is once the call in progress is done.
  reference_model partial_;
  bool half_done_ = false;
  bool orphans_ = false;
  bool lost_last_save_ = false;
  std::string failed_step_;
  std::vector<std::string> problems_;
};

// Runs the workload once for every call of the operations in `ops`, with
// that call failing.
void run_every_fault(after_fault then, const std::vector<io_op>& ops) {
  velkor_test::temp_dir dir;
  const std::string file = dir.file("fault.idx");
  int64_t counts[kOps] = {};
  {
    std::srand(7);
    velkor_test::touch(file);
    velkor::faults::arm(io_op::read, 0);
    fault_run clean(file, io_op::read, then);
    clean.workload();
    ASSERT_FALSE(clean.failed()) << clean.failed_step();
    ASSERT_TRUE(clean.problems().empty()) << clean.problems().front();
    for (int op = 0; op < kOps; ++op) counts[op] = velkor::faults::calls(static_cast<io_op>(op));
  }
  int64_t injected = 0, runs = 0, failed_runs = 0, half_done_runs = 0, orphan_runs = 0;
  int failures = 0;
  for (const io_op op : ops) {
    const int o = static_cast<int>(op);
    ASSERT_GT(counts[o], 0) << kOpNames[o];
    for (int64_t k = 1; k <= counts[o]; ++k, ++runs) {
      const std::string label = std::string(kOpNames[o]) + " #" + std::to_string(k);
      std::srand(7);
      // A file of its own: whatever a run leaves beside its file must not
      // reach the next run's new file.
      const std::string run_file = dir.file("fault-" + std::to_string(runs) + ".idx");
      velkor_test::touch(run_file);
      fault_run run(run_file, op, then);
      velkor::faults::arm(op, k);
      try {
        run.workload();
      } catch (const stopped&) {
      }
      injected += velkor::faults::injected();
      run.recover_and_check();
      failed_runs += run.failed() ? 1 : 0;
      half_done_runs += run.half_done() ? 1 : 0;
      orphan_runs += run.left_orphans() ? 1 : 0;
      if (run.problems().empty()) continue;
      // The first few problems of the first few runs; the rest are counted.
      if (++failures <= 3) {
        const std::vector<std::string>& problems = run.problems();
        for (size_t i = 0; i < problems.size() && i < 3; ++i) {
          ADD_FAILURE() << label << ": " << problems[i];
        }
        if (problems.size() > 3)
          ADD_FAILURE() << label << ": and " << problems.size() - 3 << " more";
      }
    }
  }
  std::printf(
      "fault test: %lld reads, %lld writes, %lld resizes, %lld buffer transfers; "
      "%lld runs, %lld faults injected, %lld calls failed, %lld of them half done\n",
      static_cast<long long>(counts[0]), static_cast<long long>(counts[1]),
      static_cast<long long>(counts[2]), static_cast<long long>(counts[3]),
      static_cast<long long>(runs), static_cast<long long>(injected),
      static_cast<long long>(failed_runs), static_cast<long long>(half_done_runs));
  if (then == after_fault::save) {
    std::printf("fault test: saved after the fault, %lld runs left orphan slots\n",
                static_cast<long long>(orphan_runs));
  }
  std::printf("fault test: %d runs failed%s\n", failures,
              then == after_fault::close ? " (closed without a save after the fault)" : "");
  EXPECT_EQ(injected, runs);
}

const std::vector<io_op> kEveryOp = {io_op::read, io_op::write, io_op::resize, io_op::buffer_io};

TEST(FaultTest, EveryPlatformFailureIsReportedAndASaveAfterItIsSound) {
  run_every_fault(after_fault::save, kEveryOp);
}

TEST(FaultTest, AfterEveryFailureAClosedIndexReopensAtItsLastSave) {
  run_every_fault(after_fault::close, kEveryOp);
}

}  // namespace
