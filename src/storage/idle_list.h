// The idle list: ids of idle slots, in the order they were added. New
// chains take its entries from the front; the entries taken are dropped
// from the front without moving the rest, so that an allocation costs the
// entries it takes, not the length of the list (a large discard leaves a
// long list that every later allocation starts from).
#ifndef VELKOR_STORAGE_IDLE_LIST_H_
#define VELKOR_STORAGE_IDLE_LIST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace velkor {

class idle_list {
 public:
  idle_list() = default;
  idle_list(std::initializer_list<uint32_t> ids) : ids_(ids) {}

  size_t size() const { return ids_.size() - head_; }
  bool empty() const { return size() == 0; }
  uint32_t& operator[](size_t i) { return ids_[head_ + i]; }
  const uint32_t* begin() const { return ids_.data() + head_; }
  const uint32_t* end() const { return ids_.data() + ids_.size(); }

  void push_back(uint32_t id) { ids_.push_back(id); }
  void clear() {
    ids_.clear();
    head_ = 0;
  }
  // Drops the first `count` entries.
  void drop_front(size_t count) {
    head_ += count;
    // The dropped room is given back once it is most of the list.
    if (head_ > 4096 && head_ > ids_.size() / 2) {
      ids_.erase(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }

  bool operator==(const std::vector<uint32_t>& other) const {
    return size() == other.size() && std::equal(begin(), end(), other.begin());
  }

 private:
  std::vector<uint32_t> ids_;
  size_t head_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_IDLE_LIST_H_
