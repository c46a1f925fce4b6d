#include "engines.h"

#include <stdexcept>

namespace bench {

std::unique_ptr<Engine> make_velkor_engine(const std::string& file, const CacheLimits& limits);
std::unique_ptr<Engine> make_sqlite_engine(const std::string& file);
std::unique_ptr<Engine> make_xapian_engine(const std::string& folder);

const std::vector<std::string>& engine_kinds() {
  static const std::vector<std::string> kinds = {"velkor-default", "velkor-bulk", "sqlite-fts5",
                                                 "xapian"};
  return kinds;
}

bool is_velkor(const std::string& kind) { return kind.rfind("velkor-", 0) == 0; }

std::unique_ptr<Engine> make_engine(const std::string& kind, const std::string& location,
                                    const CacheLimits& bulk) {
  if (kind == "velkor-default") return make_velkor_engine(location, CacheLimits{});
  if (kind == "velkor-bulk") return make_velkor_engine(location, bulk);
  if (kind == "sqlite-fts5") return make_sqlite_engine(location);
  if (kind == "xapian") return make_xapian_engine(location);
  throw std::invalid_argument("unknown engine " + kind);
}

}  // namespace bench
