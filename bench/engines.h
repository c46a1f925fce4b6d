// The engines under comparison behind one interface, so that the harness
// builds, opens and queries each the same way on the same texts.
#ifndef VELKOR_BENCH_ENGINES_H_
#define VELKOR_BENCH_ENGINES_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corpus.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double milliseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// One entry of a query's answer, in the engine's own document numbering.
struct Posting {
  uint32_t doc;
  uint32_t count;
};

// The wall-clock times of one host session and of its parts, in milliseconds.
// An update session's work is adding the mail (registering its path first
// where the engine names documents by path); a query session's is the query
// with the parse of its answer, and it has no save.
struct SessionTimes {
  double open_ms = 0;
  double work_ms = 0;
  double save_ms = 0;
  double close_ms = 0;
  double total_ms = 0;
};

// The times of a session from the instants that end its parts; a session
// without a save passes the end of its work as `saved`.
inline SessionTimes session_times(Clock::time_point start, Clock::time_point opened,
                                  Clock::time_point worked, Clock::time_point saved,
                                  Clock::time_point closed) {
  SessionTimes times;
  times.open_ms = milliseconds(start, opened);
  times.work_ms = milliseconds(opened, worked);
  times.save_ms = milliseconds(worked, saved);
  times.close_ms = milliseconds(saved, closed);
  times.total_ms = milliseconds(start, closed);
  return times;
}

class Engine {
 public:
  virtual ~Engine() = default;

  // Indexes mails[0..n) into a new index at the engine's location and makes
  // it durable (save, commit), stopping early once `deadline` has passed.
  // Returns the number of mails indexed.
  virtual std::size_t build(const std::vector<Mail>& mails, std::size_t n,
                            Clock::time_point deadline) = 0;

  // Bytes the saved index takes on disk.
  virtual uint64_t stored_bytes() const = 0;

  // Opens the saved index for reading and prepares whatever one query needs.
  virtual void open() = 0;

  // The whole answer for one token: every document with its count.
  virtual void query(const std::string& token, std::vector<Posting>& out) = 0;

  // Mail index (position in the shuffled corpus) of a document number that
  // query() returned; only called after open(), outside any timing.
  virtual uint32_t mail_of(uint32_t doc) const { return doc - 1; }

  // Tells the engine which mails the opened index holds, for mail_of().
  virtual void map_documents(const std::vector<Mail>& /*mails*/, std::size_t /*n*/) {}

  // Lets go of the index that open() opened; mail_of() still answers.
  virtual void close() = 0;

  // The session of a host that keeps its index on disk between events: opens
  // the saved index for writing, adds `mail` as a new document, saves or
  // commits, closes. `number` is a document number that the index does not
  // use yet, for engines that let the host choose it; `*doc` gets the number
  // that query() will answer for the mail.
  virtual SessionTimes update_session(const Mail& mail, uint32_t number, uint32_t* doc) = 0;

  // The session of a host that opens the index to answer one query: open(),
  // query(), close().
  SessionTimes query_session(const std::string& token, std::vector<Posting>& out);
};

// The cache limits a velkor host sets with idx_adjust_cache; 0 keeps the
// engine's own (64).
struct CacheLimits {
  int32_t tokens = 0;
  int32_t paths = 0;
};

// `kind` is one of engine_kinds(); `location` is the file or folder to use;
// `bulk` are the limits of velkor-bulk. Without `sync`, a peer's commit hands
// its bytes to the operating system without waiting for the disk (SQLite's
// synchronous=OFF, Xapian's DB_NO_SYNC), which is all velkor index's save does.
std::unique_ptr<Engine> make_engine(const std::string& kind, const std::string& location,
                                    const CacheLimits& bulk, bool sync = true);
const std::vector<std::string>& engine_kinds();
bool is_velkor(const std::string& kind);
// The ending of an engine's file or folder name: ".idx", ".sqlite", ".xapian".
std::string location_suffix(const std::string& kind);

// Order-independent fingerprint of one answer, in corpus mail numbers
// (mail_of), so that the answers of different engines compare equal.
std::string answer_digest(const Engine& engine, std::vector<Posting> answer);

}  // namespace bench

#endif  // VELKOR_BENCH_ENGINES_H_
