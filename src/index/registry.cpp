// The path-name registry: path strings registered by the host, each under a
// random path id with its creation time.
#include "common/runtime_rand.h"
#include "index/token_indexes.h"
#include "stream/platform_file.h"

namespace velkor {

namespace {

// Candidates drawn before a registration gives up.
constexpr int kPathIdDraws = 1025;

}  // namespace

uint32_t _CTokenIndexes::__find_path_id(const std::string& path) const {
  return names_registry.find_id(path);
}

uint32_t _CTokenIndexes::__new_path_id() const {
  for (int i = 0; i < kPathIdDraws; ++i) {
    const uint32_t high = runtime_rand();
    const uint32_t low = runtime_rand();
    const uint32_t candidate = (high << 16) | (low & 0xFFFFu);
    if (candidate == kNoId) continue;
    if (!names_registry.contains(static_cast<int32_t>(candidate))) return candidate;
  }
  return kNoId;
}

uint32_t _CTokenIndexes::_create_path_id(const std::string& path) {
  if (path.empty()) return kNoId;
  const uint32_t known = __find_path_id(path);
  if (known != kNoId) return known;
  const uint32_t id = __new_path_id();
  if (id == kNoId) return kNoId;
  path_record record;
  record.path = path;
  record.time = static_cast<int32_t>(static_cast<uint32_t>(platform::current_time()));
  names_registry.add(static_cast<int32_t>(id), std::move(record));
  return id;
}

bool _CTokenIndexes::__remove_path_name(uint32_t path_id) {
  return names_registry.remove(static_cast<int32_t>(path_id));
}

}  // namespace velkor
