#include "report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "engines.h"

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
  out << "| engine | entries read MiB | entries written MiB | syscall read MiB | syscall written MiB "
         "| read calls | write calls | memcpy floor s | build/floor |\n"
         "|---|--:|--:|--:|--:|--:|--:|--:|--:|\n";
  for (const Result& r : results) {
    if (r.fraction != fraction || !r.error.empty()) continue;
    const bool entries = is_velkor(r.engine);
    out << "| " << r.engine << (r.capped() ? " (capped)" : "") << " | "
        << (entries ? mib(static_cast<double>(r.entry_read)) : std::string("-")) << " | "
        << (entries ? mib(static_cast<double>(r.entry_written)) : std::string("-")) << " | "
        << mib(static_cast<double>(r.rchar)) << " | " << mib(static_cast<double>(r.wchar)) << " | "
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

}  // namespace

std::string markdown_report(const RunInfo& info, const std::vector<Result>& results) {
  std::ostringstream out;
  out << "# velkor index benchmark: latest run\n\n"
      << "- Run: " << info.started_utc << ", " << short_number(info.wall_s / 60)
      << " min; load average (1 min) before each step: " << fixed(info.load_min, 2) << " to "
      << fixed(info.load_max, 2) << " (the step itself adds about 1).\n"
      << "- Machine: " << info.machine << "\n"
      << "- Versions: " << info.versions << "\n"
      << "- Corpus: " << info.corpus << "\n"
      << "- Queries: " << info.queries << "\n"
      << "- Time budget per build: " << fixed(info.budget_s, 0)
      << " s; a build that runs out of it saves what it has and is marked capped.\n\n"
      << "Columns: build = indexing plus save/commit (wall time, and CPU time of its process, "
         "which a busy machine inflates less); open = opening the saved index in a "
         "fresh process (page cache warm); q = tokens drawn by occurrence, v = tokens drawn "
         "from the vocabulary, each query returning the whole (document, count) list; peak = "
         "peak resident set of the build above what its process started with (VmHWM, "
         "restarted after the heap's free pages inherited from the harness were given back); "
         "answers = "
         "answers equal to the reference engine's (sqlite-fts5). Second table: for velkor, the "
         "bytes of stored entries its caches wrote and read back (counted by the storage); for "
         "every engine, the bytes and calls through read and write system calls during the "
         "build (rchar, wchar, syscr, syscw of /proc/self/io); the memcpy floor copies the "
         "entry bytes (velkor) or the system-call bytes (peers) once, and build/floor is the "
         "build time over it.\n\n";
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
  out << "## Scale curve\n\n";
  scale_table(out, results);
  return out.str();
}

std::string csv_report(const std::vector<Result>& unordered) {
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
  out << "fraction,engine,mails,indexed,build_s,build_cpu_s,file_bytes,open_ms,occurrence_p50_us,"
         "occurrence_p99_us,vocabulary_p50_us,vocabulary_p99_us,peak_kib,base_kib,rchar,wchar,"
         "syscr,syscw,floor_s,agreement,error\n";
  for (const Result& r : results) {
    out << r.fraction << "," << r.engine << "," << r.mails << "," << r.indexed << ","
        << fixed(r.build_s, 4) << "," << fixed(r.build_cpu_s, 4) << "," << r.file_bytes << ","
        << fixed(r.open_ms, 4) << "," << fixed(r.occurrence_p50_us, 2) << ","
        << fixed(r.occurrence_p99_us, 2) << "," << fixed(r.vocabulary_p50_us, 2) << ","
        << fixed(r.vocabulary_p99_us, 2) << "," << r.peak_kib << "," << r.base_kib << "," << r.rchar
        << "," << r.wchar << "," << r.syscr << "," << r.syscw << "," << fixed(r.floor_s, 4) << ","
        << r.agreement << "," << r.error << "\n";
  }
  return out.str();
}

}  // namespace bench
