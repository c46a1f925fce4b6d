#include "sessions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "measure.h"

namespace bench {
namespace {

namespace fs = std::filesystem;

// The index file begins with twelve little-endian u32 words. Those the floor
// reads: where the slot region ends, where the sections begin (right behind
// it) and where the ending magic stands.
constexpr int kHeaderWords = 12;
constexpr int kWordDataEnd = 3;
constexpr int kWordSlotTableBegin = 4;
constexpr int kWordRegistryEnd = 11;
constexpr int64_t kDataBegin = 512;
constexpr int64_t kSlotBytes = 32;
constexpr uint32_t kEndingMagicBytes = 4;
constexpr uint32_t kHeaderBytes = kHeaderWords * 4;

// Stored forms: a token entry is the token form (a length byte, a key byte
// and the scrambled token), a u32 count and six bytes per posting (u32 path
// id, u16 count); a path entry is a u32 path id, a u32 count and a u32 token
// entry id per token.
uint32_t token_entry_bytes(std::size_t token_length, uint32_t postings) {
  return static_cast<uint32_t>(2 + token_length + 4 + 6 * static_cast<std::size_t>(postings));
}
uint32_t path_entry_bytes(std::size_t tokens) { return static_cast<uint32_t>(8 + 4 * tokens); }

[[noreturn]] void fail_errno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void write_at(int fd, const char* bytes, std::size_t count, int64_t at) {
  while (count > 0) {
    const ssize_t wrote = ::pwrite(fd, bytes, count, at);
    if (wrote <= 0) fail_errno("pwrite");
    bytes += wrote;
    count -= static_cast<std::size_t>(wrote);
    at += wrote;
  }
}

// Bytes the file holds at [at, at + count), fewer where it ends earlier.
std::size_t read_at(int fd, char* bytes, std::size_t count, int64_t at) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t read = ::pread(fd, bytes + got, count - got, at + static_cast<int64_t>(got));
    if (read < 0) fail_errno("pread");
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
  }
  return got;
}

// Distinct tokens of a normalised text with their counts, in token order.
std::map<std::string_view, uint32_t> token_counts(std::string_view text) {
  std::map<std::string_view, uint32_t> counts;
  for_each_token(text, [&](std::string_view token) { ++counts[token]; });
  return counts;
}

// A copy of a saved index to work on, without what an earlier run left beside it.
void copy_index(const std::string& from, const std::string& to) {
  for (const char* beside : {"", "-journal", "-wal", "-shm"}) fs::remove_all(to + beside);
  fs::copy(from, to, fs::copy_options::recursive);
}

struct Subject {
  const char* name;
  const char* engine;  // whose build the sessions start from
  bool sync;
};

// velkor index saves by handing its bytes to the system; the peers run with
// their default durability (the commit waits for the disk) and, as a
// second subject, with the durability of such a save.
const Subject kUpdateSubjects[] = {
    {"velkor", "velkor-bulk", true},      {"sqlite-fts5-sync-off", "sqlite-fts5", false},
    {"sqlite-fts5", "sqlite-fts5", true}, {"xapian-no-sync", "xapian", false},
    {"xapian", "xapian", true},
};
const Subject kQuerySubjects[] = {
    {"velkor", "velkor-bulk", true},
    {"sqlite-fts5", "sqlite-fts5", true},
    {"xapian", "xapian", true},
};
const char* const kFloor = "floor";
const char* const kFloorJournal = "floor+journal";

bool selected(const SessionsSetup& setup, const Subject& subject) {
  for (const std::string& engine : setup.engines) {
    if (engine == subject.engine || (is_velkor(engine) && is_velkor(subject.engine))) return true;
  }
  return false;
}

std::string base_location(const SessionsSetup& setup, const std::string& engine) {
  return (fs::path(setup.folder) / ("base-" + engine + location_suffix(engine))).string();
}

std::string copy_location(const SessionsSetup& setup, const Subject& subject) {
  return (fs::path(setup.folder) / (std::string(subject.name) + location_suffix(subject.engine)))
      .string();
}

