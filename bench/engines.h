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

// One entry of a query's answer, in the engine's own document numbering.
struct Posting {
  uint32_t doc;
  uint32_t count;
};

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

  // Bytes of stored entries the last build wrote and read back (velkor
  // index only: what its caches moved); 0 when the engine has no such count.
  virtual uint64_t entry_bytes_written() const { return 0; }
  virtual uint64_t entry_bytes_read() const { return 0; }
};

// The cache limits a velkor host sets with idx_adjust_cache; 0 keeps the
// engine's own (64).
struct CacheLimits {
  int32_t tokens = 0;
  int32_t paths = 0;
};

// `kind` is one of engine_kinds(); `location` is the file or folder to use;
// `bulk` are the limits of velkor-bulk.
std::unique_ptr<Engine> make_engine(const std::string& kind, const std::string& location,
                                    const CacheLimits& bulk);
const std::vector<std::string>& engine_kinds();
bool is_velkor(const std::string& kind);

}  // namespace bench

#endif  // VELKOR_BENCH_ENGINES_H_
