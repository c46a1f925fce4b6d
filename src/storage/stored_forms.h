// The stored forms of objects that the storage has written and not yet put
// into their slots, or has put there and may be asked for again: the one
// place where the engine keeps bytes it owes the file.
//
// An entry pushed out of a small cache is usually asked for again soon; its
// stored form lies across many short slots scattered over the file, and
// gathering or scattering them is one cache miss per slot. A kept form is
// read back in one piece, a rewrite replaces it in memory, and its bytes
// reach the slots when the forms pass their bound (all of them, in file
// order) or at the save. Each form knows its chain (the places of its slot
// records), so neither a rewrite that grows it nor the writing walks the
// chain again.
#ifndef VELKOR_STORAGE_STORED_FORMS_H_
#define VELKOR_STORAGE_STORED_FORMS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/fibonacci_hash.h"

namespace velkor {

class stored_forms {
 public:
  // The bytes kept at most, counted by their room and what each form costs
  // besides (its place in the table, the heap's headers).
  static constexpr size_t kMaxBytes = size_t{32} << 20;
  static constexpr size_t kFormOverhead = 96;

  struct form {
    // What the chain's slots hold from their first byte, or will once the
    // form is written: the stored form, and behind it what an earlier,
    // longer form left in the slots.
    std::vector<uint8_t> image;
    // The places of the chain's slot records, in chain order, and the
    // bytes the chain holds.
    std::vector<uint32_t> chain;
    int64_t room = 0;
    // Which kind of object the form is (see _CObjectStorage::kind_of).
    const void* kind = nullptr;
    uint64_t last_use = 0;
    uint32_t id = 0;
    // The slots do not hold the image yet.
    bool unwritten = false;
  };

  explicit stored_forms(size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

  bool empty() const { return count_ == 0; }
  size_t bytes() const { return bytes_; }
  size_t bound() const { return max_bytes_; }
  void set_bound(size_t max_bytes) { max_bytes_ = max_bytes; }
  bool over_bound() const { return bytes_ > max_bytes_; }

  // The form of `id`, now the most recently used, or null.
  form* find(uint32_t id) {
    form* f = peek(id);
    if (f != nullptr) f->last_use = ++clock_;
    return f;
  }

  // The form of `id` without counting it as a use, or null.
  form* peek(uint32_t id) {
    const uint32_t at = locate(id);
    return at == kNone ? nullptr : &form_at(at);
  }

  // The form of `id`, made if need be, as the most recently used. Its room
  // is counted again by recount() once the caller has changed it.
  form& get(uint32_t id) {
    uint32_t at = locate(id);
    if (at == kNone) {
      at = insert(id);
      bytes_ += kFormOverhead;
    } else {
      forget(form_at(at));
    }
    form& f = form_at(at);
    f.last_use = ++clock_;
    return f;
  }
  void recount(const form& f) { bytes_ += counted(f); }

  void erase(uint32_t id) {
    if (table_.empty()) return;
    const size_t mask = table_.size() - 1;
    size_t hole = home_of(id);
    while (table_[hole].at != kNone && table_[hole].id != id) hole = (hole + 1) & mask;
    if (table_[hole].at == kNone) return;
    const uint32_t at = table_[hole].at;
    forget(form_at(at));
    bytes_ -= kFormOverhead;
    form_at(at) = form();
    free_.push_back(at);
    --count_;
    // Backward-shift deletion keeps every probe run unbroken.
    for (size_t j = (hole + 1) & mask; table_[j].at != kNone; j = (j + 1) & mask) {
      const size_t home = home_of(table_[j].id);
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        table_[hole] = table_[j];
        hole = j;
      }
    }
    table_[hole].at = kNone;
  }

  // The ids whose slots do not hold their image yet.
  std::vector<uint32_t> unwritten_ids() const {
    std::vector<uint32_t> ids;
    for_each([&ids](const form& f) {
      if (f.unwritten) ids.push_back(f.id);
    });
    return ids;
  }

  // The written forms, least recently used first, to be let go of until at
  // most `bytes` are kept; the caller erases them.
  std::vector<uint32_t> oldest_until(size_t bytes) const {
    struct use {
      uint64_t last_use;
      uint32_t at;
    };
    std::vector<use> by_use;
    by_use.reserve(count_);
    for (const cell& c : table_) {
      if (c.at != kNone && !form_at(c.at).unwritten)
        by_use.push_back(use{form_at(c.at).last_use, c.at});
    }
    std::vector<uint32_t> going;
    if (bytes_ <= bytes) return going;
    // Only the oldest are put in order: a share of them, more if too few.
    auto older = [](const use& a, const use& b) { return a.last_use < b.last_use; };
    size_t sorted = 0;
    size_t left = bytes_;
    for (size_t want = by_use.size() / 8 + 1; left > bytes && going.size() < by_use.size();
         want *= 2) {
      const size_t upto = std::min(want, by_use.size());
      std::partial_sort(by_use.begin() + static_cast<std::ptrdiff_t>(sorted),
                        by_use.begin() + static_cast<std::ptrdiff_t>(upto), by_use.end(), older);
      for (; sorted < upto && left > bytes; ++sorted) {
        const form& f = form_at(by_use[sorted].at);
        left -= std::min(left, counted(f) + kFormOverhead);
        going.push_back(f.id);
      }
    }
    return going;
  }

