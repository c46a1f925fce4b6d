#include "index/path_registry.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "common/file_format.h"
#include "stream/memstream.h"
#include "stream/serialize.h"

namespace velkor {

void path_registry::clear() {
  dirty = 0;
  std::vector<uint8_t>().swap(raw_);
  std::vector<held>().swap(base_);
  by_hash_.clear();
  scans_ = 0;
  std::vector<bool>().swap(removed_);
  removed_count_ = 0;
  forgotten_.clear();
  added_.clear();
  added_ids_.clear();
}

bool path_registry::breaks_order(const std::vector<held>& records, const held& h,
                                 const uint8_t* path) {
  // A path reads back cut at its first zero byte: an unscrambled zero is a
  // byte equal to the key.
  return (!records.empty() && records.back().id >= h.id) ||
         (h.length != 0 && std::memchr(path, h.key, h.length) != nullptr);
}

bool path_registry::load_lying(const uint8_t* bytes, int64_t size, int64_t* used) {
  if (size < 4) return false;
  const int32_t count = static_cast<int32_t>(decode_u32(bytes));
  int64_t at = 4;
  std::vector<held> records;
  // Each record takes 13 bytes at least.
  if (count > 0) records.reserve(static_cast<size_t>(std::min<int64_t>(count, size / 13)));
  raw_.reserve(static_cast<size_t>(size));
  bool in_order = true;
  for (int32_t i = 0; i < count; ++i) {
    if (size - at < 8) return false;
    held h;
    h.id = static_cast<int32_t>(decode_u32(bytes + at));
    const uint32_t length = decode_u32(bytes + at + 4);
    if (length > format::kMaxStringLength || size - at - 8 < int64_t{length} + 5) return false;
    h.key = bytes[at + 8];
    const uint8_t* path = bytes + at + 9;
    h.time = static_cast<int32_t>(decode_u32(path + length));
    h.at = static_cast<uint32_t>(raw_.size());
    h.length = length;
    raw_.insert(raw_.end(), path, path + length);
    if (breaks_order(records, h, path)) in_order = false;
    records.push_back(h);
    at += 13 + int64_t{length};
  }
  if (in_order) {
    base_ = std::move(records);
  } else {
    decode_all(records);
  }
  *used = at;
  return true;
}

void path_registry::load(_stream& from) {
  clear();
  // A section the stream lends is parsed where it lies; one that runs
  // short or holds a string too long is read again field by field below,
  // which tells what is wrong.
  const int32_t begin = from._seek(0, 1);
  const uint8_t* lent = nullptr;
  int64_t taken = 0;
  if (begin >= 0 && from.take_held(int64_t{from._size()} - begin, &lent, &taken)) {
    int64_t used = 0;
    if (load_lying(lent, taken, &used)) {
      from._seek(static_cast<int32_t>(begin + used), 0);
      return;
    }
    clear();
    from._seek(begin, 0);
  }
  const int32_t count = static_cast<int32_t>(read_u32(from));
  std::vector<held> records;
  std::vector<uint8_t> bytes;
  bool in_order = true;
  for (int32_t i = 0; i < count; ++i) {
    held h;
    h.id = static_cast<int32_t>(read_u32(from));
    h.key = load_string_scrambled(from, bytes);
    h.time = static_cast<int32_t>(read_u32(from));
    h.at = static_cast<uint32_t>(raw_.size());
    h.length = static_cast<uint32_t>(bytes.size());
    raw_.insert(raw_.end(), bytes.begin(), bytes.end());
    if (breaks_order(records, h, bytes.data())) in_order = false;
    records.push_back(h);
  }
  if (in_order) {
    base_ = std::move(records);
  } else {
    decode_all(records);
  }
}

void path_registry::decode_all(const std::vector<held>& records) {
  // A repeated id keeps its first record; a path under several ids maps to
  // the last of them in ascending id order.
  for (const held& h : records) added_.emplace(h.id, record{path_of(h), h.time});
  for (const auto& name : added_) added_ids_[name.second.path] = static_cast<uint32_t>(name.first);
  std::vector<uint8_t>().swap(raw_);
}

std::string path_registry::path_of(const held& h) const {
  std::string path(h.length, '\0');
  const uint8_t* bytes = raw_.data() + h.at;
  for (uint32_t i = 0; i < h.length; ++i) path[i] = static_cast<char>(bytes[i] ^ h.key);
  // Records held as they lie have no zero byte; those decoded stop at it.
  const size_t zero = path.find('\0');
  if (zero != std::string::npos) path.resize(zero);
  return path;
}

size_t path_registry::lower_bound(int32_t id) const {
  return static_cast<size_t>(
      std::lower_bound(base_.begin(), base_.end(), id,
                       [](const held& h, int32_t key) { return h.id < key; }) -
      base_.begin());
}

namespace {

// FNV-1a over the path's bytes.
uint64_t path_hash(const uint8_t* bytes, size_t count, uint8_t key) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < count; ++i)
    h = (h ^ static_cast<uint8_t>(bytes[i] ^ key)) * 0x100000001B3ull;
  return h;
}

}  // namespace

