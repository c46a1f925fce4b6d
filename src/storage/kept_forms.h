// Stored forms that the caches' trims wrote back, kept whole in memory by
// object id, least recently used first out. An entry pushed out of a small
// cache is usually asked for again soon; its stored form lies across many
// short slots scattered over the file, and gathering or scattering them is
// one cache miss per slot. A kept form is read back in one piece, and its
// slot bytes are written once, when the form leaves (see _CObjectStorage).
#ifndef VELKOR_STORAGE_KEPT_FORMS_H_
#define VELKOR_STORAGE_KEPT_FORMS_H_

#include <algorithm>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

namespace velkor {

class kept_forms {
 public:
  // The bytes kept at most, counted by their room.
  static constexpr size_t kMaxBytes = size_t{16} << 20;

  struct form {
    std::vector<uint8_t> bytes;
    // The slots do not hold these bytes yet.
    bool unwritten = false;
    std::list<uint32_t>::iterator place;
  };

  explicit kept_forms(size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

  bool empty() const { return forms_.empty(); }

  // The form of `id`, now the most recently used, or null.
  form* find(uint32_t id) {
    const auto it = forms_.find(id);
    if (it == forms_.end()) return nullptr;
    order_.splice(order_.end(), order_, it->second.place);
    return &it->second;
  }

  // The form of `id` without counting it as a use, or null.
  form* peek(uint32_t id) {
    const auto it = forms_.find(id);
    return it == forms_.end() ? nullptr : &it->second;
  }

  // Keeps `bytes` (taken over) as the form of `id`, replacing any before.
  void put(uint32_t id, std::vector<uint8_t>&& bytes, bool unwritten) {
    const auto added = forms_.try_emplace(id);
    form& f = added.first->second;
    if (added.second) {
      f.place = order_.insert(order_.end(), id);
    } else {
      order_.splice(order_.end(), order_, f.place);
      bytes_ -= f.bytes.capacity();
    }
    f.bytes.swap(bytes);
    f.unwritten = unwritten;
    bytes_ += f.bytes.capacity();
  }

  void erase(uint32_t id) {
    const auto it = forms_.find(id);
    if (it == forms_.end()) return;
    bytes_ -= it->second.bytes.capacity();
    order_.erase(it->second.place);
    forms_.erase(it);
  }

  size_t bytes() const { return bytes_; }
  size_t bound() const { return max_bytes_; }
  void set_bound(size_t max_bytes) { max_bytes_ = max_bytes; }
  // The least recently used id, or 0xFFFFFFFF when none is kept.
  uint32_t oldest() const { return order_.empty() ? 0xFFFFFFFFu : order_.front(); }

  // The ids whose slots do not hold their form yet, ascending (the order of
  // their slots in the file).
  std::vector<uint32_t> unwritten_ids() const {
    std::vector<uint32_t> ids;
    for (const auto& f : forms_) {
      if (f.second.unwritten) ids.push_back(f.first);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  void clear() {
    std::unordered_map<uint32_t, form>().swap(forms_);
    order_.clear();
    bytes_ = 0;
  }

 private:
  std::unordered_map<uint32_t, form> forms_;
  std::list<uint32_t> order_;
  size_t bytes_ = 0;
  size_t max_bytes_;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_KEPT_FORMS_H_
