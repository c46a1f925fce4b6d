// The figures of one run and their presentation: the Markdown tables printed
// and committed, and the CSV that the chart is drawn from.
#ifndef VELKOR_BENCH_REPORT_H_
#define VELKOR_BENCH_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engines.h"
#include "measure.h"

namespace bench {

struct Result {
  double fraction = 0;
  std::string engine;
  std::size_t mails = 0;    // mails of this fraction
  std::size_t indexed = 0;  // mails indexed before the time budget ran out
  double build_s = 0;       // indexing plus save or commit
  double build_cpu_s = 0;   // CPU time (user + system) of the build's process
  uint64_t file_bytes = 0;
  double open_ms = 0;
  double occurrence_p50_us = 0, occurrence_p99_us = 0;
  double vocabulary_p50_us = 0, vocabulary_p99_us = 0;
  int64_t peak_kib = 0;           // peak resident set of the build above the child's start
  int64_t base_kib = 0;           // resident set the build child started with
  uint64_t rchar = 0, wchar = 0;  // bytes through read / write system calls
  uint64_t syscr = 0, syscw = 0;  // read / write system calls
  double floor_s = 0;     // memcpy of rchar + wchar
  std::string agreement;  // answers equal to the reference engine's, e.g. "4000/4000"
  std::string error;

  bool capped() const { return indexed < mails; }
  bool usable() const { return error.empty() && !capped(); }
};

// One engine's sessions in order (or the floor's, for as many sessions).
struct SessionSeries {
  std::string name;
  bool floor = false;  // plain writes that stand in for what a save must write at least
  std::vector<SessionTimes> times;
  // Update sessions: the bytes and calls through read and write system
  // calls of each session (the floors: the bytes they read and write).
  std::vector<IoCounters> io;
  std::string check;  // answers found right, e.g. "50/50"; "reference" for the reference
  std::string error;
};

// What the floor of one velkor update session writes.
struct FloorBytes {
  uint64_t sections = 0;   // header, the four sections and the ending magic
  uint64_t entries = 0;    // stored forms of the changed entries
  uint64_t journaled = 0;  // old bytes read and written to the journal
};

// The sessions scenario at one fraction of the corpus.
struct SessionsResult {
  double fraction = 0;
  std::size_t mails = 0;       // mails of the fraction
  std::size_t base_mails = 0;  // mails the index holds before the first update session
  std::size_t sessions = 0;
  std::vector<SessionSeries> updates;             // velkor index first
  std::vector<SessionSeries> queries;             // velkor index first; tokens drawn by occurrence
  std::vector<SessionSeries> vocabulary_queries;  // tokens drawn from the vocabulary
  std::vector<FloorBytes> floor_bytes;            // one per velkor update session
  std::string error;
};

struct RunInfo {
  std::string started_utc;
  std::string machine;
  std::string versions;
  std::string corpus;
  std::string queries;
  double load_min = 0, load_max = 0;
  double budget_s = 0;
  double wall_s = 0;
};

std::string markdown_report(const RunInfo& info, const std::vector<Result>& results,
                            const std::vector<SessionsResult>& sessions);
std::string csv_report(const std::vector<Result>& results,
                       const std::vector<SessionsResult>& sessions);

}  // namespace bench

#endif  // VELKOR_BENCH_REPORT_H_
