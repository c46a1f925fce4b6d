// The token table: pairs (token hash, token entry id), several of which may
// share one hash. The pairs of one hash are visited in the order in which
// they were added; the table is saved in ascending hash order with equal
// hashes in that same order.
//
// The pairs the file held when it was opened (or at the last save) stay as
// one array sorted by hash, as the section lies in the file: a lookup
// searches it, and opening costs one pass over it (a sort only when the
// section is out of order, which a saved file never is). Pairs added since
// go into a table keyed by hash that keeps each hash's pairs as a list, so
// that any number of pairs sharing a hash costs no more per pair than
// distinct hashes do. A save merges the two into the next sorted array.
#ifndef VELKOR_INDEX_TOKEN_TABLE_H_
#define VELKOR_INDEX_TOKEN_TABLE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "common/fibonacci_hash.h"
#include "common/file_format.h"
#include "common/prefetch.h"
#include "stream/stream.h"

namespace velkor {

class token_hash_table {
 public:
  using pair = std::pair<uint32_t, uint32_t>;  // (hash, entry id)

  size_t size() const {
    return (stream_ != nullptr ? mapped_count_ : base_.size()) - base_erased_ + added_count_;
  }
  bool empty() const { return size() == 0; }

  void clear() {
    stream_ = nullptr;
    std::vector<pair>().swap(base_);
    std::vector<bool>().swap(erased_);
    base_erased_ = 0;
    std::vector<cell>().swap(cells_);
    std::vector<node>().swap(nodes_);
    std::vector<uint32_t>().swap(free_nodes_);
    bits_ = 0;
    used_cells_ = 0;
    added_count_ = 0;
  }

  // Takes `pairs` in the order the section holds them as the table. Pairs
  // out of hash order are put in order, equal hashes keeping theirs.
  void assign(std::vector<pair>&& pairs) {
    clear();
    base_ = std::move(pairs);
    if (!std::is_sorted(base_.begin(), base_.end(), by_hash)) {
      std::stable_sort(base_.begin(), base_.end(), by_hash);
    }
  }

  // The pairs lie in the file at `at` on `stream`, `count` of them, sorted
  // by hash: lookups read them there until they are held, after lookups
  // have cost about what holding them would, or before anything changes or
  // lists them.
  void map(_stream* stream, int64_t at, size_t count) {
    clear();
    stream_ = stream;
    mapped_at_ = at;
    mapped_count_ = count;
    lookups_ = 0;
  }
  void hold() const {
    if (stream_ == nullptr) return;
    base_ = read_pairs(0, mapped_count_);
    stream_ = nullptr;
  }

  // Room for `n` added pairs without growing on the way.
  void reserve(size_t n) {
    hold();
    uint32_t wanted = std::max<uint32_t>(bits_, 3);
    while (4 * n > 3 * (size_t{1} << wanted)) ++wanted;
    if (wanted > bits_) rebuild(wanted);
    nodes_.reserve(n);
  }

  // Adds (hash, id) behind the pairs of equal hash.
  void insert(uint32_t hash, uint32_t id) {
    hold();
    if (4 * (used_cells_ + 1) > 3 * cells_.size()) rebuild(cells_.empty() ? 8 : bits_ + 1);
    uint32_t at;
    if (!free_nodes_.empty()) {
      at = free_nodes_.back();
      free_nodes_.pop_back();
      nodes_[at] = node{id, kNil};
    } else {
      at = static_cast<uint32_t>(nodes_.size());
      nodes_.push_back(node{id, kNil});
    }
    cell& c = cells_[probe(hash)];
    if (c.head == kNil) {
      c = cell{hash, at, at};
      ++used_cells_;
    } else {
      nodes_[c.tail].next = at;
      c.tail = at;
    }
    ++added_count_;
  }