std::string times_line(const SessionTimes& t) {
  std::ostringstream line;
  line.precision(9);
  line << t.open_ms << " " << t.work_ms << " " << t.save_ms << " " << t.close_ms << " "
       << t.total_ms;
  return line.str();
}

SessionTimes parse_times(std::istream& in) {
  SessionTimes t;
  in >> t.open_ms >> t.work_ms >> t.save_ms >> t.close_ms >> t.total_ms;
  return t;
}

// Builds an engine's base index in its own process, as the build scenario does.
std::string build_base(const SessionsSetup& setup, const std::string& engine, std::size_t base) {
  const std::string location = base_location(setup, engine);
  const ChildOutcome outcome = run_in_child([&]() {
    std::unique_ptr<Engine> built = make_engine(engine, location, setup.bulk);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(setup.budget_s));
    const std::size_t indexed = built->build(*setup.mails, base, deadline);
    if (indexed < base) {
      throw std::runtime_error("the build ran out of its time budget after " +
                               std::to_string(indexed) + " mails");
    }
    return std::string();
  });
  return outcome.ok ? std::string() : "base build: " + outcome.report;
}

}  // namespace

SaveFloor::SaveFloor(const std::string& scratch, const std::string& journal, uint64_t seed)
    : state_(seed) {
  file_ = ::open(scratch.c_str(), O_RDWR);
  if (file_ < 0) fail_errno("open " + scratch);
  if (!journal.empty()) {
    journal_ = ::open(journal.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (journal_ < 0) fail_errno("open " + journal);
  }
}

SaveFloor::~SaveFloor() {
  if (file_ >= 0) ::close(file_);
  if (journal_ >= 0) ::close(journal_);
}

void SaveFloor::put(std::size_t count, int64_t at) {
  if (journal_ >= 0) {
    const std::size_t old = read_at(file_, old_.data(), count, at);
    write_at(journal_, old_.data(), old, journal_end_);
    journal_end_ += static_cast<int64_t>(old);
  }
  write_at(file_, bytes_.data(), count, at);
}

double SaveFloor::write_session(const uint32_t* header, const std::vector<uint32_t>& entries) {
  const int64_t data_end = header[kWordDataEnd];
  const std::size_t sections =
      header[kWordRegistryEnd] + kEndingMagicBytes - header[kWordSlotTableBegin];
  // Places and buffers are settled before the clock starts: the floor is
  // the writes alone.
  std::vector<int64_t> places;
  std::size_t largest = std::max<std::size_t>(sections, kHeaderBytes);
  const int64_t region_slots = (data_end - kDataBegin) / kSlotBytes;
  for (uint32_t bytes : entries) {
    const int64_t slots = (static_cast<int64_t>(bytes) + kSlotBytes - 1) / kSlotBytes;
    // xorshift64: any spread over the slot region will do.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    const int64_t room = std::max<int64_t>(1, region_slots - slots);
    places.push_back(kDataBegin + static_cast<int64_t>(state_ % room) * kSlotBytes);
    largest = std::max<std::size_t>(largest, bytes);
  }
  if (bytes_.size() < largest) bytes_.assign(largest, '\x5a');
  if (journal_ >= 0 && old_.size() < largest) old_.resize(largest);

  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < entries.size(); ++i) put(entries[i], places[i]);
  put(sections, data_end);
  put(kHeaderBytes, 0);
  const uint64_t journaled = static_cast<uint64_t>(journal_end_);
  if (journal_ >= 0) {
    if (::ftruncate(journal_, 0) != 0) fail_errno("ftruncate");
    journal_end_ = 0;
  }
  const double ms = milliseconds(start, Clock::now());
  last_ = FloorBytes{sections + kHeaderBytes, 0, journaled};
  for (uint32_t bytes : entries) last_.entries += bytes;
  return ms;
}

