#include "engines.h"

#include <algorithm>
#include <stdexcept>

namespace bench {

std::unique_ptr<Engine> make_velkor_engine(const std::string& file, const CacheLimits& limits);
std::unique_ptr<Engine> make_sqlite_engine(const std::string& file, bool sync);
std::unique_ptr<Engine> make_xapian_engine(const std::string& folder, bool sync);

const std::vector<std::string>& engine_kinds() {
  static const std::vector<std::string> kinds = {"velkor-default", "velkor-bulk", "sqlite-fts5",
                                                 "xapian"};
  return kinds;
}

SessionTimes Engine::query_session(const std::string& token, std::vector<Posting>& out) {
  const Clock::time_point start = Clock::now();
  open();
  const Clock::time_point opened = Clock::now();
  query(token, out);
  const Clock::time_point answered = Clock::now();
  close();
  const Clock::time_point closed = Clock::now();
  return session_times(start, opened, answered, answered, closed);
}

bool is_velkor(const std::string& kind) { return kind.rfind("velkor-", 0) == 0; }

std::string location_suffix(const std::string& kind) {
  if (kind == "xapian") return ".xapian";
  if (kind == "sqlite-fts5") return ".sqlite";
  return ".idx";
}

std::string answer_digest(const Engine& engine, std::vector<Posting> answer) {
  for (Posting& p : answer) p.doc = engine.mail_of(p.doc);
  std::sort(answer.begin(), answer.end(),
            [](const Posting& a, const Posting& b) { return a.doc < b.doc; });
  uint64_t hash = 1469598103934665603ull;
  for (const Posting& p : answer) {
    for (uint32_t word : {p.doc, p.count}) {
      hash = (hash ^ word) * 1099511628211ull;
    }
  }
  return std::to_string(answer.size()) + ":" + std::to_string(hash);
}

std::unique_ptr<Engine> make_engine(const std::string& kind, const std::string& location,
                                    const CacheLimits& bulk, bool sync) {
  if (kind == "velkor-default") return make_velkor_engine(location, CacheLimits{});
  if (kind == "velkor-bulk") return make_velkor_engine(location, bulk);
  if (kind == "sqlite-fts5") return make_sqlite_engine(location, sync);
  if (kind == "xapian") return make_xapian_engine(location, sync);
  throw std::invalid_argument("unknown engine " + kind);
}

}  // namespace bench