  // Calls visit(id) for the pairs of `hash` in their order until it returns
  // true; returns that id, or `none` when no call returned true.
  template <class Visit>
  uint32_t find_if(uint32_t hash, uint32_t none, Visit&& visit) const {
    if (stream_ != nullptr && ++lookups_ > kMappedLookups) hold();
    if (stream_ != nullptr) return find_mapped(hash, none, visit);
    if (!base_.empty()) {
      for (size_t i = lower_bound(hash); i < base_.size() && base_[i].first == hash; ++i) {
        if (is_erased(i)) continue;
        if (visit(base_[i].second)) return base_[i].second;
      }
    }
    if (cells_.empty()) return none;
    const cell& c = cells_[probe(hash)];
    for (uint32_t at = c.head; at != kNil; at = nodes_[at].next) {
      if (visit(nodes_[at].id)) return nodes_[at].id;
    }
    return none;
  }

  // Hints that the pairs of `hash` are wanted soon.
  void prefetch(uint32_t hash) const {
    if (!cells_.empty()) prefetch_line(&cells_[fibonacci_slot(hash, bits_)]);
  }

  // The id of the first pair of `hash`, or `none`.
  uint32_t first(uint32_t hash, uint32_t none) const {
    return find_if(hash, none, [](uint32_t) { return true; });
  }

  // Removes the first pair (hash, id); false when there is none.
  bool erase(uint32_t hash, uint32_t id) {
    hold();
    for (size_t i = base_.empty() ? 0 : lower_bound(hash);
         i < base_.size() && base_[i].first == hash; ++i) {
      if (is_erased(i) || base_[i].second != id) continue;
      if (erased_.empty()) erased_.resize(base_.size(), false);
      erased_[i] = true;
      ++base_erased_;
      return true;
    }
    if (cells_.empty()) return false;
    const size_t home = probe(hash);
    cell& c = cells_[home];
    uint32_t before = kNil;
    for (uint32_t at = c.head; at != kNil; before = at, at = nodes_[at].next) {
      if (nodes_[at].id != id) continue;
      const uint32_t next = nodes_[at].next;
      (before == kNil ? c.head : nodes_[before].next) = next;
      if (c.tail == at) c.tail = before;
      free_nodes_.push_back(at);
      --added_count_;
      if (c.head == kNil) remove_cell(home);
      return true;
    }
    return false;
  }

  // Every pair in saving order: ascending hash, equal hashes in their order.
  std::vector<pair> sorted() const {
    hold();
    std::vector<const cell*> lists;
    lists.reserve(used_cells_);
    for (const cell& c : cells_) {
      if (c.head != kNil) lists.push_back(&c);
    }
    std::sort(lists.begin(), lists.end(),
              [](const cell* a, const cell* b) { return a->hash < b->hash; });
    std::vector<pair> pairs;
    pairs.reserve(size());
    size_t i = 0;
    auto base_through = [&](uint32_t hash) {
      for (; i < base_.size() && base_[i].first <= hash; ++i) {
        if (!is_erased(i)) pairs.push_back(base_[i]);
      }
    };
    for (const cell* c : lists) {
      // The pairs that were there first come first within a hash.
      base_through(c->hash);
      for (uint32_t at = c->head; at != kNil; at = nodes_[at].next) {
        pairs.emplace_back(c->hash, nodes_[at].id);
      }
    }
    base_through(0xFFFFFFFFu);
    return pairs;
  }

  // After a save wrote `pairs` (as sorted() gave them): they are the table.
  void rebase(std::vector<pair>&& pairs) {
    clear();
    base_ = std::move(pairs);
  }

  // The same pairs as an ordered multimap, for tests and tools.
  std::multimap<uint32_t, uint32_t> as_multimap() const {
    std::multimap<uint32_t, uint32_t> map;
    for (const pair& p : sorted()) map.emplace_hint(map.end(), p.first, p.second);
    return map;
  }

 private:
  static constexpr uint32_t kNil = 0xFFFFFFFFu;
  // A lookup in the file reads about a dozen pairs; holding reads them all.
  static constexpr size_t kMappedLookups = 64;