uint32_t path_registry::find_id(const std::string& path) const {
  const auto added = added_ids_.find(path);
  if (added != added_ids_.end()) return added->second;
  if (base_.empty() || forgotten_.count(path) != 0) return format::kNoId;
  const auto* wanted = reinterpret_cast<const uint8_t*>(path.data());
  // The first lookups compare the held records from the last, lengths first
  // and bytes from their ends, where paths mostly differ: a session that
  // registers one path costs no index of them all. Past a few, the records
  // are indexed by the hash of their paths.
  if (by_hash_.size() != base_.size() && ++scans_ <= kScansBeforeIndex) {
    for (size_t i = base_.size(); i-- > 0;) {
      const held& r = base_[i];
      if (r.length != path.size() || is_removed(i)) continue;
      const uint8_t* bytes = raw_.data() + r.at;
      uint32_t k = r.length;
      while (k > 0 && (bytes[k - 1] ^ r.key) == wanted[k - 1]) --k;
      if (k == 0) return static_cast<uint32_t>(r.id);
    }
    return format::kNoId;
  }
  if (by_hash_.size() != base_.size()) {
    by_hash_.clear();
    by_hash_.reserve(base_.size());
    for (uint32_t i = 0; i < base_.size(); ++i) {
      by_hash_.emplace_back(path_hash(raw_.data() + base_[i].at, base_[i].length, base_[i].key), i);
    }
    std::sort(by_hash_.begin(), by_hash_.end());
  }
  const uint64_t h = path_hash(wanted, path.size(), 0);
  auto it = std::upper_bound(by_hash_.begin(), by_hash_.end(),
                             std::make_pair(h, std::numeric_limits<uint32_t>::max()));
  // The last held record with these bytes, as the map made at load keeps.
  while (it != by_hash_.begin() && (it - 1)->first == h) {
    --it;
    const held& r = base_[it->second];
    if (r.length != path.size() || is_removed(it->second)) continue;
    const uint8_t* bytes = raw_.data() + r.at;
    uint32_t k = 0;
    while (k < r.length && (bytes[k] ^ r.key) == wanted[k]) ++k;
    if (k == r.length) return static_cast<uint32_t>(r.id);
  }
  return format::kNoId;
}

bool path_registry::contains(int32_t id) const {
  if (added_.count(id) != 0) return true;
  const size_t i = lower_bound(id);
  return i < base_.size() && base_[i].id == id && !is_removed(i);
}

bool path_registry::find(int32_t id, record* out) const {
  const auto added = added_.find(id);
  if (added != added_.end()) {
    *out = added->second;
    return true;
  }
  const size_t i = lower_bound(id);
  if (i >= base_.size() || base_[i].id != id || is_removed(i)) return false;
  *out = record{path_of(base_[i]), base_[i].time};
  return true;
}

bool path_registry::next(int32_t id, bool from_start, int32_t* next_id, record* out) const {
  size_t i = from_start ? 0 : lower_bound(id);
  while (i < base_.size() && ((!from_start && base_[i].id <= id) || is_removed(i))) ++i;
  const auto added = from_start ? added_.begin() : added_.upper_bound(id);
  const bool have_base = i < base_.size();
  const bool have_added = added != added_.end();
  if (!have_base && !have_added) return false;
  if (have_added && (!have_base || added->first < base_[i].id)) {
    *next_id = added->first;
    *out = added->second;
  } else {
    *next_id = base_[i].id;
    *out = record{path_of(base_[i]), base_[i].time};
  }
  return true;
}

void path_registry::add(int32_t id, record r) {
  added_ids_[r.path] = static_cast<uint32_t>(id);
  added_[id] = std::move(r);
  dirty = 1;
}

bool path_registry::remove(int32_t id) {
  std::string path;
  const auto added = added_.find(id);
  if (added != added_.end()) {
    if (added->second.path.empty()) return false;
    path = std::move(added->second.path);
    added_.erase(added);
  } else {
    const size_t i = lower_bound(id);
    if (i >= base_.size() || base_[i].id != id || is_removed(i) || base_[i].length == 0) {
      return false;
    }
    path = path_of(base_[i]);
    if (removed_.empty()) removed_.resize(base_.size(), false);
    removed_[i] = true;
    ++removed_count_;
  }
  // The id of the path is forgotten, whichever record gave it.
  added_ids_.erase(path);
  if (!base_.empty()) forgotten_.insert(std::move(path));
  dirty = 1;
  return true;
}

size_t path_registry::saved_size() const {
  size_t bytes = 4 + raw_.size() + 13 * base_.size();
  for (const auto& name : added_) bytes += 13 + name.second.path.size();
  return bytes;
}

void path_registry::save(_stream& to) {
  _memadapter made;
  made.buffer.reserve(saved_size());
  {
    _memstream out(&made);
    write_u32(out, static_cast<uint32_t>(size()));
    auto added = added_.begin();
    auto write_added = [&] {
      out._seek(0, 2);
      write_u32(out, static_cast<uint32_t>(added->first));
      save_string(out, added->second.path);
      write_u32(out, static_cast<uint32_t>(added->second.time));
      ++added;
    };
    std::vector<uint8_t>& bytes = made.buffer;
    for (size_t i = 0; i < base_.size(); ++i) {
      if (is_removed(i)) continue;
      const held& h = base_[i];
      while (added != added_.end() && added->first < h.id) write_added();
      // The held bytes, under a new key: as save_string would write the
      // path they read as. Appended where they go, field by field.
      const uint8_t key = draw_key();
      const uint8_t rekey = static_cast<uint8_t>(h.key ^ key);
      const size_t at = bytes.size();
      bytes.resize(at + 13 + h.length);
      uint8_t* record = bytes.data() + at;
      encode_u32(record, static_cast<uint32_t>(h.id));
      encode_u32(record + 4, h.length);
      record[8] = key;
      const uint8_t* path = raw_.data() + h.at;
      for (uint32_t k = 0; k < h.length; ++k) record[9 + k] = static_cast<uint8_t>(path[k] ^ rekey);
      encode_u32(record + 9 + h.length, static_cast<uint32_t>(h.time));
    }
    while (added != added_.end()) write_added();
  }
  to.write(made.buffer.data(), static_cast<int32_t>(made.buffer.size()));
  // What was written is the registry from now on, held as it lies.
  _memstream again(&made);
  load(again);
}

}  // namespace velkor
