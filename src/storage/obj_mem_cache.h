// Keeps loaded objects in memory. The index changes cached copies in place
// and marks them modified; modified objects are written back to their chains
// only when the cache is trimmed (oldest first) or flushed at save.
//
// The recency order: an id is appended when its object is cached and moved
// to the newest end only when the object is marked modified; lookups do not
// move it.
//
// Everything the cache knows about one id (the entry, whether it is held,
// listed in the recency order or modified, and its neighbours in that order)
// lives in one node, so each access costs one lookup. Nodes sit in
// fixed-size blocks that never move, which keeps handed-out entry pointers
// valid and spares a heap block per entry; an open-addressing table maps ids
// to nodes. The three facts are kept apart because a write-back that fails
// half way leaves ids that are listed but no longer held, and an id can be
// marked modified while it is not cached.
#ifndef VELKOR_STORAGE_OBJ_MEM_CACHE_H_
#define VELKOR_STORAGE_OBJ_MEM_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "common/fibonacci_hash.h"
#include "common/prefetch.h"
#include "storage/object_storage.h"
#include "storage/storage_errors.h"

namespace velkor {

// REQUIRES: Entry has `key_type`, save(_stream&) const, load(_stream&) and
// static load_key(_stream&, key_type&); Filter has bool operator()(const
// Entry&) const and bool operator()(const key_type&) const.
template <class Entry>
class _CObjMemCache {
  static constexpr uint32_t kNil = 0xFFFFFFFFu;

  struct node {
    Entry entry;
    uint32_t id = 0;
    uint32_t older = kNil;  // neighbours in the recency order
    uint32_t newer = kNil;
    bool held = false;
    bool listed = false;
    bool dirty = false;
    bool marked = false;  // the owner's mark, see mark()
  };

  // The id beside the node index lets a probe pass other ids without
  // touching their nodes.
  struct slot {
    uint32_t id;
    uint32_t at;  // kNil where the slot is empty
  };

 public:
  using key_type = typename Entry::key_type;

  // Walks the recency order, oldest first.
  class recency_view {
   public:
    class iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = uint32_t;
      using difference_type = std::ptrdiff_t;
      using pointer = const uint32_t*;
      using reference = const uint32_t&;

      iterator(const _CObjMemCache* cache, uint32_t at) : cache(cache), at(at) {}
      reference operator*() const { return cache->node_at(at).id; }
      iterator& operator++() {
        at = cache->node_at(at).newer;
        return *this;
      }
      iterator operator++(int) {
        iterator before = *this;
        ++*this;
        return before;
      }
      bool operator==(const iterator& other) const { return at == other.at; }
      bool operator!=(const iterator& other) const { return at != other.at; }

     private:
      const _CObjMemCache* cache;
      uint32_t at;
    };

    explicit recency_view(const _CObjMemCache* cache) : cache(cache) {}
    iterator begin() const { return iterator(cache, cache->oldest); }
    iterator end() const { return iterator(cache, kNil); }
    bool empty() const { return cache->listed_count == 0; }
    size_t size() const { return cache->listed_count; }
    uint32_t front() const { return cache->node_at(cache->oldest).id; }
    uint32_t back() const { return cache->node_at(cache->newest).id; }

   private:
    const _CObjMemCache* cache;
  };

  explicit _CObjMemCache(_CObjectStorage* storage = nullptr) : storage(storage) {}
  _CObjMemCache(const _CObjMemCache&) = delete;
  _CObjMemCache& operator=(const _CObjMemCache&) = delete;

  void set_storage(_CObjectStorage* s) { storage = s; }

  // The cached (or freshly loaded) entry `id` if `filter` accepts it.
  template <class Filter>
  Entry* _get_object(uint32_t id, const Filter& filter) {
    const uint32_t at = find(id);
    if (at != kNil && node_at(at).held) {
      Entry& entry = node_at(at).entry;
      return filter(entry) ? &entry : nullptr;
    }
    key_type key{};
    _CObjectStorage::first_bytes first;
    if (!storage->template _load_object_partial<Entry>(id, key, &first)) return nullptr;
    if (!filter(key)) return nullptr;
    return __load_object(id, &first);
  }

