// The path-name registry: the paths the host registered, each under a path
// id with its creation time. `names` (id to path and time, ascending signed
// id) and `ids` (path to id) as the index sees them.
//
// The records a file holds stay as its section lies (the scrambled bytes
// and a small index of them): a session that never asks for a path does not
// decode them, and a lookup by path compares lengths before it unscrambles
// anything. Records registered since, and records removed, are kept beside
// them. A section out of order (a damaged file: ids not strictly ascending,
// or a path holding a zero byte, which reads back cut at it) is decoded at
// once into the records beside, by the rules a load follows.
#ifndef VELKOR_INDEX_PATH_REGISTRY_H_
#define VELKOR_INDEX_PATH_REGISTRY_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "stream/stream.h"

namespace velkor {

class path_registry {
 public:
  struct record {
    std::string path;
    int32_t time = 0;
  };

  // 1 after any change; 0 when loaded and when saved.
  uint8_t dirty = 0;

  // Reads the section at the stream's position: the count, then the
  // records, each as the string form demands (its errors included).
  void load(_stream& from);
  // Writes the section; every path gets a new scrambling key, in ascending
  // id order.
  void save(_stream& to);
  void clear();

  size_t size() const { return base_.size() - removed_count_ + added_.size(); }
  // The id registered for exactly these bytes, or 0xFFFFFFFF.
  uint32_t find_id(const std::string& path) const;
  bool contains(int32_t id) const;
  // The record of `id` into `out`; false when there is none.
  bool find(int32_t id, record* out) const;
  // The registered id after `id` (from the first with `from_start`), and its
  // record; false when there is none.
  bool next(int32_t id, bool from_start, int32_t* next_id, record* out) const;
  // names[id] := r, ids[r.path] := id. REQUIRES: `id` is not registered.
  void add(int32_t id, record r);
  // Forgets the record of `id` and the id of its path; false (nothing
  // changes) when there is none or its path is empty.
  bool remove(int32_t id);
  // The bytes save() will write, about.
  size_t saved_size() const;

 private:
  struct held {
    int32_t id;
    uint32_t at;  // of the scrambled bytes in raw_
    uint32_t length;
    uint8_t key;
    int32_t time;
  };

  // Loads the section from bytes that lie in memory, `size` of them up to
  // the end of the stream; `used` tells how many it took. False when they
  // run short or hold a string too long: the field-by-field load then
  // raises what it would.
  bool load_lying(const uint8_t* bytes, int64_t size, int64_t* used);
  // Whether record `h`, its scrambled path at `path`, after `records`
  // breaks the order a section held as it lies keeps.
  static bool breaks_order(const std::vector<held>& records, const held& h, const uint8_t* path);
  size_t lower_bound(int32_t id) const;
  std::string path_of(const held& h) const;
  bool is_removed(size_t i) const { return removed_count_ != 0 && removed_[i]; }
  // Decodes the held records into the records beside: for a section out of
  // order, whose rules only the maps keep.
  void decode_all(const std::vector<held>& records);

  std::vector<uint8_t> raw_;
  std::vector<held> base_;
  static constexpr uint32_t kScansBeforeIndex = 8;
  // (hash of the path, place in base_), ascending; made by find_id once it
  // has scanned kScansBeforeIndex times.
  mutable std::vector<std::pair<uint64_t, uint32_t>> by_hash_;
  mutable uint32_t scans_ = 0;
  std::vector<bool> removed_;
  size_t removed_count_ = 0;
  // Paths whose id a removal forgot while a held record still names them.
  std::set<std::string> forgotten_;
  std::map<int32_t, record> added_;
  std::map<std::string, uint32_t> added_ids_;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_PATH_REGISTRY_H_
