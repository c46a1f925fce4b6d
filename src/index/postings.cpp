// Indexing, query and discarding: the operations that change or read token
// entries and path entries through the caches.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/fibonacci_hash.h"
#include "common/prefetch.h"
#include "index/index_errors.h"
#include "index/token_indexes.h"

namespace velkor {

namespace {

constexpr uint16_t kMaxCount = 0xFFFF;
// As many postings as the smallest heap block holds (24 bytes usable).
constexpr size_t kFewPostings = 24 / sizeof(posting);

// Function objects rather than functions, so that the sorts inline them.
constexpr struct {
  bool operator()(uint32_t a, uint32_t b) const {
    return static_cast<int32_t>(a) < static_cast<int32_t>(b);
  }
} signed_less{};

// The first eight bytes of `token`, big-endian and zero-padded: keys that
// differ order their tokens bytewise; equal keys need the full comparison.
uint64_t prefix_key(std::string_view token) {
  uint64_t key = 0;
  const size_t n = std::min<size_t>(token.size(), 8);
  for (size_t i = 0; i < n; ++i) key = (key << 8) | static_cast<uint8_t>(token[i]);
  return n == 8 ? key : key << (8 * (8 - n));
}

constexpr struct {
  bool operator()(const posting& a, const posting& b) const { return a.path_id < b.path_id; }
} posting_less{};

// Orders [first, last) by key(element), an unsigned integer; equal keys
// come in any order. Long runs of random keys (a bulk build's path ids, the
// tokens and entries of a long text) go through counting passes over the
// key's bytes, which cost no mispredicted branch; short ones through a
// comparison sort.
template <class T, class Key>
void sort_by_key(T* first, T* last, std::vector<T>& scratch, Key key) {
  const size_t n = static_cast<size_t>(last - first);
  if (n < 128) {
    std::sort(first, last, [&key](const T& a, const T& b) { return key(a) < key(b); });
    return;
  }
  constexpr int kPasses = sizeof(key(*first));
  uint32_t counts[kPasses][256] = {};
  for (const T* p = first; p != last; ++p) {
    const auto k = key(*p);
    for (int pass = 0; pass < kPasses; ++pass) ++counts[pass][(k >> (8 * pass)) & 0xFF];
  }
  scratch.resize(n);
  T* from = first;
  T* to = scratch.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    uint32_t* count = counts[pass];
    const int shift = 8 * pass;
    // A byte that all keys share moves nothing.
    if (count[(key(*from) >> shift) & 0xFF] == n) continue;
    uint32_t sum = 0;
    for (uint32_t& c : counts[pass]) {
      const uint32_t here = c;
      c = sum;
      sum += here;
    }
    for (size_t i = 0; i < n; ++i) to[count[(key(from[i]) >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != first) std::copy(from, from + n, first);
}

// Keys that order signed 32-bit values as unsigned ones.
uint32_t signed_key(int32_t value) { return static_cast<uint32_t>(value) ^ 0x80000000u; }

// Where the posting of `path_id` is, or would go: lists ascend by path id.
// Path ids are random, so a branch at each step of the search would be
// mispredicted half the time: the step is a conditional move instead, and
// both places the next step may look at are requested ahead.
std::vector<posting>::iterator posting_at(std::vector<posting>& postings, int32_t path_id) {
  const posting* base = postings.data();
  size_t n = postings.size();
  if (n == 0) return postings.begin();
  while (n > 1) {
    const size_t half = n / 2;
    const size_t next = (n - half) / 2;
    prefetch_line(base + next);
    prefetch_line(base + half + next);
    base = base[half].path_id < path_id ? base + half : base;
    n -= half;
  }
  const size_t at = static_cast<size_t>(base - postings.data()) + (base->path_id < path_id);
  return postings.begin() + static_cast<ptrdiff_t>(at);
}

}  // namespace

void _CTokenIndexes::__split_tokens(const std::string& text, const std::string& given,
                                    std::vector<token_count>& out) {
  out.clear();
  const std::string_view delimiter =
      given.empty() ? std::string_view(" ") : std::string_view(given);
  const size_t limit = static_cast<size_t>(std::max(token_limit(), 1));
  // Distinct tokens are found through an open-addressing table of indexes
  // into `out`, kept at most half full. It starts at about one slot per
  // four bytes of text, which rarely has to grow.
  uint32_t bits = 6;
  while (bits < 24 && (size_t{1} << bits) < text.size() / 4) ++bits;
  std::vector<uint32_t>& seen = seen_scratch;
  seen.assign(size_t{1} << bits, kNoId);
  size_t mask = seen.size() - 1;
  auto add = [&](std::string_view token, uint32_t hash) {
    size_t i = fibonacci_slot(hash, bits);
    while (seen[i] != kNoId && (out[seen[i]].hash != hash || out[seen[i]].token != token)) {
      i = (i + 1) & mask;
    }
    if (seen[i] != kNoId) {
      // Counts stop at 65,535: a token that occurs more often in one text
      // keeps the largest count that can be stored.
      if (out[seen[i]].count < kMaxCount) ++out[seen[i]].count;
      return;
    }
    seen[i] = static_cast<uint32_t>(out.size());
    out.push_back(token_count{token, prefix_key(token), hash, 1});
    if (2 * out.size() > seen.size()) {
      ++bits;
      seen.assign(size_t{1} << bits, kNoId);
      mask = seen.size() - 1;
      for (uint32_t k = 0; k < out.size(); ++k) {
        size_t j = fibonacci_slot(out[k].hash, bits);
        while (seen[j] != kNoId) j = (j + 1) & mask;
        seen[j] = k;
      }
    }
  };
  if (delimiter.size() == 1) {
    // The usual case: one pass finds the end of a token and hashes it.
    const char d = delimiter[0];
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
      if (*p == d) {
        ++p;
        continue;
      }
      const char* const stop = static_cast<size_t>(end - p) > limit ? p + limit : end;
      const char* q = p;
      uint32_t hash = 0;
      while (q != stop && *q != d) {
        hash = token_hash_step(hash, *q);
        ++q;
      }
      add(std::string_view(p, static_cast<size_t>(q - p)), hash);
      if (q == stop && q != end && *q != d) {
        // A piece cut at the limit: its rest is no token.
        const void* next = std::memchr(q, d, static_cast<size_t>(end - q));
        q = next != nullptr ? static_cast<const char*>(next) : end;
      }
      p = q;
    }
  } else {
    const std::string_view whole(text);
    size_t p = 0;
    for (;;) {
      const size_t f = whole.find(delimiter, p);
      const size_t end = f == std::string_view::npos ? whole.size() : f;
      if (end > p) {
        const std::string_view token = whole.substr(p, std::min(end - p, limit));
        add(token, token_hash(token));
      }
      if (f == std::string_view::npos) break;
      p = f + delimiter.size();
    }
  }
  // The order decides which slots new entries get: keep it bytewise. Keys of
  // 16 bytes sort faster than the tokens' 32, and the first eight bytes
  // decide most comparisons.
  std::vector<sort_key>& keys = keys_scratch;
  keys.resize(out.size());
  for (uint32_t k = 0; k < out.size(); ++k) keys[k] = sort_key{out[k].prefix, k};
  sort_by_key(keys.data(), keys.data() + keys.size(), keys_sort_scratch,
              [](const sort_key& k) { return k.prefix; });
  // Tokens that share their first eight bytes are ordered by the rest.
  for (size_t run = 0; run < keys.size();) {
    size_t end = run + 1;
    while (end < keys.size() && keys[end].prefix == keys[run].prefix) ++end;
    if (end - run > 1) {
      std::sort(keys.begin() + run, keys.begin() + end,
                [&out](const sort_key& a, const sort_key& b) {
                  return out[a.index].token < out[b.index].token;
                });
    }
    run = end;
  }
  std::vector<token_count>& sorted = sorted_scratch;
  sorted.resize(out.size());
  for (size_t k = 0; k < keys.size(); ++k) sorted[k] = out[keys[k].index];
  out.swap(sorted);
}

uint32_t _CTokenIndexes::find_token(std::string_view token, uint32_t hash, token_entry** entry) {
  token_entry* found = nullptr;
  const uint32_t id = token_table.find_if(hash, kNoId, [&](uint32_t candidate) {
    found = token_cache._get_object(candidate, _CPredTokenEntryFilter(token));
    return found != nullptr;
  });
  *entry = found;
  return id;
}

uint32_t _CTokenIndexes::_insert_tokens(uint32_t path_id, const std::string& text,
                                        const std::string& delimiter) {
  if (read_only) throw index_errors::readonly_insert();
  if (appending == append_mode::undecided) {
    // Entries loaded from the file may hold any path id; an index that has
    // none yet creates every entry it will ever search in this session.
    appending = token_table.empty() ? append_mode::allowed : append_mode::refused;
  }
  // Distinct tokens have distinct entries, so a path id new to the session
  // gets one new posting in each.
  const bool surely_new =
      appending == append_mode::allowed && indexed_path_ids.insert(path_id).second;
  std::vector<token_count>& counts = counts_scratch;
  __split_tokens(text, delimiter, counts);
  std::vector<uint32_t>& token_ids = ids_scratch;
  token_ids.clear();
  // Each token's lookup walks the token table, the cache's table, the cache
  // node and the postings, each likely a cache miss. Those of the tokens a
  // few places ahead are requested early, one step per stage, so that the
  // walk finds them near.
  constexpr size_t kStage = 4;
  constexpr size_t kNear = 1;
  std::vector<uint32_t>& ahead = ahead_scratch;
  ahead.assign(counts.size(), kNoId);
  for (size_t i = 0; i < counts.size(); ++i) {
    if (i + 3 * kStage < counts.size()) token_table.prefetch(counts[i + 3 * kStage].hash);
    if (i + 2 * kStage < counts.size()) {
      ahead[i + 2 * kStage] = token_table.first(counts[i + 2 * kStage].hash, kNoId);
      if (ahead[i + 2 * kStage] != kNoId) token_cache.prefetch_slot(ahead[i + 2 * kStage]);
    }
    if (i + kStage < counts.size() && ahead[i + kStage] != kNoId) {
      token_cache.prefetch_node(ahead[i + kStage]);
    }
    if (i + kNear < counts.size() && ahead[i + kNear] != kNoId) {
      const token_entry* next = token_cache.peek(ahead[i + kNear]);
      if (next != nullptr && !next->postings.empty()) {
        const size_t size = next->postings.size();
        prefetch_line(next->postings.data() + (surely_new ? size - 1 : size / 2));
      }
    }
    const token_count& token = counts[i];
    const uint32_t id = __insert_token(token.token, token.hash, static_cast<int32_t>(path_id),
                                       token.count, surely_new);
    if (id == kNoId) throw index_errors::index_token_failure();
    token_ids.push_back(id);
  }
  // New entries take ascending slots, but known tokens lie anywhere.
  sort_by_key(token_ids.data(), token_ids.data() + token_ids.size(), ids_sort_scratch,
              [](uint32_t id) { return signed_key(static_cast<int32_t>(id)); });
  token_ids.erase(std::unique(token_ids.begin(), token_ids.end()), token_ids.end());
  if (!token_ids.empty()) __insert_path_id(static_cast<int32_t>(path_id), token_ids);
  trim_caches(static_cast<uint32_t>(token_limit_), static_cast<uint32_t>(path_limit_));
  return static_cast<uint32_t>(counts.size());
}

void _CTokenIndexes::trim_caches(uint32_t token_keep, uint32_t path_keep) {
  // Entries go back to storage with their postings in order.
  if (token_cache.recency().size() > token_keep) settle_postings();
  token_cache._flush_cache(token_keep);
  path_cache._flush_cache(path_keep);
}

uint32_t _CTokenIndexes::__insert_token(std::string_view token, uint32_t hash, int32_t path_id,
                                        uint16_t count, bool surely_new) {
  token_entry* entry = nullptr;
  const uint32_t id = find_token(token, hash, &entry);
  if (entry != nullptr) {
    std::vector<posting>& postings = entry->postings;
    auto grow = [&postings] {
      // Lists grow by a quarter rather than double: in a bulk build the
      // slack of 170,000 lists would be most of the cache. Below four
      // postings the heap's smallest block holds them anyway.
      if (postings.size() == postings.capacity()) {
        postings.reserve(std::max<size_t>(postings.size() + postings.size() / 4 + 1, kFewPostings));
      }
    };
    if (surely_new) {
      grow();
      postings.push_back(posting{path_id, count});
      const size_t n = postings.size();
      if (n > 1 && postings[n - 2].path_id > path_id && token_cache.mark(id)) {
        unsorted_entries.push_back(unsorted_entry{id, static_cast<uint32_t>(n - 1)});
      }
      token_cache._mark_modified(id);
      return id;
    }
    if (appending == append_mode::allowed) settle_postings(id);
    const auto at = posting_at(postings, path_id);
    if (at == postings.end() || at->path_id != path_id) {
      const ptrdiff_t offset = at - postings.begin();
      grow();
      postings.insert(postings.begin() + offset, posting{path_id, count});
    } else if (static_cast<uint32_t>(at->count) + count < kMaxCount) {
      at->count = static_cast<uint16_t>(at->count + count);
    } else {
      return id;
    }
    token_cache._mark_modified(id);
    return id;
  }
  token_entry created;
  created.token.assign(token.data(), token.size());
  created.postings.reserve(kFewPostings);
  created.postings.push_back(posting{path_id, count});
  const uint32_t new_id = token_cache._save_new_object(std::move(created));
  if (new_id == kNoId) throw index_errors::cache_token_failure();
  token_table.insert(hash, new_id);
  return new_id;
}

void _CTokenIndexes::settle_postings() {
  for (const unsorted_entry& unsorted : unsorted_entries) {
    settle_postings(unsorted.id, unsorted.sorted);
  }
  unsorted_entries.clear();
}

void _CTokenIndexes::settle_postings(uint32_t token_id, size_t sorted) {
  // Marks are taken here or before, so an id listed twice is settled once.
  token_entry* entry = token_cache.take_mark(token_id);
  if (entry == nullptr) return;
  std::vector<posting>& postings = entry->postings;
  const size_t from = std::min(sorted, postings.size());
  const auto tail =
      std::is_sorted_until(postings.begin() + static_cast<ptrdiff_t>(from > 0 ? from - 1 : 0),
                           postings.end(), posting_less);
  if (tail == postings.end()) return;
  // The appended postings, usually one or a few: put in order apart, then
  // each, from the last, into its place, the postings behind it moved up in
  // one block. Only the postings behind the first one's place move, and no
  // buffer as long as the list is taken.
  std::vector<posting>& appended = postings_scratch;
  appended.assign(tail, postings.end());
  sort_by_key(appended.data(), appended.data() + appended.size(), postings_sort_scratch,
              [](const posting& p) { return signed_key(p.path_id); });
  posting* const first = postings.data();
  size_t in_order = static_cast<size_t>(tail - postings.begin());
  size_t end = postings.size();
  for (size_t next = appended.size(); next-- > 0;) {
    const posting p = appended[next];
    const size_t at =
        static_cast<size_t>(std::upper_bound(first, first + in_order, p, posting_less) - first);
    const size_t moving = in_order - at;
    std::memmove(first + end - moving, first + at, moving * sizeof(posting));
    end -= moving;
    first[--end] = p;
    in_order = at;
  }
}

uint32_t _CTokenIndexes::__insert_path_id(int32_t path_id, const std::vector<uint32_t>& token_ids) {
  if (const uint32_t* entry_id = path_table.find(path_id)) {
    const uint32_t id = *entry_id;
    path_entry* entry =
        path_cache._get_object(id, _CPredPathEntryFilter(static_cast<uint32_t>(path_id)));
    if (entry != nullptr) {
      std::vector<uint32_t> merged;
      merged.reserve(entry->token_ids.size() + token_ids.size());
      std::set_union(entry->token_ids.begin(), entry->token_ids.end(), token_ids.begin(),
                     token_ids.end(), std::back_inserter(merged), signed_less);
      if (merged.size() > entry->token_ids.size()) {
        entry->token_ids.swap(merged);
        path_cache._mark_modified(id);
      }
      return id;
    }
  }
  path_entry created;
  created.path_id = static_cast<uint32_t>(path_id);
  created.token_ids = token_ids;
  const uint32_t new_id = path_cache._save_new_object(created);
  if (new_id == kNoId) throw index_errors::cache_path_failure();
  path_table.set(path_id, new_id);
  return new_id;
}

const token_entry* _CTokenIndexes::query_entry(std::string_view query, uint32_t* id) {
  token_entry* entry = nullptr;
  *id = find_query(query, &entry);
  return entry;
}

uint32_t _CTokenIndexes::find_query(std::string_view query, token_entry** entry) {
  // Queries are looked up by their first token-limit bytes, as texts are cut.
  const std::string_view cut = query.substr(0, static_cast<size_t>(std::max(token_limit(), 0)));
  const uint32_t id = find_token(cut, token_hash(cut), entry);
  if (*entry != nullptr) settle_postings(id);
  return id;
}

uint32_t _CTokenIndexes::_delete_path_id(int32_t path_id) {
  if (read_only) throw index_errors::readonly_delete();
  settle_postings();
  __remove_path_name(static_cast<uint32_t>(path_id));
  const uint32_t* pair = path_table.find(path_id);
  if (pair == nullptr) return kNoId;
  const uint32_t entry_id = *pair;
  const path_entry* entry =
      path_cache._get_object(entry_id, _CPredPathEntryFilter(static_cast<uint32_t>(path_id)));
  if (entry != nullptr) {
    // The list is copied: erasing token entries below does not touch the
    // path cache, but the copy keeps the walk independent of it.
    const std::vector<uint32_t> token_ids = entry->token_ids;
    const _CPredTokenEntryFilter any("");
    for (const uint32_t t : token_ids) {
      token_entry* token = token_cache._get_object(t, any);
      if (token == nullptr) continue;
      std::vector<posting>& postings = token->postings;
      const auto at = posting_at(postings, path_id);
      if (at == postings.end() || at->path_id != path_id) continue;
      postings.erase(at);
      if (!postings.empty()) {
        token_cache._mark_modified(t);
      } else {
        const std::string text = token->token;
        __erase_token_id(text, t);
      }
    }
  }
  __erase_path_id(path_id);
  return entry_id;
}

void _CTokenIndexes::__erase_path_id(int32_t path_id) {
  const uint32_t* pair = path_table.find(path_id);
  if (pair == nullptr) throw index_errors::inconsistent_path();
  const uint32_t entry_id = *pair;
  path_table.erase(path_id);
  path_cache._drop_object(entry_id);
  storage->free_object(entry_id);
}

void _CTokenIndexes::__erase_token_id(const std::string& token, uint32_t token_id) {
  if (!token_table.erase(token_hash(token), token_id)) throw index_errors::inconsistent_token();
  token_cache._drop_object(token_id);
  storage->free_object(token_id);
}

}  // namespace velkor
