// Lookups that answer from the registry, the tables and the counters.
#include <algorithm>

#include "index/index_errors.h"
#include "index/token_indexes.h"

namespace velkor {

uint32_t _CTokenIndexes::_id_of(const std::string& path, bool create) {
  if (path.empty()) return kNoId;
  const uint32_t id = __find_path_id(path);
  if (id != kNoId) return id;
  return create ? _create_path_id(path) : kNoId;
}

bool _CTokenIndexes::_record_of(uint32_t path_id, path_record* out) const {
  return names_registry.find(static_cast<int32_t>(path_id), out);
}

int32_t _CTokenIndexes::_count_of(uint32_t selector) {
  switch (selector) {
    case 0:
      return stream && storage ? stream->size() : -1;
    case 1:
      return storage ? static_cast<int32_t>(storage->slot_count()) : -1;
    case 2:
      return storage ? static_cast<int32_t>(storage->idle_slots.size()) : -1;
    case 3:
      return static_cast<int32_t>(token_table.size());
    case 4:
      hold_paths();
      return static_cast<int32_t>(path_table.size());
    case 5:
      return token_cache.cached_count();
    case 6:
      return token_cache.modified_count();
    case 7:
      return path_cache.cached_count();
    case 8:
      return path_cache.modified_count();
    case 9:
      return static_cast<int32_t>(names_registry.size());
    default:
      return -1;
  }
}

// The walk goes from each visited id to the next larger one that is still
// registered, so a callback may register or discard paths of this index:
// removed records are not visited, records added behind the current id are.
int32_t _CTokenIndexes::_enum_paths(enum_callback callback, void* user_data) {
  if (callback == nullptr) throw index_errors::null_callback();
  int32_t count = 0;
  int32_t id = 0;
  path_record record;
  // The callback may drop the record it is handed: it gets a copy.
  for (bool first = true; names_registry.next(id, first, &id, &record); first = false) {
    ++count;
    if (!callback(static_cast<uint32_t>(id), record.path.c_str(), record.time, user_data)) break;
  }
  return count;
}

bool _CTokenIndexes::_get_modify() const {
  if (!storage) return false;
  return save_incomplete_ || storage->modified || names_registry.dirty != 0 ||
         token_cache.modified_count() > 0 || path_cache.modified_count() > 0;
}

void _CTokenIndexes::_adjust_cache(int32_t token_limit, int32_t path_limit) {
  token_limit_ = std::max(token_limit, kMinCacheLimit);
  path_limit_ = std::max(path_limit, kMinCacheLimit);
}

}  // namespace velkor