std::vector<std::vector<uint32_t>> changed_entries(const std::vector<Mail>& mails, std::size_t base,
                                                   std::size_t first, std::size_t count) {
  // Postings per token of the session mails: how many mails hold it.
  struct Seen {
    uint32_t mails = 0;
    std::size_t last = 0;  // 1 + the last mail counted
  };
  std::unordered_map<std::string_view, Seen> seen;
  for (std::size_t i = first; i < first + count; ++i) {
    for_each_token(mails[i].text, [&](std::string_view token) { seen[token]; });
  }
  for (std::size_t m = 0; m < base; ++m) {
    for_each_token(mails[m].text, [&](std::string_view token) {
      auto found = seen.find(token);
      if (found != seen.end() && found->second.last != m + 1) {
        ++found->second.mails;
        found->second.last = m + 1;
      }
    });
  }
  std::vector<std::vector<uint32_t>> sessions;
  for (std::size_t i = first; i < first + count; ++i) {
    std::vector<uint32_t> entries;
    const auto counts = token_counts(mails[i].text);
    for (const auto& [token, occurrences] : counts) {
      const uint32_t postings = ++seen[token].mails;
      entries.push_back(token_entry_bytes(token.size(), postings));
    }
    entries.push_back(path_entry_bytes(counts.size()));
    sessions.push_back(std::move(entries));
  }
  return sessions;
}

std::vector<uint32_t> read_header_words(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) fail_errno("open " + file);
  unsigned char bytes[kHeaderBytes];
  const std::size_t got = read_at(fd, reinterpret_cast<char*>(bytes), kHeaderBytes, 0);
  ::close(fd);
  if (got != kHeaderBytes) throw std::runtime_error(file + " holds no header");
  std::vector<uint32_t> words(kHeaderWords);
  for (int w = 0; w < kHeaderWords; ++w) {
    words[w] = uint32_t{bytes[4 * w]} | uint32_t{bytes[4 * w + 1]} << 8 |
               uint32_t{bytes[4 * w + 2]} << 16 | uint32_t{bytes[4 * w + 3]} << 24;
  }
  return words;
}

