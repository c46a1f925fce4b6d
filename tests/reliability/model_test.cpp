// Differential test with fault injection: random sequences of all thirteen
// idx_ exports run against the library and against the reference model;
// every answer must agree, and every saved file must pass the format check.
//
// In every sequence, from a random step on, one platform call fails (the
// k-th read, write, size change or transfer of the file's write-back layer
// and journal, k drawn small) until it has failed once; after the recovery
// below, again from a later step. The export that
// makes it returns its failure value with a stream error in the last-error
// record, or, when it copes, answers as the model says. A failure is not
// rolled back: every token answers as before the call or as after it, and the
// registry likewise. Then, with the faults off, one of two:
//   - the index is saved: the save succeeds, the file passes the format check
//     (lost slots accepted, and after a failed idx_index or idx_discard,
//     postings and path entries that disagree), and a reopen answers as the
//     index did before the save; the sequence goes on with a new index;
//   - the index is closed without a save and opened again: the file must be
//     the last save's, byte for byte up to its ending magic, and answer as
//     the model's last save; the sequence goes on.
//
//   VELKOR_MODEL_SEQUENCES  number of sequences (default 2000)
//   VELKOR_MODEL_STEPS      steps per sequence (default 80)
//   VELKOR_MODEL_SEED       run only the sequence with this seed
//   VELKOR_MODEL_BASE_SEED  seed of the first sequence (default 1)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/file_format.h"
#include "format_check/format_check.h"
#include "reliability/index_snapshot.h"
#include "reliability/reference_model.h"
#include "stream/fault_injection.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

namespace faults = velkor::faults;
using velkor_model::kNone;
using velkor_model::reference_model;
using velkor_test::snapshot;

struct mismatch : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Raised when an export failed under an injected fault; the sequence
// recovers from it.
struct fault_hit {};

const std::set<std::string> kStreamErrors = {"_stream.ReadErr",   "_stream.WriteErr",
                                             "_stream.ResizeErr", "_stream.SeekErr",
                                             "_stream.SizeErr",   "_fstream.RollbackErr"};
// Host-chosen path ids around the signed edges.
const uint32_t kHostIds[] = {0, 5, 17, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu};

struct totals {
  long long saves = 0, armed = 0, failed = 0, half_done = 0;
};

std::string shown(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }
std::string signed_id(uint32_t id) { return std::to_string(static_cast<int32_t>(id)); }

class sequence {
 public:
  sequence(uint32_t seed, int steps, const std::string& file, totals* t)
      : seed_(seed), steps_(steps), file_(file), rng_(seed), totals_(t) {
    // Path ids and keys are drawn from the runtime's generator: seeding it
    // makes the whole sequence reproducible from its seed.
    std::srand(seed);
    wide_ = pick(4) == 0;
    fault_step_ = 1 + pick(steps);
    // Colliding hashes ("ab" and "`g", "ac" and "`h"), case, bytes above
    // 0x7F, two long tokens equal in their first 30 bytes, tokens that hold
    // the other delimiters, and in a wide sequence enough tokens to push the
    // caches past their limits.
    for (const auto& t :
         reference_model::split("a|b|ab|`g|ac|`h|A|Ab|\xE9t\xE9|x,y|x y|--|to|be", "|"))
      vocabulary_.push_back(t.first);
    const std::string l30(30, 'L');
    vocabulary_.insert(vocabulary_.end(),
                       {l30, l30 + "ong tail one", l30 + "ong tail two", l30.substr(1)});
    for (int i = 0; wide_ && i < 150; ++i) vocabulary_.push_back("w" + std::to_string(i));
  }

  ~sequence() {
    faults::disarm();
    if (handle_ != nullptr) idx_close(handle_);
  }

