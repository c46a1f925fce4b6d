// Answers of repeated queries, kept as idx_query wrote them.
//
// The answer to a frequent token is long (about 13 bytes per posting), and a
// host such as a search box asks for the same frequent tokens again and
// again. An answer is kept from the second time its entry is asked for, with
// the separator it was written with; the first time only the entry id is
// noted, so tokens asked for once (most of them) cost no copy. The index
// drops everything kept whenever it changes a token entry, so a kept answer
// is always the one the entry would give now.
#ifndef VELKOR_INDEX_QUERY_ANSWERS_H_
#define VELKOR_INDEX_QUERY_ANSWERS_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace velkor {

class query_answers {
 public:
  // At most this many bytes of answers are kept; past it, no more are taken
  // until the next change of the index drops them all.
  static constexpr size_t kMaxBytes = size_t{16} << 20;
  // Entry ids asked for once, at most this many; then they are forgotten.
  static constexpr size_t kMaxNoted = size_t{1} << 16;

  // The kept answer of entry `id` written with `separator`, or null.
  const std::string* find(uint32_t id, std::string_view separator) const {
    if (kept_.empty() || separator != separator_) return nullptr;
    const auto found = kept_.find(id);
    return found == kept_.end() ? nullptr : &found->second;
  }

  // Entry `id` was answered with `text`, written with `separator`. Keeping
  // it is only a saving: when memory runs short, nothing is kept and the
  // query that offered it still succeeds.
  void offer(uint32_t id, std::string_view separator, std::string_view text) noexcept {
    try {
      if (separator != separator_) {
        clear();
        separator_.assign(separator.data(), separator.size());
      }
      if (asked_once_.size() >= kMaxNoted) asked_once_.clear();
      if (asked_once_.insert(id).second) return;
      if (bytes_ + text.size() > kMaxBytes) return;
      std::string& kept = kept_[id];
      bytes_ -= kept.size();
      kept.assign(text.data(), text.size());
      bytes_ += kept.size();
    } catch (const std::bad_alloc&) {
      clear();
      separator_.clear();
    }
  }

  // Drops every kept answer and note: the entries may have changed.
  void clear() {
    if (kept_.empty() && asked_once_.empty()) return;
    std::unordered_map<uint32_t, std::string>().swap(kept_);
    std::unordered_set<uint32_t>().swap(asked_once_);
    bytes_ = 0;
  }

 private:
  std::string separator_;
  std::unordered_map<uint32_t, std::string> kept_;
  std::unordered_set<uint32_t> asked_once_;
  size_t bytes_ = 0;
};

}  // namespace velkor

#endif  // VELKOR_INDEX_QUERY_ANSWERS_H_