  // Takes `object` by value so that a caller done with it can move it in.
  uint32_t _save_new_object(Entry object) {
    const uint32_t id = storage->_save_new_object(object);
    if (id == kNoSlot) throw storage_errors::cache_alloc_failure();
    cache_node(id, std::move(object), true);
    return id;
  }

  Entry* __load_object(uint32_t id, const _CObjectStorage::first_bytes* first = nullptr) {
    Entry object;
    if (!storage->_load_object_entire(id, object, first)) return nullptr;
    return &node_at(cache_node(id, std::move(object), false)).entry;
  }

  void _mark_modified(uint32_t id) {
    uint32_t at = find(id);
    if (at == kNil) at = insert_node(id);
    node& n = node_at(at);
    if (!n.dirty) {
      n.dirty = true;
      ++dirty_count;
    }
    if (n.listed && n.newer != kNil) {
      unlink(at);
      append(at);
    }
  }

  bool _drop_object(uint32_t id) {
    const uint32_t at = find(id);
    if (at == kNil) return false;
    const bool held = node_at(at).held;
    if (node_at(at).listed) unlink(at);
    if (node_at(at).dirty) --dirty_count;
    release_node(at);
    return held;
  }

  // Writes back and drops the oldest entries until at most `keep` remain.
  // On a failed write-back the entries before it stay written and dropped,
  // the failing one and those behind it stay cached, the list unshortened.
  int32_t _flush_cache(uint32_t keep) {
    const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(listed_count) - keep);
    if (n <= 0) return n;
    uint32_t at = oldest;
    for (int32_t i = 0; i < n && at != kNil; ++i) {
      node& victim = node_at(at);
      if (victim.dirty) {
        if (victim.held) storage->_save_object_at(victim.id, victim.entry);
        victim.dirty = false;
        --dirty_count;
      }
      victim.held = false;
      victim.entry = Entry();
      at = victim.newer;
    }
    // Every write-back succeeded: take the n oldest out of the order.
    for (uint32_t drop = oldest; drop != at;) {
      const uint32_t next = node_at(drop).newer;
      unlink(drop);
      release_node(drop);
      drop = next;
    }
    if (listed_count == 0) _clear_cache();
    return n;
  }

  void _clear_cache() {
    std::vector<std::unique_ptr<node[]>>().swap(blocks);
    std::vector<uint32_t>().swap(free_nodes);
    std::vector<slot>().swap(table);
    node_count = 0;
    used = 0;
    oldest = newest = kNil;
    listed_count = 0;
    dirty_count = 0;
  }

  // Hints for a caller that knows which ids it will ask for: the table slot
  // of `id` first, then (once that slot is near) its node, then the entry
  // itself, which `peek` returns without any side effect when it is held.
  void prefetch_slot(uint32_t id) const {
    if (!table.empty()) prefetch_line(&table[home_of(id)]);
  }
  void prefetch_node(uint32_t id) const {
    const uint32_t at = find(id);
    if (at == kNil) return;
    const char* bytes = reinterpret_cast<const char*>(&node_at(at));
    prefetch_line(bytes);
    prefetch_line(bytes + sizeof(node) - 1);
  }
  const Entry* peek(uint32_t id) const {
    const uint32_t at = find(id);
    return at != kNil && node_at(at).held ? &node_at(at).entry : nullptr;
  }

  // A mark the owner may set on a held entry, for example to note that the
  // entry must be put in order before anyone else reads it. Dropping the
  // entry clears it.
  // True when the mark was not yet set.
  bool mark(uint32_t id) {
    const uint32_t at = find(id);
    if (at == kNil || node_at(at).marked) return false;
    node_at(at).marked = true;
    return true;
  }
  // Clears the mark of `id`; the entry when it was marked and is held.
  Entry* take_mark(uint32_t id) {
    const uint32_t at = find(id);
    if (at == kNil || !node_at(at).marked) return nullptr;
    node_at(at).marked = false;
    return node_at(at).held ? &node_at(at).entry : nullptr;
  }

  int32_t modified_count() const { return static_cast<int32_t>(dirty_count); }
  int32_t cached_count() const { return static_cast<int32_t>(listed_count); }
  recency_view recency() const { return recency_view(this); }

 private:
  static constexpr uint32_t kBlockBits = 10;
  static constexpr uint32_t kBlockSize = 1u << kBlockBits;

  node& node_at(uint32_t at) { return blocks[at >> kBlockBits][at & (kBlockSize - 1)]; }
  const node& node_at(uint32_t at) const { return blocks[at >> kBlockBits][at & (kBlockSize - 1)]; }

  // Entry ids are slot offsets, all multiples of the slot size: a
  // multiplicative hash spreads them over the table.
  size_t home_of(uint32_t id) const { return fibonacci_slot(id, table_bits); }

  uint32_t find(uint32_t id) const {
    if (table.empty()) return kNil;
    const size_t mask = table.size() - 1;
    for (size_t i = home_of(id);; i = (i + 1) & mask) {
      if (table[i].at == kNil || table[i].id == id) return table[i].at;
    }
  }

  // Returns the node of `id`, which must not be in the table.
  uint32_t insert_node(uint32_t id) {
    if (4 * (used + 1) > 3 * table.size()) grow_table();
    uint32_t at;
    if (!free_nodes.empty()) {
      at = free_nodes.back();
      free_nodes.pop_back();
    } else {
      if ((node_count & (kBlockSize - 1)) == 0) blocks.emplace_back(new node[kBlockSize]);
      at = node_count++;
    }
    node_at(at).id = id;
    place(slot{id, at});
    ++used;
    return at;
  }

  void place(slot s) {
    const size_t mask = table.size() - 1;
    size_t i = home_of(s.id);
    while (table[i].at != kNil) i = (i + 1) & mask;
    table[i] = s;
  }

  // Forgets node `at` (no longer listed) and frees its entry.
  void release_node(uint32_t at) {
    node& n = node_at(at);
    const uint32_t id = n.id;
    n = node();
    free_nodes.push_back(at);
    // Backward-shift deletion keeps every probe run unbroken.
    const size_t mask = table.size() - 1;
    size_t hole = home_of(id);
    while (table[hole].at != at) hole = (hole + 1) & mask;
    for (size_t j = (hole + 1) & mask; table[j].at != kNil; j = (j + 1) & mask) {
      const size_t home = home_of(table[j].id);
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        table[hole] = table[j];
        hole = j;
      }
    }
    table[hole].at = kNil;
    --used;
  }

  void grow_table() {
    std::vector<slot> old;
    old.swap(table);
    table_bits = old.empty() ? 6 : table_bits + 1;
    table.assign(size_t{1} << table_bits, slot{0, kNil});
    for (const slot& s : old) {
      if (s.at != kNil) place(s);
    }
  }

  uint32_t cache_node(uint32_t id, Entry&& object, bool is_new) {
    uint32_t at = find(id);
    if (at != kNil && node_at(at).held) {
      if (is_new) throw storage_errors::cache_entry_exists();
      return at;
    }
    if (at == kNil) at = insert_node(id);
    node& n = node_at(at);
    n.entry = std::move(object);
    n.held = true;
    if (n.listed) unlink(at);
    append(at);
    return at;
  }
  void unlink(uint32_t at) {
    node& n = node_at(at);
    (n.older != kNil ? node_at(n.older).newer : oldest) = n.newer;
    (n.newer != kNil ? node_at(n.newer).older : newest) = n.older;
    n.older = n.newer = kNil;
    n.listed = false;
    --listed_count;
  }

  void append(uint32_t at) {
    node& n = node_at(at);
    n.older = newest;
    n.newer = kNil;
    (newest != kNil ? node_at(newest).newer : oldest) = at;
    newest = at;
    n.listed = true;
    ++listed_count;
  }

  _CObjectStorage* storage;
  std::vector<std::unique_ptr<node[]>> blocks;
  uint32_t node_count = 0;  // nodes handed out of the blocks so far
  std::vector<uint32_t> free_nodes;
  std::vector<slot> table;
  uint32_t table_bits = 0;
  uint32_t used = 0;
  uint32_t oldest = kNil;
  uint32_t newest = kNil;
  uint32_t listed_count = 0;
  uint32_t dirty_count = 0;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_OBJ_MEM_CACHE_H_
