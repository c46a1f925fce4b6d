// The path table: path id (ascending signed order) to path entry id, one
// pair per path id.
//
// The pairs the file held stay as one array sorted by path id, as the
// section lies: opening copies it, a lookup searches it, a save writes it.
// A pair added behind the last one is appended; others go into a small
// ordered map until it grows past an eighth of the array, when the two are
// merged; erased pairs of the array are marked. So a session that touches
// a few paths pays neither a node per path at open and close nor a copy of
// the array per pair it adds.
#ifndef VELKOR_INDEX_PATH_TABLE_H_
#define VELKOR_INDEX_PATH_TABLE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace velkor {

class path_pairs {
 public:
  using value_type = std::pair<int32_t, uint32_t>;

  size_t size() const { return base_.size() - erased_count_ + added_.size(); }
  void clear() {
    std::vector<value_type>().swap(base_);
    std::vector<bool>().swap(erased_);
    erased_count_ = 0;
    added_.clear();
  }

  // The entry id of `id`, or null.
  uint32_t* find(int32_t id) {
    const size_t at = lower(id);
    if (at < base_.size() && base_[at].first == id && !is_erased(at)) return &base_[at].second;
    const auto added = added_.find(id);
    return added == added_.end() ? nullptr : &added->second;
  }
  // Gives `id` the entry id `entry`.
  void set(int32_t id, uint32_t entry) {
    if (uint32_t* held = find(id)) {
      *held = entry;
      return;
    }
    const size_t at = lower(id);
    if (at < base_.size() && base_[at].first == id) {
      // An erased pair of the array comes back.
      erased_[at] = false;
      --erased_count_;
      base_[at].second = entry;
    } else if (at == base_.size()) {
      base_.emplace_back(id, entry);
      if (!erased_.empty()) erased_.push_back(false);
    } else {
      added_.emplace(id, entry);
      if (added_.size() > 64 + base_.size() / 8) merge();
    }
  }
  // Adds the pair unless `id` has one (a section that lists an id twice
  // keeps its first pair).
  void add_first(int32_t id, uint32_t entry) {
    if (added_.empty() && erased_count_ == 0 && (base_.empty() || base_.back().first < id)) {
      base_.emplace_back(id, entry);
    } else if (find(id) == nullptr) {
      set(id, entry);
    }
  }
  // Removes the pair of `id`; false when there is none.
  bool erase(int32_t id) {
    if (added_.erase(id) != 0) return true;
    const size_t at = lower(id);
    if (at == base_.size() || base_[at].first != id || is_erased(at)) return false;
    if (erased_.empty()) erased_.resize(base_.size(), false);
    erased_[at] = true;
    ++erased_count_;
    return true;
  }

  // Every pair, by ascending signed path id.
  const std::vector<value_type>& sorted() {
    merge();
    return base_;
  }

 private:
  size_t lower(int32_t id) const {
    return static_cast<size_t>(
        std::lower_bound(base_.begin(), base_.end(), id,
                         [](const value_type& p, int32_t v) { return p.first < v; }) -
        base_.begin());
  }
  bool is_erased(size_t at) const { return erased_count_ != 0 && erased_[at]; }

  void merge() {
    if (added_.empty() && erased_count_ == 0) return;
    std::vector<value_type> merged;
    merged.reserve(size());
    auto added = added_.begin();
    for (size_t at = 0; at < base_.size(); ++at) {
      for (; added != added_.end() && added->first < base_[at].first; ++added) {
        merged.push_back(*added);
      }
      if (!is_erased(at)) merged.push_back(base_[at]);
    }
    merged.insert(merged.end(), added, added_.end());
    base_.swap(merged);
    std::vector<bool>().swap(erased_);
    erased_count_ = 0;
    added_.clear();
  }

  std::vector<value_type> base_;
  std::vector<bool> erased_;
  size_t erased_count_ = 0;
  std::map<int32_t, uint32_t> added_;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_PATH_TABLE_H_
