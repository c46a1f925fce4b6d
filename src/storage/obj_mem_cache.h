// Keeps loaded objects in memory. The index changes cached copies in place
// and marks them modified; modified objects are written back to their chains
// only when the cache is trimmed (oldest first) or flushed at save.
//
// The recency order: an id is appended when its object is cached and moved
// to the newest end only when the object is marked modified; lookups do not
// move it. It is kept as a linked list with an index from id to node, so
// that touching, dropping and re-caching cost no search.
#ifndef VELKOR_STORAGE_OBJ_MEM_CACHE_H_
#define VELKOR_STORAGE_OBJ_MEM_CACHE_H_

#include <cstdint>
#include <list>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "storage/object_storage.h"
#include "storage/storage_errors.h"

namespace velkor {

// REQUIRES: Entry has `key_type`, save(_stream&) const, load(_stream&) and
// static load_key(_stream&, key_type&); Filter has bool operator()(const
// Entry&) const and bool operator()(const key_type&) const.
template <class Entry>
class _CObjMemCache {
 public:
  using key_type = typename Entry::key_type;

  explicit _CObjMemCache(_CObjectStorage* storage = nullptr) : storage(storage) {}
  _CObjMemCache(const _CObjMemCache&) = delete;
  _CObjMemCache& operator=(const _CObjMemCache&) = delete;

  void set_storage(_CObjectStorage* s) { storage = s; }

  // The cached (or freshly loaded) entry `id` if `filter` accepts it.
  template <class Filter>
  Entry* _get_object(uint32_t id, const Filter& filter) {
    const auto hit = entries.find(id);
    if (hit != entries.end()) return filter(hit->second) ? &hit->second : nullptr;
    key_type key{};
    if (!storage->template _load_object_partial<Entry>(id, key)) return nullptr;
    if (!filter(key)) return nullptr;
    return __load_object(id);
  }

  // Caches a copy of `object`; an id already cached keeps its entry (a new
  // object under a cached id is a fault).
  void __cache_object(uint32_t id, Entry object, bool is_new) {
    if (entries.count(id) != 0) {
      if (is_new) throw storage_errors::cache_entry_exists();
      return;
    }
    if (!entries.emplace(id, std::move(object)).second) throw storage_errors::cache_insert_failure();
    unlink(id);
    append(id);
  }

  uint32_t _save_new_object(const Entry& object) {
    const uint32_t id = storage->_save_new_object(object);
    if (id == kNoSlot) throw storage_errors::cache_alloc_failure();
    __cache_object(id, object, true);
    return id;
  }

  Entry* __load_object(uint32_t id) {
    Entry object;
    if (!storage->_load_object_entire(id, object)) return nullptr;
    __cache_object(id, std::move(object), false);
    const auto it = entries.find(id);
    return it == entries.end() ? nullptr : &it->second;
  }

  void _touch_object(uint32_t id) {
    if (unlink(id)) append(id);
  }

  void _mark_modified(uint32_t id) {
    dirty_set.insert(id);
    _touch_object(id);
  }

  bool _drop_object(uint32_t id) {
    const bool held = entries.erase(id) != 0;
    unlink(id);
    dirty_set.erase(id);
    return held;
  }

  // Writes back and drops the oldest entries until at most `keep` remain.
  // On a failed write-back the entries before it stay written and dropped,
  // the failing one and those behind it stay cached, the list unshortened.
  int32_t _flush_cache(uint32_t keep) {
    const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(recency_list.size()) - keep);
    if (n <= 0) return n;
    auto it = recency_list.begin();
    for (int32_t i = 0; i < n && it != recency_list.end(); ++i, ++it) {
      const uint32_t id = *it;
      if (dirty_set.count(id) != 0) {
        const auto entry = entries.find(id);
        if (entry != entries.end()) storage->_save_object_at(id, entry->second);
        dirty_set.erase(id);
      }
      entries.erase(id);
    }
    for (auto drop = recency_list.begin(); drop != it;) {
      positions.erase(*drop);
      drop = recency_list.erase(drop);
    }
    if (recency_list.empty()) _clear_cache();
    return n;
  }

  void _clear_cache() {
    std::unordered_map<uint32_t, Entry>().swap(entries);
    recency_list.clear();
    std::unordered_map<uint32_t, std::list<uint32_t>::iterator>().swap(positions);
    std::unordered_set<uint32_t>().swap(dirty_set);
  }

  int32_t modified_count() const { return static_cast<int32_t>(dirty_set.size()); }
  int32_t cached_count() const { return static_cast<int32_t>(recency_list.size()); }
  bool holds(uint32_t id) const { return entries.count(id) != 0; }
  bool is_modified(uint32_t id) const { return dirty_set.count(id) != 0; }
  // Ids oldest first.
  const std::list<uint32_t>& recency() const { return recency_list; }

 private:
  // Removes `id` from the recency list; true when it was there.
  bool unlink(uint32_t id) {
    const auto at = positions.find(id);
    if (at == positions.end()) return false;
    recency_list.erase(at->second);
    positions.erase(at);
    return true;
  }
  void append(uint32_t id) { positions[id] = recency_list.insert(recency_list.end(), id); }

  _CObjectStorage* storage;
  std::unordered_map<uint32_t, Entry> entries;
  std::list<uint32_t> recency_list;
  std::unordered_map<uint32_t, std::list<uint32_t>::iterator> positions;
  std::unordered_set<uint32_t> dirty_set;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_OBJ_MEM_CACHE_H_