  void clear() {
    std::vector<std::unique_ptr<form[]>>().swap(blocks_);
    std::vector<cell>().swap(table_);
    std::vector<uint32_t>().swap(free_);
    bits_ = 0;
    made_ = 0;
    count_ = 0;
    bytes_ = 0;
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr uint32_t kBlockBits = 10;

  struct cell {
    uint32_t id;
    uint32_t at;  // kNone where the cell is free
  };

  // Takes the form's bytes out of the counts, before they change or go.
  void forget(const form& f) { bytes_ -= counted(f); }

  static size_t counted(const form& f) {
    return f.image.capacity() + f.chain.capacity() * sizeof(uint32_t);
  }

  // Forms sit in fixed blocks that never move, so a form handed out stays
  // where it is while others come and go.
  form& form_at(uint32_t at) { return blocks_[at >> kBlockBits][at & ((1u << kBlockBits) - 1)]; }
  const form& form_at(uint32_t at) const {
    return blocks_[at >> kBlockBits][at & ((1u << kBlockBits) - 1)];
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const cell& c : table_) {
      if (c.at != kNone) visit(form_at(c.at));
    }
  }

  // Object ids are slot offsets: a multiplicative hash spreads them.
  size_t home_of(uint32_t id) const { return fibonacci_slot(id, bits_); }

  uint32_t locate(uint32_t id) const {
    if (table_.empty()) return kNone;
    const size_t mask = table_.size() - 1;
    for (size_t i = home_of(id);; i = (i + 1) & mask) {
      if (table_[i].at == kNone || table_[i].id == id) return table_[i].at;
    }
  }

  uint32_t insert(uint32_t id) {
    if (4 * (count_ + 1) > 3 * table_.size()) grow();
    uint32_t at;
    if (!free_.empty()) {
      at = free_.back();
      free_.pop_back();
    } else {
      if ((made_ & ((1u << kBlockBits) - 1)) == 0) {
        blocks_.emplace_back(new form[size_t{1} << kBlockBits]);
      }
      at = made_++;
    }
    form_at(at).id = id;
    const size_t mask = table_.size() - 1;
    size_t i = home_of(id);
    while (table_[i].at != kNone) i = (i + 1) & mask;
    table_[i] = cell{id, at};
    ++count_;
    return at;
  }

  void grow() {
    std::vector<cell> old(table_.empty() ? size_t{64} : table_.size() * 2, cell{0, kNone});
    old.swap(table_);
    bits_ = bits_ == 0 ? 6 : bits_ + 1;
    const size_t mask = table_.size() - 1;
    for (const cell& c : old) {
      if (c.at == kNone) continue;
      size_t i = home_of(c.id);
      while (table_[i].at != kNone) i = (i + 1) & mask;
      table_[i] = c;
    }
  }

  std::vector<std::unique_ptr<form[]>> blocks_;
  std::vector<cell> table_;
  std::vector<uint32_t> free_;
  uint32_t bits_ = 0;
  uint32_t made_ = 0;
  size_t count_ = 0;
  uint64_t clock_ = 0;
  size_t bytes_ = 0;
  size_t max_bytes_;
};

// The id of the kept form whose chain holds each slot record, or kNone. In
// pages of 1,024 records, made when a record of theirs is first claimed: a
// session that keeps a few forms in a table of 350,000 records touches a
// few pages instead of filling an owner for every record.
class record_owners {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFF;

  bool any() const { return !pages_.empty(); }
  uint32_t of(uint32_t record) const {
    const size_t page = record >> kShift;
    if (page >= pages_.size() || !pages_[page]) return kNone;
    return pages_[page][record & kMask];
  }
  void set(uint32_t record, uint32_t id) {
    const size_t page = record >> kShift;
    if (page >= pages_.size()) {
      if (id == kNone) return;
      pages_.resize(page + 1);
    }
    std::unique_ptr<uint32_t[]>& owners = pages_[page];
    if (!owners) {
      if (id == kNone) return;
      owners.reset(new uint32_t[kMask + 1]);
      std::fill(owners.get(), owners.get() + kMask + 1, kNone);
    }
    owners[record & kMask] = id;
  }
  void clear() { std::vector<std::unique_ptr<uint32_t[]>>().swap(pages_); }

 private:
  static constexpr unsigned kShift = 10;
  static constexpr uint32_t kMask = (uint32_t{1} << kShift) - 1;
  std::vector<std::unique_ptr<uint32_t[]>> pages_;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_STORED_FORMS_H_
