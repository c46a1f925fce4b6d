// One open index file: the 512-byte header, the slot storage with its token
// and path caches, the token table, the path table and the path-name
// registry.
//
// File layout: header words 0..11 (u32 LE) and zero bytes up to 512; the slot
// region; then, written at each save, the slot table, token table, path
// table and path-name registry sections back to back, and the ending magic.
// Header words 4, 6, 8, 10 point at the sections, words 5, 7, 9, 11 behind
// them.
#ifndef VELKOR_INDEX_TOKEN_INDEXES_H_
#define VELKOR_INDEX_TOKEN_INDEXES_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "index/entries.h"
#include "index/path_registry.h"
#include "index/path_table.h"
#include "index/token_table.h"
#include "storage/obj_mem_cache.h"
#include "storage/object_storage.h"
#include "stream/fstream.h"
#include "stream/stream.h"

namespace velkor {

class _CTokenIndexes {
 public:
  static constexpr uint32_t kNoId = format::kNoId;
  static constexpr int32_t kMinCacheLimit = 64;

  struct _CPredTokenEntryFilter {
    // The filter only looks at `token`, which must outlive it.
    explicit _CPredTokenEntryFilter(std::string_view token) : token(token) {}
    bool operator()(const token_entry& entry) const { return (*this)(entry.token); }
    // An empty filter accepts every entry.
    bool operator()(const std::string& key) const { return token.empty() || key == token; }
    std::string_view token;
  };

  struct _CPredPathEntryFilter {
    explicit _CPredPathEntryFilter(uint32_t path_id) : path_id(path_id) {}
    bool operator()(const path_entry& entry) const { return (*this)(entry.path_id); }
    // The id 0xFFFFFFFF accepts every entry.
    bool operator()(const uint32_t& key) const { return path_id == kNoId || key == path_id; }
    uint32_t path_id;
  };

  using path_record = path_registry::record;

  using enum_callback = bool (*)(uint32_t path_id, const char* path, int32_t time, void* user);

  // Opens `path` (read, or read and write; never created, never shared) and
  // loads the index it holds. Raises on failure, with the file closed again.
  _CTokenIndexes(const std::string& path, bool read_only);
  _CTokenIndexes(const _CTokenIndexes&) = delete;
  _CTokenIndexes& operator=(const _CTokenIndexes&) = delete;
  // Releases everything without writing.
  virtual ~_CTokenIndexes();

  bool _save();

  // Indexing, query, discarding.
  uint32_t _insert_tokens(uint32_t path_id, const std::string& text, const std::string& delimiter);
  // The same lookup without the copy: the cached entry of the query token
  // and its id, or null. Valid until the next call that may trim or change
  // the cache.
  const token_entry* query_entry(std::string_view query, uint32_t* id);
  uint32_t _delete_path_id(int32_t path_id);

  // Registry.
  uint32_t _create_path_id(const std::string& path);

  // Lookups behind the exports.
  uint32_t _id_of(const std::string& path, bool create);
  // The record of a registered path id into `out`; false when there is
  // none.
  bool _record_of(uint32_t path_id, path_record* out) const;
  int32_t _count_of(uint32_t selector);
  int32_t _enum_paths(enum_callback callback, void* user_data);
  bool _get_modify() const;
  void _adjust_cache(int32_t token_limit, int32_t path_limit);

  // The longest token kept: the slot size less 2, at most 128.
  int32_t token_limit() const;

  // Read access for tests and tools.
  const uint32_t* header_words() const { return header; }
  // A snapshot of the token table, in its saving order.
  std::multimap<uint32_t, uint32_t> tokens() const { return token_table.as_multimap(); }
  const std::vector<path_pairs::value_type>& paths() const {
    hold_paths();
    return path_table.sorted();
  }
  const path_registry& registry() const { return names_registry; }
  _CObjectStorage* object_storage() { return storage.get(); }
  // Every entry's postings are in order once this returns.
  _CObjMemCache<token_entry>& token_entries() {
    settle_postings();
    return token_cache;
  }
  _CObjMemCache<path_entry>& path_entries() { return path_cache; }
  int32_t token_cache_limit() const { return token_limit_; }
  int32_t path_cache_limit() const { return path_limit_; }
  bool is_read_only() const { return read_only; }

 private:
  void _open(const std::string& path, bool read_only);
  bool _load();
  void _release();

