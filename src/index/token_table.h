// The token table: pairs (token hash, token entry id), several of which may
// share one hash. The pairs of one hash are visited in the order in which
// they were added; the table is saved in ascending hash order with equal
// hashes in that same order.
//
// Open addressing with linear probing over (hash, id) pairs: pairs of one
// hash share their home slot, and a new pair takes the first free slot of
// the probe run, behind every pair of its hash already there. Backward-shift
// deletion and a rebuild that starts at a free slot both keep that order.
#ifndef VELKOR_INDEX_TOKEN_TABLE_H_
#define VELKOR_INDEX_TOKEN_TABLE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "common/fibonacci_hash.h"
#include "common/prefetch.h"

namespace velkor {

class token_hash_table {
 public:
  using pair = std::pair<uint32_t, uint32_t>;  // (hash, entry id)

  size_t size() const { return count; }
  bool empty() const { return count == 0; }

  void clear() {
    std::vector<cell>().swap(cells);
    count = 0;
    bits = 0;
  }

  // Room for `n` pairs without growing on the way.
  void reserve(size_t n) {
    uint32_t wanted = std::max<uint32_t>(bits, 3);
    while (4 * n > 3 * (size_t{1} << wanted)) ++wanted;
    if (wanted > bits) rebuild(wanted);
  }

  // Adds (hash, id) behind the pairs of equal hash.
  void insert(uint32_t hash, uint32_t id) {
    if (4 * (count + 1) > 3 * cells.size()) rebuild(cells.empty() ? 8 : bits + 1);
    place(hash, id);
    ++count;
  }

  // Calls visit(id) for the pairs of `hash` in their order until it returns
  // true; returns that id, or `none` when no call returned true.
  template <class Visit>
  uint32_t find_if(uint32_t hash, uint32_t none, Visit&& visit) const {
    if (cells.empty()) return none;
    const size_t mask = cells.size() - 1;
    for (size_t i = home_of(hash); cells[i].used; i = (i + 1) & mask) {
      if (cells[i].hash == hash && visit(cells[i].id)) return cells[i].id;
    }
    return none;
  }

  // Hints that the pairs of `hash` are wanted soon.
  void prefetch(uint32_t hash) const {
    if (!cells.empty()) prefetch_line(&cells[home_of(hash)]);
  }

  // The id of the first pair of `hash`, or `none`.
  uint32_t first(uint32_t hash, uint32_t none) const {
    return find_if(hash, none, [](uint32_t) { return true; });
  }

  // Removes the first pair (hash, id); false when there is none.
  bool erase(uint32_t hash, uint32_t id) {
    if (cells.empty()) return false;
    const size_t mask = cells.size() - 1;
    size_t hole = home_of(hash);
    while (cells[hole].used && (cells[hole].hash != hash || cells[hole].id != id)) {
      hole = (hole + 1) & mask;
    }
    if (!cells[hole].used) return false;
    for (size_t j = (hole + 1) & mask; cells[j].used; j = (j + 1) & mask) {
      const size_t home = home_of(cells[j].hash);
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        cells[hole] = cells[j];
        hole = j;
      }
    }
    cells[hole] = cell();
    --count;
    return true;
  }

  // Every pair in saving order: ascending hash, equal hashes in their order.
  std::vector<pair> sorted() const {
    std::vector<pair> pairs;
    pairs.reserve(count);
    walk(cells, [&pairs](const cell& c) { pairs.emplace_back(c.hash, c.id); });
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const pair& a, const pair& b) { return a.first < b.first; });
    return pairs;
  }

  // The same pairs as an ordered multimap, for tests and tools.
  std::multimap<uint32_t, uint32_t> as_multimap() const {
    std::multimap<uint32_t, uint32_t> map;
    for (const pair& p : sorted()) map.emplace_hint(map.end(), p.first, p.second);
    return map;
  }

 private:
  struct cell {
    uint32_t hash = 0;
    uint32_t id = 0;
    bool used = false;
  };

  // The token hash keeps little of the early bytes in its low bits: mix it
  // before taking the top bits.
  size_t home_of(uint32_t hash) const { return fibonacci_slot(hash, bits); }

  void place(uint32_t hash, uint32_t id) {
    const size_t mask = cells.size() - 1;
    size_t i = home_of(hash);
    while (cells[i].used) i = (i + 1) & mask;
    cells[i] = cell{hash, id, true};
  }

  // Visits the used cells run by run, each run from its start, so that the
  // pairs of one hash come in their order.
  // A table is never full, so there is a free cell to start at.
  template <class Visit>
  static void walk(const std::vector<cell>& table, Visit&& visit) {
    if (table.empty()) return;
    const size_t mask = table.size() - 1;
    size_t start = 0;
    while (table[start].used) ++start;
    for (size_t k = 1; k <= table.size(); ++k) {
      const cell& c = table[(start + k) & mask];
      if (c.used) visit(c);
    }
  }

  void rebuild(uint32_t new_bits) {
    std::vector<cell> old(size_t{1} << new_bits);
    old.swap(cells);
    bits = new_bits;
    walk(old, [this](const cell& c) { place(c.hash, c.id); });
  }

  std::vector<cell> cells;
  size_t count = 0;
  uint32_t bits = 0;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_TOKEN_TABLE_H_
