// The sessions scenario: hosts that live in short sessions on a large index.
// A mail client opens the index when a mail arrives, adds it, saves and
// closes; a desktop search opens the index to answer one query and closes.
//
// Each engine starts from its own build of the fraction (velkor index: the
// bulk regime's file, which a host would have built once) and every update
// session adds one of the same mails: the last of the shuffled corpus, which
// the index does not hold yet (at 100% they are held back from the build).
// The engines take turns session by session, so that a change in the
// machine's load falls on all of them alike, and each velkor session is
// followed by its floor: the bytes its save must write, written with plain
// pwrite into a scratch copy of the file.
#ifndef VELKOR_BENCH_SESSIONS_H_
#define VELKOR_BENCH_SESSIONS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corpus.h"
#include "engines.h"
#include "report.h"

namespace bench {

struct SessionsSetup {
  const std::vector<Mail>* mails = nullptr;  // the whole shuffled corpus
  double fraction = 0;
  std::size_t n = 0;                 // mails of the fraction
  std::size_t count = 50;            // sessions of each kind per engine
  uint64_t seed = 0;                 // draws the query tokens as the query workload does
  std::string folder;                // where the builds and the copies go
  std::vector<std::string> engines;  // engine_kinds() selected; velkor's base is velkor-bulk
  CacheLimits bulk;
  double budget_s = 900;  // per base build
  // Called before each step with what it is about to do.
  std::function<void(const std::string&)> step;
};

SessionsResult run_sessions(const SessionsSetup& setup);

// The least a velkor save of one update session writes, as plain positioned
// writes into a scratch copy of the index file: the sections and the ending
// magic behind the slot region, which move as soon as a slot is appended,
// and the stored form of every entry that the session changed. With a
// journal, the old bytes of every range written are read first and appended
// to the journal, which is emptied at the end as a save empties it.
class SaveFloor {
 public:
  // `scratch` is a copy of the index file; `journal` empty means none.
  SaveFloor(const std::string& scratch, const std::string& journal, uint64_t seed);
  SaveFloor(const SaveFloor&) = delete;
  SaveFloor& operator=(const SaveFloor&) = delete;
  ~SaveFloor();

  // The header words of the saved file after the session (twelve words).
  // `entries` are the lengths of the stored forms that the session changed;
  // they go to places drawn over the slot region. Returns milliseconds.
  double write_session(const uint32_t* header, const std::vector<uint32_t>& entries);
  // What the last session wrote.
  const FloorBytes& last_bytes() const { return last_; }

 private:
  void put(std::size_t count, int64_t at);

  int file_ = -1;
  int journal_ = -1;
  int64_t journal_end_ = 0;
  uint64_t state_;
  std::vector<char> bytes_;
  std::vector<char> old_;
  FloorBytes last_;
};

// Lengths of the stored forms that each of the update sessions changes: the
// token entries of the mail's distinct tokens, with the postings they hold
// after it (those of mails[0, base) and of the session mails up to it), and
// the mail's path entry.
std::vector<std::vector<uint32_t>> changed_entries(const std::vector<Mail>& mails, std::size_t base,
                                                   std::size_t first, std::size_t count);

// Reads the twelve header words of a saved index file. Throws on failure.
std::vector<uint32_t> read_header_words(const std::string& file);

}  // namespace bench

#endif  // VELKOR_BENCH_SESSIONS_H_