  // A token of one text with its number of occurrences; the token points
  // into the text.
  struct token_count {
    std::string_view token;
    uint64_t prefix;  // orders tokens by their first bytes
    uint32_t hash;
    uint16_t count;
  };
  // Fills `out` with the distinct tokens of `text`, in bytewise order.
  void __split_tokens(const std::string& text, const std::string& delimiter,
                      std::vector<token_count>& out);
  // `surely_new`: the caller knows that no entry has a posting of `path_id`,
  // so the posting may be appended out of order (see settle_postings).
  // `hash` is the token hash of `token`.
  uint32_t __insert_token(std::string_view token, uint32_t hash, int32_t path_id, uint16_t count,
                          bool surely_new);
  uint32_t __insert_path_id(int32_t path_id, const std::vector<uint32_t>& token_ids);
  // Writes back and drops the oldest entries of each cache until at most
  // the given numbers remain.
  void trim_caches(uint32_t token_keep, uint32_t path_keep);
  void __erase_path_id(int32_t path_id);
  void __erase_token_id(const std::string& token, uint32_t token_id);
  // The entry id of `token` (already cut to the limit), or kNoId; the entry
  // itself through `entry`.
  uint32_t find_token(std::string_view token, uint32_t hash, token_entry** entry);
  // Puts in order the postings appended out of order, of every entry or of
  // one; readers and write-backs call them first.
  void settle_postings();
  // `sorted`: postings known to be in order from the first on.
  void settle_postings(uint32_t token_id, size_t sorted = 0);
  // The entry id of a query token and the entry, its postings in order.
  uint32_t find_query(std::string_view query, token_entry** entry);

  uint32_t __find_path_id(const std::string& path) const;
  uint32_t __new_path_id() const;
  bool __remove_path_name(uint32_t path_id);

  void _load_token_table(_stream& from);
  // Checks the section as a load reads it and leaves the pairs in the file.
  void _map_token_table(_stream& from);
  void _save_token_table(_stream& to);
  void _load_path_table(_stream& from);
  // Checks the section as a load reads it and leaves the pairs in the file,
  // until hold_paths() needs them.
  void _map_path_table(_stream& from);
  void hold_paths() const;
  void _save_path_table(_stream& to) const;

  uint32_t header[format::kHeaderWords];
  std::unique_ptr<_CObjectStorage> storage;
  std::unique_ptr<_fstream> stream;
  bool read_only;
  token_hash_table token_table;
  // An index opened for reading holds its path table only once something
  // asks for it (few sessions do); until then paths_at_ is where it lies.
  mutable path_pairs path_table;
  mutable int64_t paths_at_ = -1;
  _CObjMemCache<token_entry> token_cache;
  _CObjMemCache<path_entry> path_cache;
  int32_t token_limit_ = kMinCacheLimit;
  int32_t path_limit_ = kMinCacheLimit;
  path_registry names_registry;
  // A save began and has not completed: its changes are not in the file.
  bool save_incomplete_ = false;

  // Appending postings out of order. While every token entry was created in
  // this session, a path id never indexed in it has no posting anywhere:
  // its postings are appended, and the entries so left out of order carry
  // the token cache's mark and are listed in `unsorted_entries`, with the
  // length of the part of their postings that was in order when marked.
  enum class append_mode : uint8_t { undecided, allowed, refused };
  append_mode appending = append_mode::undecided;
  std::unordered_set<uint32_t> indexed_path_ids;
  struct unsorted_entry {
    uint32_t id;
    uint32_t sorted;
  };
  std::vector<unsorted_entry> unsorted_entries;
  // Scratch of _insert_tokens, kept to spare allocations.
  std::vector<token_count> counts_scratch;
  std::vector<uint32_t> ids_scratch;
  std::vector<uint32_t> ahead_scratch;
  std::vector<uint32_t> seen_scratch;
  struct sort_key {
    uint64_t prefix;
    uint32_t index;
  };
  std::vector<sort_key> keys_scratch;
  std::vector<sort_key> keys_sort_scratch;
  std::vector<token_count> sorted_scratch;
  std::vector<posting> postings_scratch;
  std::vector<posting> postings_sort_scratch;
  std::vector<uint32_t> ids_sort_scratch;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_TOKEN_INDEXES_H_