  std::vector<pair> read_pairs(size_t first, size_t count) const {
    std::vector<pair> pairs(count);
    if (count == 0) return pairs;
    std::vector<uint8_t> bytes(count * format::kTablePairBytes);
    stream_->seek(
        static_cast<int32_t>(mapped_at_ + static_cast<int64_t>(first) * format::kTablePairBytes),
        0);
    stream_->read(bytes.data(), static_cast<int32_t>(bytes.size()));
    for (size_t i = 0; i < count; ++i) {
      pairs[i] = {decode_u32(bytes.data() + 8 * i), decode_u32(bytes.data() + 8 * i + 4)};
    }
    return pairs;
  }

  template <class Visit>
  uint32_t find_mapped(uint32_t hash, uint32_t none, Visit& visit) const {
    // The first pair of the hash: probes one by one while the range is
    // wide, then the rest at once; then the pairs of the hash, in blocks.
    constexpr size_t kBlock = 512;
    size_t first = 0;
    size_t count = mapped_count_;
    while (count > kBlock) {
      const size_t half = count / 2;
      if (read_pairs(first + half, 1)[0].first < hash) {
        first += half + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    for (size_t at = first; at < mapped_count_;) {
      const std::vector<pair> block = read_pairs(at, std::min(kBlock, mapped_count_ - at));
      for (const pair& p : block) {
        if (p.first > hash) return none;
        if (p.first == hash && visit(p.second)) return p.second;
      }
      at += block.size();
    }
    return none;
  }

  struct cell {
    uint32_t hash = 0;
    uint32_t head = kNil;  // kNil: the cell is free
    uint32_t tail = kNil;
  };
  struct node {
    uint32_t id;
    uint32_t next;
  };

  static bool by_hash(const pair& a, const pair& b) { return a.first < b.first; }

  size_t lower_bound(uint32_t hash) const {
    return static_cast<size_t>(
        std::lower_bound(base_.begin(), base_.end(), pair(hash, 0), by_hash) - base_.begin());
  }
  bool is_erased(size_t i) const { return base_erased_ != 0 && erased_[i]; }

  // The cell of `hash`, or the free cell where it would go. The token hash
  // keeps little of the early bytes in its low bits: it is mixed first.
  size_t probe(uint32_t hash) const {
    const size_t mask = cells_.size() - 1;
    size_t i = fibonacci_slot(hash, bits_);
    while (cells_[i].head != kNil && cells_[i].hash != hash) i = (i + 1) & mask;
    return i;
  }

  // Backward-shift deletion keeps every probe run unbroken.
  void remove_cell(size_t hole) {
    const size_t mask = cells_.size() - 1;
    for (size_t j = (hole + 1) & mask; cells_[j].head != kNil; j = (j + 1) & mask) {
      const size_t home = fibonacci_slot(cells_[j].hash, bits_);
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        cells_[hole] = cells_[j];
        hole = j;
      }
    }
    cells_[hole] = cell();
    --used_cells_;
  }

  void rebuild(uint32_t new_bits) {
    std::vector<cell> old(size_t{1} << new_bits);
    old.swap(cells_);
    bits_ = new_bits;
    for (const cell& c : old) {
      if (c.head != kNil) cells_[probe(c.hash)] = c;
    }
  }

  // A mapped table: the stream and place of its pairs (null: held).
  mutable _stream* stream_ = nullptr;
  int64_t mapped_at_ = 0;
  size_t mapped_count_ = 0;
  mutable size_t lookups_ = 0;
  mutable std::vector<pair> base_;
  std::vector<bool> erased_;
  size_t base_erased_ = 0;
  std::vector<cell> cells_;
  std::vector<node> nodes_;
  std::vector<uint32_t> free_nodes_;
  uint32_t bits_ = 0;
  size_t used_cells_ = 0;
  size_t added_count_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_TOKEN_TABLE_H_