  // Runs the sequence; on a mismatch returns its description.
  std::string run() {
    try {
      velkor_test::touch(file_);
      open(false);
      for (step_ = 1; step_ <= steps_; ++step_) one_step();
      faults::disarm();
      verify_everything("end");
      return "";
    } catch (const mismatch& m) {
      std::ostringstream out;
      out << "seed " << seed_ << " step " << step_ << ": " << m.what()
          << "\n  reproduce: VELKOR_MODEL_SEED=" << seed_ << "\n  last steps:";
      for (const std::string& line : trace_) out << "\n    " << line;
      return out.str();
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  template <class T, std::size_t N>
  const T& pick_of(const T (&items)[N]) {
    return items[pick(static_cast<int>(N))];
  }
  void note(const std::string& line) {
    trace_.push_back(line);
    if (trace_.size() > 25) trace_.pop_front();
  }
  void expect(bool ok, const std::string& what) {
    if (!ok) throw mismatch(what);
  }
  template <class A, class B>
  void expect_eq(const A& actual, const B& expected, const std::string& what) {
    if (actual == expected) return;
    std::ostringstream out;
    out << what << ": library gave " << actual << ", model expects " << expected;
    throw mismatch(out.str());
  }
  void expect_no_error(const std::string& what) {
    expect(velkor_test::no_error(),
           what + ": unexpected error " + _get_err_id() + " " + _get_err_msg());
  }

  // After an export that may touch the file: no error, or, under an injected
  // fault, a stream error with the failure value, which ends the step.
  void settle(const std::string& what, bool failure_value) {
    if (velkor_test::no_error()) return;
    if (!armed_ || faults::injected() == 0) expect_no_error(what);
    expect(kStreamErrors.count(_get_err_id()) != 0,
           what + " failed under a fault with " + _get_err_id() + " " + _get_err_msg());
    expect(failure_value, what + " failed under a fault but gave a result");
    note("  failed under the fault: " + std::string(_get_err_id()));
    throw fault_hit();
  }

  // What the library should read back, as the model `m` says.
  snapshot of(const reference_model& m) const {
    snapshot s;
    for (const std::string& t : vocabulary_) s["query " + t] = m.query(t, ",");
    for (const auto& n : m.current.names) {
      s[velkor_test::path_key(n.first)] = velkor_test::path_value(n.second.time, n.second.path);
    }
    s["count 3"] = std::to_string(m.current.postings.size());
    s["count 4"] = std::to_string(m.current.path_entry_count());
    s["count 9"] = std::to_string(m.current.names.size());
    return s;
  }

  std::string random_token() { return vocabulary_[pick(static_cast<int>(vocabulary_.size()))]; }
  const char* random_delimiter() {
    static const char* const kDelimiters[] = {" ", " ", " ", ",", ", ", "--", "ab", "", nullptr};
    return pick_of(kDelimiters);
  }
  std::string random_text(const char* delimiter) {
    const std::string d = delimiter && *delimiter ? delimiter : " ";
    std::string text = pick(6) == 0 ? d : "";
    for (int i = 0, pieces = pick(wide_ ? 40 : 10); i < pieces; ++i) {
      if (i > 0) text += pick(8) == 0 ? d + d : pick(10) == 0 ? std::string(" ") : d;
      text += random_token();
    }
    return pick(6) == 0 ? text + d : text;
  }
  // A path id the host might pass: registered, chosen, or random.
  uint32_t random_path_id() {
    const int kind = pick(10);
    if (kind < 4 && !model_.current.names.empty()) {
      auto it = model_.current.names.begin();
      std::advance(it, pick(static_cast<int>(model_.current.names.size())));
      return static_cast<uint32_t>(it->first);
    }
    if (kind < 8) return pick_of(kHostIds);
    return kind < 9 ? kHostIds[1 + pick(3)] : static_cast<uint32_t>(rng_());
  }

  void open(bool read_only) {
    handle_ = idx_open(file_.c_str(), read_only);
    settle("idx_open", handle_ == nullptr);
    expect(handle_ != nullptr, std::string("idx_open failed: ") + _get_err_id());
    model_.reopen(read_only);
    expect(!idx_get_modify(handle_), "idx_get_modify true right after opening");
  }
  void close() {
    expect(idx_close(handle_), "idx_close returned false");
    handle_ = nullptr;
  }

  void one_step() {
    if (step_ == fault_step_) {
      static const faults::io_op kOps[] = {faults::io_op::read, faults::io_op::write,
                                           faults::io_op::resize, faults::io_op::buffer_io};
      const faults::io_op op = pick_of(kOps);
      const int64_t k = 1 + pick(1 << pick(8));
      note("fault armed: call " + std::to_string(k) + " of kind " +
           std::to_string(static_cast<int>(op)));
      faults::arm(op, k);
      armed_ = true;
      ++totals_->armed;
    }
    try {
      run_op(pick(100));
    } catch (const fault_hit&) {
      recover();
    }
    if (armed_ && faults::injected() > 0) {
      // The fault was met, and the call coped or failed: it is spent.
      faults::disarm();
      armed_ = false;
    }
    half_done_ = false;
  }

  void run_op(int op) {
    if (op < 15) return do_id_of(op < 10);
    if (op < 40) return do_index();
    if (op < 41) return do_index_repeated();
    if (op < 55) return do_query();
    if (op < 67) return do_discard();
    if (op < 71) return check_counters();
    if (op < 74) return check_enum(pick(3) == 0 ? 1 + pick(3) : 1000000);
    if (op < 77) return expect_eq(idx_get_modify(handle_), model_.modified, "idx_get_modify");
    if (op < 80) return do_adjust_cache();
    if (op < 88) return do_save();
    if (op < 95) return do_reopen_after_save(op >= 92);
    return do_close_without_save();
  }

  void do_id_of(bool create) {
    static const char* const kPaths[] = {
        "docs/a.txt",         "docs/A.txt",     "docs/b.txt", "c", "\xC3\xA9t\xC3\xA9.txt",
        "a path with spaces", "docs/a.txt.bak", "x"};
    const std::string path = pick(12) == 0 ? std::string() : pick_of(kPaths);
    const bool null_path = path.empty() && pick(2) == 0;
    note("idx_id_of(" + (null_path ? "null" : "\"" + path + "\"") + ", " + std::to_string(create) +
         ")");
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const uint32_t id = idx_id_of(handle_, null_path ? nullptr : path.c_str(), create);
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    expect_no_error("idx_id_of");
    const uint32_t known = path.empty() ? kNone : model_.id_of(path);
    if (known != kNone || !create || path.empty()) return expect_eq(id, known, "idx_id_of");
    // A new registration: a fresh id with bits 31 and 15 clear.
    expect(id != kNone, "idx_id_of with create gave no id");
    expect((id & 0x80008000u) == 0, "drawn path id has bit 31 or 15 set: " + std::to_string(id));
    expect(model_.name_of(id) == nullptr, "drawn path id is registered already");
    const int64_t time = idx_time_of(handle_, static_cast<int32_t>(id));
    expect(time >= static_cast<int32_t>(before) && time <= static_cast<int32_t>(after),
           "creation time out of range");
    model_.register_path(path, id, static_cast<int32_t>(time));
  }

  void index_text(uint32_t path_id, const std::string& text, const char* delimiter,
                  const std::string& what) {
    note("idx_index(" + signed_id(path_id) + ", " + what + ", " + shown(delimiter) + ")");
    const std::string d = delimiter ? delimiter : "";
    partial_ = model_;
    partial_.index(path_id, text, d);
    half_done_ = true;
    const uint32_t n = idx_index(handle_, path_id, text.c_str(), delimiter);
    if (model_.read_only) {
      expect_eq(n, kNone, "idx_index on a read-only index");
      return expect_eq(std::string(_get_err_id()), "_CTokenIndexes.Readonly", "error id");
    }
    settle("idx_index", n == kNone);
    expect_eq(n, model_.index(path_id, text, d), "idx_index result");
  }
  void do_index() {
    const char* delimiter = random_delimiter();
    const std::string text = random_text(delimiter);
    index_text(random_path_id(), text, delimiter, "\"" + text + "\"");
  }
  // Counts near and beyond the 16-bit limit.
  void do_index_repeated() {
    static const int kRepeats[] = {1, 30000, 35535, 65534, 65535, 70000};
    const int times = pick_of(kRepeats);
    const std::string token = random_token();
    std::string text;
    for (int i = 0; i < times; ++i) (text += token) += ' ';
    index_text(random_path_id(), text, " ",
               std::to_string(times) + " x \"" + token.substr(0, 8) + "\"");
  }

  void query_one(const std::string& token, const char* separator, const std::string& what) {
    const char* got = idx_query(handle_, token.c_str(), separator);
    expect(got != nullptr, "idx_query gave null");
    settle(what, *got == '\0');
    expect_eq(std::string(got), model_.query(token, separator ? separator : ""),
              what + " \"" + token + "\"");
  }
  void do_query() {
    static const char* const kSeparators[] = {",", ",", ";", "::", "", nullptr};
    const char* separator = pick_of(kSeparators);
    std::string q = random_token();
    const int kind = pick(10);
    if (kind == 0) q += " " + random_token();
    if (kind == 1) q += std::string(12, 'z');
    if (kind == 2) q.clear();
    note("idx_query(\"" + q + "\", " + shown(separator) + ")");
    query_one(q, separator, "idx_query");
  }

  void do_discard() {
    const uint32_t id = random_path_id();
    note("idx_discard(" + signed_id(id) + ")");
    partial_ = model_;
    partial_.discard(id);
    half_done_ = true;
    const uint32_t got = idx_discard(handle_, id);
    if (model_.read_only) {
      expect_eq(got, kNone, "idx_discard on a read-only index");
      return expect_eq(std::string(_get_err_id()), "_CTokenIndexes.ReadonlyIndex", "error id");
    }
    settle("idx_discard", got == kNone);
    if (model_.discard(id))
      return expect(got != kNone && got >= 512, "idx_discard gave no path entry id");
    expect_eq(got, kNone, "idx_discard of a path id without entry");
  }

  void check_counters() {
    note("idx_count_of(...)");
    const snapshot want = of(model_);
    for (const uint32_t c : {3, 4, 9}) {
      expect_eq(std::to_string(idx_count_of(handle_, c)), want.at("count " + std::to_string(c)),
                "idx_count_of(" + std::to_string(c) + ")");
    }
    // The file on disk catches up with the index at each save and close.
    expect(idx_count_of(handle_, 10) == -1 && idx_count_of(handle_, kNone) == -1,
           "idx_count_of past the last counter");
    expect_no_error("idx_count_of");
  }

  void check_enum(long stop_after) {
    note("idx_enum_path(stop after " + std::to_string(stop_after) + ")");
    struct log {
      long stop_after;
      std::vector<std::string> paths;  // "path ID TIME PATH"
    } seen{stop_after, {}};
    const int32_t calls = idx_enum_path(
        handle_,
        [](uint32_t id, const char* path, int32_t time, void* user) {
          auto* l = static_cast<log*>(user);
          l->paths.push_back(velkor_test::path_key(static_cast<int32_t>(id)) + " " +
                             velkor_test::path_value(time, path));
          return static_cast<long>(l->paths.size()) < l->stop_after;
        },
        &seen);
    expect_no_error("idx_enum_path");
    const long n = static_cast<long>(model_.current.names.size());
    expect_eq(calls, static_cast<int32_t>(std::min(n, stop_after)), "idx_enum_path calls");
    auto name = model_.current.names.begin();
    for (const std::string& p : seen.paths) {
      expect(p == velkor_test::path_key(name->first) + " " +
                      velkor_test::path_value(name->second.time, name->second.path),
             "enumerated " + p);
      ++name;
    }
  }

  void do_adjust_cache() {
    static const int32_t kLimits[] = {-5, 0, 10, 64, 65, 100, 1000};
    const int32_t tokens = pick_of(kLimits);
    const int32_t paths = pick_of(kLimits);
    note("idx_adjust_cache(" + std::to_string(tokens) + ", " + std::to_string(paths) + ")");
    expect(idx_adjust_cache(handle_, tokens, paths), "idx_adjust_cache returned false");
    expect_no_error("idx_adjust_cache");
    token_limit_ = std::max(tokens, 64);
    path_limit_ = std::max(paths, 64);
  }

  void do_save() {
    note("idx_save()");
    const bool ok = idx_save(handle_);
    settle("idx_save", !ok);
    if (model_.read_only) return expect(!ok, "idx_save of a read-only index returned true");
    expect(ok, "idx_save returned false");
    model_.save();
    for (uint32_t s = 5; s <= 8; ++s) expect_eq(idx_count_of(handle_, s), 0, "cache after save");
    expect_eq(idx_get_modify(handle_), model_.modified, "idx_get_modify after save");
#if defined(_WIN32)
    // Windows lets nobody read a file that an index holds: the file is
    // looked at between a close and a reopen with the same cache limits.
    close();
#endif
    if (model_.current.stored) saved_bytes_ = velkor_test::read_file(file_);
    std::string findings;
    for (const std::string& f : velkor::check_index_file(file_)) findings += "\n      " + f;
#if defined(_WIN32)
    open(false);
    idx_adjust_cache(handle_, token_limit_, path_limit_);
#endif
    // The file on disk catches up with the index at each save.
    expect_eq(idx_count_of(handle_, 0), static_cast<int32_t>(saved_bytes_.size()),
              "idx_count_of(0) after save");
    ++totals_->saves;
    expect(findings.empty(), "format check after save:" + findings);
  }

  void verify_everything(const std::string& when) {
    for (const std::string& token : vocabulary_) query_one(token, ",", "query " + when);
    check_enum(1000000);
    for (const auto& name : model_.current.names) {
      expect_eq(std::string(idx_path_of(handle_, static_cast<uint32_t>(name.first))),
                name.second.path, "idx_path_of " + when);
      expect_eq(idx_id_of(handle_, name.second.path.c_str(), false),
                static_cast<uint32_t>(name.first), "idx_id_of " + when);
    }
    check_counters();
    expect_eq(idx_get_modify(handle_), model_.modified, "idx_get_modify " + when);
  }

  void do_reopen_after_save(bool read_only) {
    note("idx_save(); idx_close(); idx_open(" + std::string(read_only ? "read-only" : "") + ")");
    do_save();
    close();
    open(read_only);
    verify_everything("after reopening");
  }

  void do_close_without_save() {
    note("idx_close() without save; idx_open()");
    if (handle_ != nullptr) close();
    // Whatever reached the file since the last save is rolled back: its
    // length, and its bytes up to the ending magic (those behind it mean
    // nothing). A rollback that a fault made fail leaves the journal for
    // the next open, as a crash would.
    const std::vector<uint8_t> now = velkor_test::read_file(file_);
    size_t meaning = saved_bytes_.size();
    if (meaning > 512) {
      meaning = std::min<size_t>(
          meaning,
          velkor::decode_u32(saved_bytes_.data() + 4 * velkor::format::kWordRegistryEnd) + 4);
    }
    expect((armed_ && faults::injected() > 0) ||
               (now.size() == saved_bytes_.size() &&
                std::equal(saved_bytes_.begin(), saved_bytes_.begin() + meaning, now.begin())),
           "the file is not the last save's");
    open(false);
    verify_everything("after closing without save");
  }

  // After an export failed under the fault, the faults stop: the index is
  // saved or closed without a save. Another fault comes at a later step.
  void recover() {
    faults::disarm();
    armed_ = false;
    fault_step_ = step_ + 1 + pick(steps_);
    ++totals_->failed;
    totals_->half_done += half_done_ ? 1 : 0;
    if (handle_ == nullptr || model_.read_only || pick(2) == 0) {
      note("recovery: idx_close() without save; idx_open()");
      return do_close_without_save();
    }
    note("recovery: idx_save(); idx_close(); idx_open(); then a new index");
    snapshot before = velkor_test::content(velkor_test::take_snapshot(handle_, vocabulary_));
    const snapshot now = of(model_), after = of(partial_);
    auto registry = [](const snapshot& s) {
      return snapshot(s.lower_bound("path "), s.lower_bound("path!"));
    };
    for (const auto& a : before) {
      expect(a.first.rfind("query ", 0) != 0 || a.second == now.at(a.first) ||
                 (half_done_ && a.second == after.at(a.first)),
             "after the fault " + a.first + " answers " + a.second);
    }
    expect(registry(before) == registry(now) || (half_done_ && registry(before) == registry(after)),
           "after the fault the registry is neither as before nor as after the call");
    // An index that never stored an entry is saved as nothing at all.
    const bool writes = idx_count_of(handle_, 1) > 0;
    const bool saved = idx_save(handle_);
    expect(saved, std::string("save after the fault: ") + _get_err_id() + " " + _get_err_params());
    close();
    velkor::check_options lenient;
    lenient.report_orphan_slots = false;
    lenient.report_cross_references = !half_done_;
    for (const std::string& f : velkor::check_index_file(file_, lenient)) {
      throw mismatch("format check after the fault and a save: " + f);
    }
    handle_ = idx_open(file_.c_str(), false);
    expect(handle_ != nullptr, std::string("reopen after the fault: ") + _get_err_id());
    if (!writes) before = of(reference_model());
    const snapshot reopened =
        velkor_test::content(velkor_test::take_snapshot(handle_, vocabulary_));
    expect(reopened == before, "the index saved after the fault reopens otherwise:" +
                                   velkor_test::difference(reopened, before));
    // The model does not know what the failed call left: a new index.
    close();
    std::filesystem::remove(file_);
    velkor_test::touch(file_);
    model_ = reference_model();
    saved_bytes_.clear();
    open(false);
    idx_adjust_cache(handle_, token_limit_, path_limit_);
  }

  uint32_t seed_;
  int steps_;
  std::string file_;
  std::mt19937 rng_;
  totals* totals_;
  bool wide_ = false;
  std::vector<std::string> vocabulary_;
  // The model, and the model once the call in progress is done.
  reference_model model_, partial_;
  bool half_done_ = false, armed_ = false;
  idx_handle handle_ = nullptr;
  int step_ = 0, fault_step_ = 0;
  int32_t token_limit_ = 64, path_limit_ = 64;
  std::vector<uint8_t> saved_bytes_;
  std::deque<std::string> trace_;
};

TEST(ModelTest, RandomSequencesAgreeWithTheReferenceModel) {
  velkor_test::temp_dir dir;
  const int steps = static_cast<int>(velkor_test::env_number("VELKOR_MODEL_STEPS", 80));
  const std::vector<uint32_t> seeds = velkor_test::seeds(
      "VELKOR_MODEL_SEED", "VELKOR_MODEL_BASE_SEED", "VELKOR_MODEL_SEQUENCES", 2000);
  const auto started = std::chrono::steady_clock::now();
  totals t;
  int failures = 0;
  for (size_t i = 0; i < seeds.size() && failures < 5; ++i) {
    // A file of its own: whatever a failed run leaves beside its file (a
    // journal) must not reach the next one.
    const std::string file = dir.file("model-" + std::to_string(i) + ".idx");
    const std::string failure = sequence(seeds[i], steps, file, &t).run();
    std::filesystem::remove(file);
    std::filesystem::remove(file + "-journal");
    if (!failure.empty()) {
      ADD_FAILURE() << failure;
      ++failures;
    }
  }
  std::printf(
      "model test: %ld sequences of %d steps, %lld saves checked; faults armed in %lld, %lld "
      "calls failed (%lld half done); %.1f s\n",
      static_cast<long>(seeds.size()), steps, t.saves, t.armed, t.failed, t.half_done,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace
