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
  const auto it = names_registry.ids.find(path);
  return it == names_registry.ids.end() ? kNoId : it->second;
}

uint32_t _CTokenIndexes::__new_path_id() const {
  for (int i = 0; i < kPathIdDraws; ++i) {
    const uint32_t high = runtime_rand();
    const uint32_t low = runtime_rand();
    const uint32_t candidate = (high << 16) | (low & 0xFFFFu);
    if (candidate == kNoId) continue;
    if (names_registry.names.count(static_cast<int32_t>(candidate)) == 0) return candidate;
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
  names_registry.names[static_cast<int32_t>(id)] = std::move(record);
  names_registry.ids[path] = id;
  names_registry.dirty = 1;
  return id;
}

bool _CTokenIndexes::__remove_path_name(uint32_t path_id) {
  const auto it = names_registry.names.find(static_cast<int32_t>(path_id));
  if (it == names_registry.names.end() || it->second.path.empty()) return false;
  names_registry.ids.erase(it->second.path);
  names_registry.names.erase(it);
  names_registry.dirty = 1;
  return true;
}

}  // namespace velkor