namespace {

SessionSeries* series_of(std::vector<SessionSeries>& all, const std::string& name) {
  for (SessionSeries& s : all) {
    if (s.name == name) return &s;
  }
  throw std::logic_error("no series " + name);
}

// Cold queries on the untouched builds: the engines take turns on each token,
// of both mixes that the query workload draws.
std::string query_sessions(const SessionsSetup& setup, const std::vector<const Subject*>& subjects,
                           SessionsResult& result) {
  const std::vector<Mail>& mails = *setup.mails;
  const std::vector<std::string> mixes[2] = {
      sample_by_occurrence(mails, result.base_mails, result.sessions, setup.seed),
      sample_by_vocabulary(mails, result.base_mails, result.sessions, setup.seed + 1, nullptr)};
  std::vector<SessionSeries>* series[2] = {&result.queries, &result.vocabulary_queries};
  setup.step("sessions: " + std::to_string(2 * result.sessions) + " query sessions per engine");
  const ChildOutcome asked = run_in_child([&]() {
    std::vector<std::unique_ptr<Engine>> engines;
    for (const Subject* s : subjects) {
      engines.push_back(make_engine(s->engine, base_location(setup, s->engine), setup.bulk));
      engines.back()->open();
      engines.back()->map_documents(mails, result.base_mails);
      engines.back()->close();
    }
    std::ostringstream report;
    std::vector<Posting> answer;
    for (std::size_t i = 0; i < result.sessions; ++i) {
      for (int mix = 0; mix < 2; ++mix) {
        for (std::size_t e = 0; e < engines.size(); ++e) {
          const SessionTimes times = engines[e]->query_session(mixes[mix][i], answer);
          report << mix << " " << e << " " << times_line(times) << " "
                 << answer_digest(*engines[e], answer) << "\n";
        }
      }
    }
    return report.str();
  });
  if (!asked.ok) return "query sessions: " + asked.report;
  std::map<std::string, std::vector<std::string>> digests[2];
  std::istringstream in(asked.report);
  int mix;
  std::size_t e;
  while (in >> mix >> e) {
    SessionSeries* s = series_of(*series[mix], subjects[e]->name);
    s->times.push_back(parse_times(in));
    std::string digest;
    in >> digest;
    digests[mix][s->name].push_back(digest);
  }
  for (mix = 0; mix < 2; ++mix) {
    // Answers are compared with the first peer asked, as in the build scenario.
    std::string reference;
    for (const char* candidate : {"sqlite-fts5", "xapian", "velkor"}) {
      if (digests[mix].count(candidate) != 0) {
        reference = candidate;
        break;
      }
    }
    for (SessionSeries& s : *series[mix]) {
      if (!s.error.empty()) continue;
      if (s.name == reference) {
        s.check = "reference";
        continue;
      }
      std::size_t equal = 0;
      for (std::size_t i = 0; i < result.sessions; ++i) {
        equal += digests[mix][s.name][i] == digests[mix][reference][i] ? 1 : 0;
      }
      s.check = std::to_string(equal) + "/" + std::to_string(result.sessions);
    }
  }
  return std::string();
}

// Update sessions on copies of the builds, the engines taking turns on each
// mail, and the floor of each velkor session on two more copies.
std::string update_sessions(const SessionsSetup& setup, const std::vector<const Subject*>& subjects,
                            SessionsResult& result) {
  const std::vector<Mail>& mails = *setup.mails;
  const std::size_t first = mails.size() - result.sessions;
  const bool velkor = !subjects.empty() && std::string(subjects.front()->name) == "velkor";
  std::vector<std::vector<uint32_t>> entries;
  const std::string scratch = (fs::path(setup.folder) / "floor.scratch").string();
  const std::string scratch_journaled = (fs::path(setup.folder) / "floor-j.scratch").string();
  const std::string journal = (fs::path(setup.folder) / "floor-j.journal").string();
  if (velkor) {
    entries = changed_entries(mails, result.base_mails, first, result.sessions);
    copy_index(base_location(setup, "velkor-bulk"), scratch);
    copy_index(base_location(setup, "velkor-bulk"), scratch_journaled);
    SessionSeries floor, floor_journaled;
    floor.name = kFloor;
    floor_journaled.name = kFloorJournal;
    floor.floor = floor_journaled.floor = true;
    result.updates.push_back(floor);
    result.updates.push_back(floor_journaled);
  }
  for (const Subject* s : subjects) {
    copy_index(base_location(setup, s->engine), copy_location(setup, *s));
  }
  setup.step("sessions: " + std::to_string(result.sessions) + " update sessions per engine");
  const ChildOutcome added = run_in_child([&]() {
    std::vector<std::unique_ptr<Engine>> engines;
    for (const Subject* s : subjects) {
      engines.push_back(make_engine(s->engine, copy_location(setup, *s), setup.bulk, s->sync));
    }
    std::unique_ptr<SaveFloor> floor, floor_journaled;
    if (velkor) {
      // The same seed: both floors write at the same places.
      floor = std::make_unique<SaveFloor>(scratch, "", setup.seed);
      floor_journaled = std::make_unique<SaveFloor>(scratch_journaled, journal, setup.seed);
    }
    std::vector<std::vector<uint32_t>> docs(engines.size());
    std::ostringstream report;
    for (std::size_t i = 0; i < result.sessions; ++i) {
      const Mail& mail = mails[first + i];
      const uint32_t number = static_cast<uint32_t>(first + i + 1);
      for (std::size_t e = 0; e < engines.size(); ++e) {
        uint32_t doc = 0;
        const IoCounters before = read_io_counters();
        const SessionTimes times = engines[e]->update_session(mail, number, &doc);
        const IoCounters after = read_io_counters();
        report << "u " << e << " " << times_line(times) << " " << after.rchar - before.rchar << " "
               << after.wchar - before.wchar << " " << after.syscr - before.syscr << " "
               << after.syscw - before.syscw << "\n";
        docs[e].push_back(doc);
        if (e == 0 && velkor) {
          const std::vector<uint32_t> header =
              read_header_words(copy_location(setup, *subjects[0]));
          report << "f " << floor->write_session(header.data(), entries[i]) << " "
                 << floor_journaled->write_session(header.data(), entries[i]);
          const FloorBytes bytes = floor_journaled->last_bytes();
          report << " " << bytes.sections << " " << bytes.entries << " " << bytes.journaled << "\n";
        }
      }
    }
    // Every mail must be in the index that the sessions left: its first token
    // answers it with its count.
    for (std::size_t e = 0; e < engines.size(); ++e) {
      engines[e]->open();
      std::size_t right = 0;
      std::vector<Posting> answer;
      for (std::size_t i = 0; i < result.sessions; ++i) {
        const std::string& text = mails[first + i].text;
        const std::string token = text.substr(0, text.find(' '));
        const uint32_t count = token_counts(text)[token];
        engines[e]->query(token, answer);
        for (const Posting& p : answer) {
          if (p.doc == docs[e][i] && p.count == count) {
            ++right;
            break;
          }
        }
      }
      engines[e]->close();
      report << "c " << e << " " << right << "\n";
    }
    return report.str();
  });
  if (!added.ok) return "update sessions: " + added.report;
  std::istringstream in(added.report);
  std::string tag;
  while (in >> tag) {
    if (tag == "u") {
      std::size_t e;
      in >> e;
      SessionSeries* series = series_of(result.updates, subjects[e]->name);
      series->times.push_back(parse_times(in));
      IoCounters io;
      in >> io.rchar >> io.wchar >> io.syscr >> io.syscw;
      series->io.push_back(io);
    } else if (tag == "f") {
      SessionTimes plain, journaled;
      FloorBytes bytes;
      in >> plain.total_ms >> journaled.total_ms >> bytes.sections >> bytes.entries >>
          bytes.journaled;
      result.floor_bytes.push_back(bytes);
      IoCounters io;
      io.wchar = bytes.sections + bytes.entries;
      series_of(result.updates, kFloor)->io.push_back(io);
      io.rchar = bytes.journaled;
      io.wchar += bytes.journaled;
      series_of(result.updates, kFloorJournal)->io.push_back(io);
      series_of(result.updates, kFloor)->times.push_back(plain);
      series_of(result.updates, kFloorJournal)->times.push_back(journaled);
    } else if (tag == "c") {
      std::size_t e, right;
      in >> e >> right;
      series_of(result.updates, subjects[e]->name)->check =
          std::to_string(right) + "/" + std::to_string(result.sessions);
    }
  }
  return std::string();
}

}  // namespace

