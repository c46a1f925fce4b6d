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
#include <unordered_map>
#include <utility>
#include <vector>

namespace velkor {

class kept_forms {
 public:
  // The bytes kept at most, counted by their room and what each form costs
  // besides (its place in the map, the heap's headers).
  static constexpr size_t kMaxBytes = size_t{16} << 20;
  static constexpr size_t kFormOverhead = 96;

  struct form {
    std::vector<uint8_t> bytes;
    // Which kind of object wrote the form (see _CObjectStorage::kind_of).
    const void* kind = nullptr;
    // The slots do not hold these bytes yet.
    bool unwritten = false;
    // The chain, as far as a rewrite that grows the form needs it: its
    // bytes of room, and its last slot (0 room: not known).
    int64_t room = 0;
    uint32_t last_slot = 0xFFFFFFFFu;
    int32_t last_size = 0;
    int32_t slot_count = 0;
    uint64_t last_use = 0;
  };

  explicit kept_forms(size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

  bool empty() const { return forms_.empty(); }

  // The form of `id`, now the most recently used, or null.
  form* find(uint32_t id) {
    form* f = peek(id);
    if (f != nullptr) f->last_use = ++clock_;
    return f;
  }

  // The form of `id` without counting it as a use, or null. A load asks
  // for its key and then for the whole entry, a rewrite looks before it
  // keeps: the last id asked for is answered without a search.
  form* peek(uint32_t id) {
    if (id == last_id_ && last_ != nullptr) return last_;
    const auto it = forms_.find(id);
    if (it == forms_.end()) return nullptr;
    last_id_ = id;
    last_ = &it->second;
    return last_;
  }

  // Keeps `bytes` (taken over) as the form of `id`, replacing any before.
  // The chain of a form already kept stays as it was.
  form& put(uint32_t id, std::vector<uint8_t>&& bytes, bool unwritten) {
    form* f = peek(id);
    if (f == nullptr) {
      f = &forms_[id];
      last_id_ = id;
      last_ = f;
      bytes_ += kFormOverhead;
    }
    bytes_ -= f->bytes.capacity();
    f->bytes.swap(bytes);
    f->unwritten = unwritten;
    f->last_use = ++clock_;
    bytes_ += f->bytes.capacity();
    return *f;
  }

  void erase(uint32_t id) {
    const auto it = forms_.find(id);
    if (it == forms_.end()) return;
    if (last_ == &it->second) last_ = nullptr;
    bytes_ -= it->second.bytes.capacity() + kFormOverhead;
    forms_.erase(it);
  }

  size_t bytes() const { return bytes_; }
  size_t bound() const { return max_bytes_; }
  void set_bound(size_t max_bytes) { max_bytes_ = max_bytes; }

  // Lets go of the least recently used forms until at most `bytes` are
  // kept.
  void drop_oldest_until(size_t bytes) {
    std::vector<std::pair<uint64_t, uint32_t>> by_use;
    by_use.reserve(forms_.size());
    for (const auto& f : forms_) by_use.emplace_back(f.second.last_use, f.first);
    std::sort(by_use.begin(), by_use.end());
    for (const auto& use : by_use) {
      if (bytes_ <= bytes) break;
      erase(use.second);
    }
  }

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
    last_ = nullptr;
    bytes_ = 0;
  }

 private:
  // Forms stay where they are while others come and go, so last_ holds
  // until its own form is erased.
  std::unordered_map<uint32_t, form> forms_;
  uint32_t last_id_ = 0xFFFFFFFFu;
  form* last_ = nullptr;
  uint64_t clock_ = 0;
  size_t bytes_ = 0;
  size_t max_bytes_;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_KEPT_FORMS_H_
