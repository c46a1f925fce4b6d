#include "report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "engines.h"
#include "measure.h"

namespace bench {
namespace {

std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

// Three significant figures at most, without exponent notation.
std::string short_number(double value) {
  const double size = value < 0 ? -value : value;
  if (size >= 100) return fixed(value, 0);
  if (size >= 10) return fixed(value, 1);
  if (size >= 1) return fixed(value, 2);
  return fixed(value, 3);
}

std::string mib(double bytes) { return short_number(bytes / 1048576.0); }

std::string percent(double fraction) { return fixed(fraction * 100, 0) + "%"; }

std::vector<double> fractions_of(const std::vector<Result>& results) {
  std::vector<double> fractions;
  for (const Result& r : results) {
    if (std::find(fractions.begin(), fractions.end(), r.fraction) == fractions.end()) {
      fractions.push_back(r.fraction);
    }
  }
  std::sort(fractions.rbegin(), fractions.rend());
  return fractions;
}

const Result* find(const std::vector<Result>& results, double fraction, const std::string& engine) {
  for (const Result& r : results) {
    if (r.fraction == fraction && r.engine == engine) return &r;
  }
  return nullptr;
}

void figures_table(std::ostringstream& out, const std::vector<Result>& results, double fraction) {
  out << "| engine | mails | build s | build CPU s | mails/s | file MiB | open ms | q p50 µs | q "
         "p99 µs "
         "| v p50 µs | v p99 µs | peak MiB | answers |\n"
         "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|\n";
  for (const Result& r : results) {
    if (r.fraction != fraction) continue;
    if (!r.error.empty()) {
      out << "| " << r.engine << " | failed: " << r.error << " |||||||||||\n";
      continue;
    }
    const std::string mails =
        r.capped() ? std::to_string(r.indexed) + " of " + std::to_string(r.mails) + " (capped)"
                   : std::to_string(r.mails);
    out << "| " << r.engine << " | " << mails << " | " << short_number(r.build_s) << " | "
        << short_number(r.build_cpu_s) << " | "
        << short_number(static_cast<double>(r.indexed) / r.build_s) << " | "
        << mib(static_cast<double>(r.file_bytes)) << " | " << short_number(r.open_ms) << " | "
        << short_number(r.occurrence_p50_us) << " | " << short_number(r.occurrence_p99_us) << " | "
        << short_number(r.vocabulary_p50_us) << " | " << short_number(r.vocabulary_p99_us) << " | "
        << mib(static_cast<double>(r.peak_kib) * 1024) << " | " << r.agreement << " |\n";
  }
}

void io_table(std::ostringstream& out, const std::vector<Result>& results, double fraction) {
  out << "| engine | syscall read MiB | syscall written MiB | read calls | write calls | memcpy "
         "floor s | build/floor |\n"
         "|---|--:|--:|--:|--:|--:|--:|\n";
  for (const Result& r : results) {
    if (r.fraction != fraction || !r.error.empty()) continue;
    out << "| " << r.engine << (r.capped() ? " (capped)" : "") << " | " << mib(static_cast<double>(r.rchar)) << " | " << mib(static_cast<double>(r.wchar)) << " | "
        << r.syscr << " | " << r.syscw << " | " << short_number(r.floor_s) << " | "
        << (r.floor_s > 0 ? short_number(r.build_s / r.floor_s) : "-") << " |\n";
  }
}

struct Figure {
  const char* name;
  double (*of)(const Result&);
};

const Figure kRatioFigures[] = {
    {"build time", [](const Result& r) { return r.build_s; }},
    {"build CPU time", [](const Result& r) { return r.build_cpu_s; }},
    {"file size", [](const Result& r) { return static_cast<double>(r.file_bytes); }},
    {"open time", [](const Result& r) { return r.open_ms; }},
    {"query p50 (by occurrence)", [](const Result& r) { return r.occurrence_p50_us; }},
    {"query p99 (by occurrence)", [](const Result& r) { return r.occurrence_p99_us; }},
    {"query p50 (by vocabulary)", [](const Result& r) { return r.vocabulary_p50_us; }},
    {"query p99 (by vocabulary)", [](const Result& r) { return r.vocabulary_p99_us; }},
    {"peak memory of the build", [](const Result& r) { return static_cast<double>(r.peak_kib); }},
};

void ratio_table(std::ostringstream& out, const std::vector<Result>& results, double fraction) {
  std::vector<std::pair<const Result*, const Result*>> pairs;
  std::string header = "| velkor / peer |";
  std::string rule = "|---|";
  for (const char* ours : {"velkor-default", "velkor-bulk"}) {
    for (const char* peer : {"sqlite-fts5", "xapian"}) {
      const Result* a = find(results, fraction, ours);
      const Result* b = find(results, fraction, peer);
      if (a == nullptr || b == nullptr) continue;
      pairs.emplace_back(a, b);
      header += std::string(" ") + ours + " / " + peer + " |";
      rule += "--:|";
    }
  }
  if (pairs.empty()) return;
  out << header << "\n" << rule << "\n";
  for (const Figure& figure : kRatioFigures) {
    out << "| " << figure.name << " |";
    for (const auto& [a, b] : pairs) {
      const double denominator = figure.of(*b);
      if (!a->usable() || !b->usable() || denominator <= 0) {
        out << " n/a |";
      } else {
        out << " " << short_number(figure.of(*a) / denominator) << " |";
      }
    }
    out << "\n";
  }
}

void scale_table(std::ostringstream& out, const std::vector<Result>& results) {
  std::vector<double> fractions = fractions_of(results);
  std::sort(fractions.begin(), fractions.end());
  out << "| engine | figure |";
  std::string rule = "|---|---|";
  for (double f : fractions) {
    out << " " << percent(f) << " |";
    rule += "--:|";
  }
  out << "\n" << rule << "\n";
  std::vector<std::string> engines;
  for (const Result& r : results) {
    if (std::find(engines.begin(), engines.end(), r.engine) == engines.end()) {
      engines.push_back(r.engine);
    }
  }
  const std::pair<const char*, double (*)(const Result&)> rows[] = {
      {"build s", [](const Result& r) { return r.build_s; }},
      {"build CPU s", [](const Result& r) { return r.build_cpu_s; }},
      {"file MiB", [](const Result& r) { return r.file_bytes / 1048576.0; }},
      {"q p50 µs", [](const Result& r) { return r.occurrence_p50_us; }},
  };
  for (const std::string& engine : engines) {
    for (const auto& [name, of] : rows) {
      out << "| " << engine << " | " << name << " |";
      for (double f : fractions) {
        const Result* r = find(results, f, engine);
        if (r == nullptr || !r->error.empty()) {
          out << " - |";
        } else {
          out << " " << short_number(of(*r)) << (r->capped() ? " (capped)" : "") << " |";
        }
      }
      out << "\n";
    }
  }
}

// Sessions: each series holds one engine's sessions in order, and session i
// of every engine adds the same mail or asks the same token, so velkor's
// ratios are taken session by session.
double part_p50(const SessionSeries& series, double SessionTimes::*part) {
  std::vector<double> values;
  for (const SessionTimes& t : series.times) values.push_back(t.*part);
  return percentile(values, 0.5);
}

// Percentile q of velkor's session time over `peer`'s, session by session;
// 0 when they cannot be paired.
double paired_ratio(const SessionSeries& velkor, const SessionSeries& peer, double q) {
  if (velkor.times.size() != peer.times.size() || velkor.times.empty()) return 0;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < peer.times.size(); ++i) {
    if (peer.times[i].total_ms <= 0) return 0;
    ratios.push_back(velkor.times[i].total_ms / peer.times[i].total_ms);
  }
  return percentile(ratios, q);
}

const SessionSeries* find_series(const std::vector<SessionSeries>& all, const std::string& name) {
  for (const SessionSeries& s : all) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

std::string ms(double value) { return value > 0 ? short_number(value) : std::string("-"); }

void sessions_table(std::ostringstream& out, const std::vector<SessionSeries>& all, bool update) {
  out << (update ? "| engine | session p50 ms | p90 ms | open p50 | add p50 | save p50 | close p50 "
                   "| velkor / engine p50 | p90 | read MiB p50 | written MiB p50 | calls p50 "
                   "| answers |\n"
                   "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|\n"
                 : "| engine | session p50 ms | p90 ms | open p50 | query p50 | close p50 "
                   "| velkor / engine p50 | p90 | answers |\n"
                   "|---|--:|--:|--:|--:|--:|--:|--:|---|\n");
  const SessionSeries* velkor = find_series(all, "velkor");
  for (const SessionSeries& s : all) {
    out << "| " << s.name << " | ";
    if (!s.error.empty()) {
      out << "failed: " << s.error << " |" << std::string(update ? 12 : 8, '|') << "\n";
      continue;
    }
    std::vector<double> totals;
    for (const SessionTimes& t : s.times) totals.push_back(t.total_ms);
    out << ms(percentile(totals, 0.5)) << " | " << ms(percentile(totals, 0.9)) << " | ";
    if (s.floor) {
      out << (update ? "- | - | - | - | " : "- | - | - | ");
    } else {
      out << ms(part_p50(s, &SessionTimes::open_ms)) << " | "
          << ms(part_p50(s, &SessionTimes::work_ms)) << " | ";
      if (update) out << ms(part_p50(s, &SessionTimes::save_ms)) << " | ";
      out << ms(part_p50(s, &SessionTimes::close_ms)) << " | ";
    }
    if (velkor == nullptr || &s == velkor || !velkor->error.empty()) {
      out << "- | - | ";
    } else {
      out << ms(paired_ratio(*velkor, s, 0.5)) << " | " << ms(paired_ratio(*velkor, s, 0.9))
          << " | ";
    }
    if (update) {
      std::vector<double> read, written, calls;
      for (const IoCounters& io : s.io) {
        read.push_back(static_cast<double>(io.rchar));
        written.push_back(static_cast<double>(io.wchar));
        calls.push_back(static_cast<double>(io.syscr + io.syscw));
      }
      out << (s.io.empty() ? "-" : mib(percentile(read, 0.5))) << " | "
          << (s.io.empty() ? "-" : mib(percentile(written, 0.5))) << " | "
          << (s.io.empty() || s.floor ? "-" : short_number(percentile(calls, 0.5))) << " | ";
    }
    out << (s.check.empty() ? "-" : s.check) << " |\n";
  }
}

std::string sessions_note() {
  return "A host that keeps its index on disk between events. Each engine starts from its own "
         "build of the fraction (velkor index: the velkor-bulk file) and the engines take "
         "turns, session by session. An update session opens a copy of the build for writing, "
         "adds one mail (velkor: idx_id_of(path, true) and idx_index, with the engine's default "
         "cache limits), saves or commits, and closes; the next session opens what it saved. "
         "Its mails are the last of the shuffled corpus, the same at every fraction, so at "
         "100% they are held back from the build. A cold query session opens the untouched "
         "build read-only, asks one token, parses the whole answer as the query workload does "
         "and closes; the tokens are drawn as that workload draws them, by occurrence and from "
         "the vocabulary, over the mails the build holds. The file's pages are in the page "
         "cache. Times are wall clock, p50 and p90 over the sessions; each part's column is its "
         "own p50. velkor / engine: velkor's session time over the engine's for the same mail "
         "or token, p50 and p90 of those ratios. read, written, calls: bytes and calls through "
         "read and write system calls in the update session (rchar, wchar, syscr + syscw of "
         "/proc/self/io; a commit's wait for the disk is not among them). sqlite-fts5 and xapian "
         "commit with their "
         "default durability (the commit waits for the disk); sqlite-fts5-sync-off (PRAGMA "
         "synchronous=OFF) and xapian-no-sync (DB_NO_SYNC) hand their bytes to the system and "
         "return, as idx_save does. floor: what velkor's save of the same session must write "
         "at least, written with plain pwrite into a scratch copy of its file, in the same "
         "process right after the session: the header, and the four sections with the ending "
         "magic at the new data end (their length read off the saved file's header), which "
         "move whenever a slot is appended; and the stored form of every entry that the mail "
         "changed, at places spread over the slot region (each of its distinct tokens' entry "
         "with all its postings, 2 + token + 4 + 6 bytes per posting, and its path entry, 8 + "
         "4 bytes per token). floor+journal first reads the old bytes of every range it writes "
         "and appends them to a journal file, which it empties at the end, as a save empties "
         "the journal. answers: for update sessions, the mails that the index left by the "
         "last session answers with their count under their first token; for query "
         "sessions, answers equal to the reference engine's.";
}

// The three kinds of session, as the report and the CSV name them.
struct SessionKind {
  const char* name;   // CSV scenario
  const char* title;  // Markdown
  std::vector<SessionSeries> SessionsResult::*series;
  bool update;
};
const SessionKind kSessionKinds[] = {
    {"update", "Update sessions (open, add one mail, save, close)", &SessionsResult::updates, true},
    {"query", "Cold query sessions (open read-only, one query, close), tokens drawn by occurrence",
     &SessionsResult::queries, false},
    {"query-v", "Cold query sessions, tokens drawn from the vocabulary",
     &SessionsResult::vocabulary_queries, false},
};

std::vector<const SessionsResult*> by_fraction(const std::vector<SessionsResult>& all,
                                               bool largest_first) {
  std::vector<const SessionsResult*> ordered;
  for (const SessionsResult& r : all) ordered.push_back(&r);
  std::sort(ordered.begin(), ordered.end(), [&](const SessionsResult* a, const SessionsResult* b) {
    return largest_first ? a->fraction > b->fraction : a->fraction < b->fraction;
  });
  return ordered;
}

std::vector<std::string> series_names(const std::vector<const SessionsResult*>& all,
                                      const SessionKind& kind) {
  std::vector<std::string> names;
  for (const SessionsResult* r : all) {
    for (const SessionSeries& s : r->*kind.series) {
      if (std::find(names.begin(), names.end(), s.name) == names.end()) names.push_back(s.name);
    }
  }
  return names;
}

double total_percentile(const SessionSeries* s, double q) {
  std::vector<double> totals;
  if (s != nullptr && s->error.empty()) {
    for (const SessionTimes& t : s->times) totals.push_back(t.total_ms);
  }
  return percentile(totals, q);
}

void sessions_section(std::ostringstream& out, const std::vector<SessionsResult>& all) {
  out << "## Sessions\n\n" << sessions_note() << "\n\n";
  const std::vector<const SessionsResult*> ordered = by_fraction(all, true);
  for (const SessionsResult* r : ordered) {
    out << "### " << percent(r->fraction) << " of the corpus: " << r->base_mails << " mails, "
        << r->sessions << " sessions\n\n";
    if (!r->error.empty()) out << "Failed: " << r->error << "\n\n";
    for (const SessionKind& kind : kSessionKinds) {
      if ((r->*kind.series).empty()) continue;
      out << kind.title << ":\n\n";
      sessions_table(out, r->*kind.series, kind.update);
      out << "\n";
      if (kind.update && !r->floor_bytes.empty()) {
        std::vector<double> sections, entries, journaled;
        for (const FloorBytes& b : r->floor_bytes) {
          sections.push_back(static_cast<double>(b.sections));
          entries.push_back(static_cast<double>(b.entries));
          journaled.push_back(static_cast<double>(b.journaled));
        }
        out << "The floor's bytes per session, p50: " << mib(percentile(sections, 0.5))
            << " MiB of header, sections and ending magic, " << mib(percentile(entries, 0.5))
            << " MiB of changed entries; the journal keeps " << mib(percentile(journaled, 0.5))
            << " MiB of them.\n\n";
      }
    }
    // The goals of the work on sessions, as ratios in this run.
    std::vector<std::string> goals;
    const auto goal = [&](const std::vector<SessionSeries>& series, const char* peer,
                          const std::string& text) {
      const SessionSeries* velkor = find_series(series, "velkor");
      const SessionSeries* other = find_series(series, peer);
      if (velkor == nullptr || other == nullptr) return;
      const double ratio = paired_ratio(*velkor, *other, 0.5);
      if (ratio <= 0) return;
      goals.push_back(text + " " + short_number(ratio) + (ratio <= 2 ? " (met)" : " (not met)"));
    };
    goal(r->queries, "sqlite-fts5", "cold query session / FTS5's, tokens by occurrence:");
    goal(r->vocabulary_queries, "sqlite-fts5", "by vocabulary:");
    goal(r->updates, "floor+journal", "update session / its floor with the journal:");
    if (!goals.empty()) {
      out << "Goals (at most 2), p50 of the ratios: ";
      for (std::size_t i = 0; i < goals.size(); ++i) out << (i > 0 ? "; " : "") << goals[i];
      out << ".\n\n";
    }
  }
  if (ordered.size() < 2) return;
  const std::vector<const SessionsResult*> rising = by_fraction(all, false);
  out << "### Sessions against corpus fraction (p50 ms)\n\n| session | engine |";
  std::string rule = "|---|---|";
  for (const SessionsResult* r : rising) {
    out << " " << percent(r->fraction) << " |";
    rule += "--:|";
  }
  out << "\n" << rule << "\n";
  for (const SessionKind& kind : kSessionKinds) {
    for (const std::string& name : series_names(rising, kind)) {
      out << "| " << kind.name << " | " << name << " |";
      for (const SessionsResult* r : rising) {
        out << " " << ms(total_percentile(find_series(r->*kind.series, name), 0.5)) << " |";
      }
      out << "\n";
    }
  }
  out << "\n";
}

}  // namespace

std::string markdown_report(const RunInfo& info, const std::vector<Result>& results,
                            const std::vector<SessionsResult>& sessions) {
  std::ostringstream out;
  out << "# velkor index benchmark: latest run\n\n"
      << "- Run: " << info.started_utc << ", " << short_number(info.wall_s / 60)
      << " min; load average (1 min) before each step: " << fixed(info.load_min, 2) << " to "
      << fixed(info.load_max, 2) << " (the step itself adds about 1).\n"
      << "- Machine: " << info.machine << "\n"
      << "- Versions: " << info.versions << "\n"
      << "- Corpus: " << info.corpus << "\n"
      << (results.empty() ? "" : "- Queries: " + info.queries + "\n")
      << "- Time budget per build: " << fixed(info.budget_s, 0)
      << " s; a build that runs out of it saves what it has and is marked capped.\n\n";
  if (!results.empty()) {
    out << "Columns: build = indexing plus save/commit (wall time, and CPU time of its process, "
           "which a busy machine inflates less); open = opening the saved index in a "
           "fresh process (page cache warm); q = tokens drawn by occurrence, v = tokens drawn "
           "from the vocabulary, each query returning the whole (document, count) list; peak = "
           "peak resident set of the build above what its process started with (VmHWM, "
           "restarted after the heap's free pages inherited from the harness were given back); "
           "answers = "
           "answers equal to the reference engine's (sqlite-fts5). Second table: the bytes and "
           "calls through read and write system calls during the build (rchar, wchar, syscr, "
           "syscw of /proc/self/io); the memcpy floor copies those bytes once, and build/floor is "
           "the build time over it.\n\n";
  }
  for (double fraction : fractions_of(results)) {
    std::size_t mails = 0;
    for (const Result& r : results) {
      if (r.fraction == fraction) mails = r.mails;
    }
    out << "## " << percent(fraction) << " of the corpus (" << mails << " mails)\n\n";
    figures_table(out, results, fraction);
    out << "\n";
    io_table(out, results, fraction);
    out << "\n";
    ratio_table(out, results, fraction);
    out << "\n";
  }
  if (!results.empty()) {
    out << "## Scale curve\n\n";
    scale_table(out, results);
    out << "\n";
  }
  if (!sessions.empty()) sessions_section(out, sessions);
  return out.str();
}

std::string csv_report(const std::vector<Result>& unordered,
                       const std::vector<SessionsResult>& sessions) {
  // One engine's rows together, smallest fraction first: gnuplot draws a line
  // through consecutive rows only.
  std::vector<Result> results = unordered;
  std::vector<std::string> engines;
  for (const Result& r : results) {
    if (std::find(engines.begin(), engines.end(), r.engine) == engines.end()) {
      engines.push_back(r.engine);
    }
  }
  const auto rank = [&](const Result& r) {
    return std::find(engines.begin(), engines.end(), r.engine) - engines.begin();
  };
  std::stable_sort(results.begin(), results.end(), [&](const Result& a, const Result& b) {
    return rank(a) != rank(b) ? rank(a) < rank(b) : a.fraction < b.fraction;
  });
  std::ostringstream out;
  // Build rows (scenario "build") fill the columns up to error; session rows
  // ("update", "query") fill fraction, engine, mails, error and the columns
  // behind it.
  out << "scenario,fraction,engine,mails,indexed,build_s,build_cpu_s,file_bytes,open_ms,"
         "occurrence_p50_us,occurrence_p99_us,vocabulary_p50_us,vocabulary_p99_us,peak_kib,"
         "base_kib,rchar,wchar,syscr,syscw,floor_s,agreement,error,base_mails,sessions,"
         "session_p50_ms,session_p90_ms,open_p50_ms,work_p50_ms,save_p50_ms,close_p50_ms,"
         "velkor_ratio_p50,velkor_ratio_p90,answers\n";
  for (const Result& r : results) {
    out << "build," << r.fraction << "," << r.engine << "," << r.mails << "," << r.indexed << ","
        << fixed(r.build_s, 4) << "," << fixed(r.build_cpu_s, 4) << "," << r.file_bytes << ","
        << fixed(r.open_ms, 4) << "," << fixed(r.occurrence_p50_us, 2) << ","
        << fixed(r.occurrence_p99_us, 2) << "," << fixed(r.vocabulary_p50_us, 2) << ","
        << fixed(r.vocabulary_p99_us, 2) << "," << r.peak_kib << "," << r.base_kib << "," << r.rchar
        << "," << r.wchar << "," << r.syscr << "," << r.syscw << "," << fixed(r.floor_s, 4) << ","
        << r.agreement << "," << r.error << ",,,,,,,,,,,\n";
  }
  // One engine's rows together, smallest fraction first, as above.
  const std::vector<const SessionsResult*> rising = by_fraction(sessions, false);
  for (const SessionKind& kind : kSessionKinds) {
    for (const std::string& name : series_names(rising, kind)) {
      for (const SessionsResult* r : rising) {
        const std::vector<SessionSeries>& all = r->*kind.series;
        const SessionSeries* s = find_series(all, name);
        if (s == nullptr) continue;
        const SessionSeries* velkor = find_series(all, "velkor");
        const bool parts = !s->floor && !s->times.empty();
        const bool paired = velkor != nullptr && velkor != s && !s->times.empty();
        out << kind.name << "," << r->fraction << "," << s->name << "," << r->mails
            << ",,,,,,,,,,,,,,,,,," << s->error << "," << r->base_mails << "," << r->sessions
            << ",";
        if (!s->times.empty()) {
          out << fixed(total_percentile(s, 0.5), 4) << "," << fixed(total_percentile(s, 0.9), 4);
        } else {
          out << ",";
        }
        for (double SessionTimes::*part : {&SessionTimes::open_ms, &SessionTimes::work_ms,
                                           &SessionTimes::save_ms, &SessionTimes::close_ms}) {
          out << ",";
          if (parts && (kind.update || part != &SessionTimes::save_ms)) {
            out << fixed(part_p50(*s, part), 4);
          }
        }
        out << ",";
        if (paired) out << fixed(paired_ratio(*velkor, *s, 0.5), 4);
        out << ",";
        if (paired) out << fixed(paired_ratio(*velkor, *s, 0.9), 4);
        out << "," << s->check << "\n";
      }
    }
  }
  return out.str();
}

}  // namespace bench