SessionsResult run_sessions(const SessionsSetup& setup) {
  SessionsResult result;
  result.fraction = setup.fraction;
  result.mails = setup.n;
  // The same mails at every fraction: the last of the corpus, which no
  // smaller fraction holds; the whole corpus holds them back from its build.
  result.sessions = std::min(setup.count, setup.mails->size() / 2);
  result.base_mails = std::min(setup.n, setup.mails->size() - result.sessions);
  fs::create_directories(setup.folder);

  std::map<std::string, std::string> base_error;
  for (const Subject& s : kQuerySubjects) {
    if (!selected(setup, s)) continue;
    setup.step("sessions: building the base index of " + std::string(s.engine) + " from " +
               std::to_string(result.base_mails) + " mails");
    base_error[s.engine] = build_base(setup, s.engine, result.base_mails);
  }
  // A subject whose base failed keeps its error and runs no session.
  const auto usable = [&](const auto& all, std::vector<std::vector<SessionSeries>*> outs) {
    std::vector<const Subject*> kept;
    for (const Subject& s : all) {
      if (!selected(setup, s)) continue;
      SessionSeries series;
      series.name = s.name;
      series.error = base_error[s.engine];
      if (series.error.empty()) kept.push_back(&s);
      for (std::vector<SessionSeries>* out : outs) out->push_back(series);
    }
    return kept;
  };
  const std::vector<const Subject*> queries =
      usable(kQuerySubjects, {&result.queries, &result.vocabulary_queries});
  const std::vector<const Subject*> updates = usable(kUpdateSubjects, {&result.updates});
  const std::string asked = query_sessions(setup, queries, result);
  const std::string added = update_sessions(setup, updates, result);
  result.error = asked + (asked.empty() || added.empty() ? "" : "; ") + added;
  return result;
}

}  // namespace bench
