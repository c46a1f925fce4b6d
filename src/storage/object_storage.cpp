#include "storage/object_storage.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "stream/serialize.h"

namespace velkor {

namespace {

constexpr int32_t kCopyBlock = 32768;

// On a little-endian machine the records are held as the section lies.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
constexpr bool kRecordsAsHeld = false;
#else
constexpr bool kRecordsAsHeld = true;
#endif

// Parts of kept forms are written in runs: parts nearer each other than
// this are written with the bytes between them, read first, in one
// transfer of at most kMaxRun bytes.
constexpr int64_t kRunGap = 4096;
constexpr int64_t kMaxRun = int64_t{1} << 20;

}  // namespace

int32_t __copy_stream(_stream& destination, _stream& source, int32_t n) {
  const int32_t available = static_cast<int32_t>(static_cast<uint32_t>(source._size()) -
                                                 static_cast<uint32_t>(source._seek(0, 1)));
  if (n == 0 || available <= 0) return 0;
  const int32_t count = n < 0 ? available : std::min(n, available);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(count, kCopyBlock)));
  for (int32_t block = 0; block < count / kCopyBlock; ++block) {
    source.read(buffer.data(), kCopyBlock);
    destination.write(buffer.data(), kCopyBlock);
  }
  const int32_t rest = count % kCopyBlock;
  if (rest > 0) {
    source.read(buffer.data(), rest);
    destination.write(buffer.data(), rest);
  }
  return count;
}

_CStgSlotItem* _CObjectStorage::find_slot(uint32_t id) {
  if (mapped_at_ >= 0) {
    if (++mapped_lookups_ <= kMappedLookups) {
      // The lower bound of the id among the offsets, read from the file:
      // probes one by one while the range is wide, then the rest at once.
      constexpr size_t kBlock = 256;
      size_t first = 0;
      size_t count = mapped_count_;
      while (count > kBlock) {
        const size_t half = count / 2;
        read_slots(first + half, 1, &looked_up_);
        if (static_cast<int32_t>(looked_up_.offset) < static_cast<int32_t>(id)) {
          first += half + 1;
          count -= half + 1;
        } else {
          count = half;
        }
      }
      _CStgSlotItem block[kBlock + 1];
      // One more record than the range, for the bound that ends at it. The
      // search goes on over them as over a held table: a table out of
      // order (damage) then finds what a held one finds.
      const size_t readable = std::min(count + 1, mapped_count_ - first);
      read_slots(first, readable, block);
      size_t at = 0;
      while (count > 0) {
        const size_t half = count / 2;
        if (static_cast<int32_t>(block[at + half].offset) < static_cast<int32_t>(id)) {
          at += half + 1;
          count -= half + 1;
        } else {
          count = half;
        }
      }
      if (at >= readable || block[at].offset != id) return nullptr;
      looked_up_ = block[at];
      return &looked_up_;
    }
    hold_slots();
  }
  const auto it = std::lower_bound(slots.begin(), slots.end(), static_cast<int32_t>(id),
                                   [](const _CStgSlotItem& slot, int32_t key) {
                                     return static_cast<int32_t>(slot.offset) < key;
                                   });
  if (it == slots.end() || it->offset != id) return nullptr;
  return &*it;
}

uint32_t _CObjectStorage::data_end() const {
  if (slot_count() == 0) return data_begin;
  if (mapped_at_ >= 0) {
    _CStgSlotItem last;
    const_cast<_CObjectStorage*>(this)->read_slots(mapped_count_ - 1, 1, &last);
    return last.offset + static_cast<uint32_t>(last.size);
  }
  return slots.back().offset + static_cast<uint32_t>(slots.back().size);
}

void _CObjectStorage::read_slots(size_t first, size_t count, _CStgSlotItem* out) {
  if (count == 0) return;
  std::vector<uint8_t> bytes(count * format::kSlotRecordBytes);
  stream->seek(
      static_cast<int32_t>(mapped_at_ + static_cast<int64_t>(first) * format::kSlotRecordBytes), 0);
  stream->read(bytes.data(), static_cast<int32_t>(bytes.size()));
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = bytes.data() + i * format::kSlotRecordBytes;
    // Any non-zero in-use byte counts as in use.
    out[i] = {decode_u32(r), static_cast<int32_t>(decode_u32(r + 4)),
              static_cast<uint8_t>(r[8] != 0), decode_u32(r + 9)};
  }
}

void _CObjectStorage::hold_slots() {
  if (mapped_at_ < 0) return;
  std::vector<_CStgSlotItem> held(mapped_count_);
  read_slots(0, mapped_count_, held.data());
  slots.swap(held);
  mapped_at_ = -1;
}

_CStgSlotItem _CObjectStorage::__alloc_new_slot(int32_t n) {
  hold_slots();
  const int32_t file_size = stream->_size();
  const int32_t limit = static_cast<int32_t>(static_cast<uint32_t>(format::kFileSizeLimit) -
                                             static_cast<uint32_t>(n));
  if (!(file_size < limit)) throw storage_errors::file_size_limit();
  const int32_t capacity = std::max(n, slot_size);
  const uint32_t offset = data_end();
  stream->resize(static_cast<int32_t>(offset + static_cast<uint32_t>(capacity)));
  _CStgSlotItem slot;
  slot.offset = offset;
  slot.size = capacity;
  slot.in_use = 1;
  slot.next = kNoSlot;
  slots.push_back(slot);
  modified = true;
  return slot;
}

void _CObjectStorage::__alloc_stg_slots(int32_t n, std::vector<_CStgSlotItem>& out) {
  hold_slots();
  int32_t remaining = n;
  _CStgSlotItem* previous = nullptr;
  uint32_t last_taken = kNoSlot;
  bool taken = false;
  size_t visited = 0;
  while (remaining > 0 && visited < idle_slots.size()) {
    uint32_t& entry = idle_slots[visited++];
    if (entry == kNoSlot) throw storage_errors::recycled_idle_slot();
    _CStgSlotItem* slot = find_slot(entry);
    if (slot == nullptr) throw storage_errors::unknown_idle_slot();
    if (previous != nullptr) previous->next = slot->offset;
    slot->in_use = 1;
    slot->next = kNoSlot;
    remaining =
        static_cast<int32_t>(static_cast<uint32_t>(remaining) - static_cast<uint32_t>(slot->size));
    out.push_back(*slot);
    last_taken = slot->offset;
    entry = kNoSlot;
    previous = slot;
    taken = true;
  }
  // The entries visited are those taken, from the front.
  if (taken) {
    idle_slots.drop_front(visited);
    modified = true;
  }
  if (remaining > 0) {
    const _CStgSlotItem added = __alloc_new_slot(remaining);
    out.push_back(added);
    if (taken) {
      _CStgSlotItem* last = find_slot(last_taken);
      if (last != nullptr) last->next = added.offset;
    }
  }
}

void _CObjectStorage::check_slots(const _CStgSlotItem* records, size_t count, int64_t file_size,
                                  slot_checks& checks) {
  for (size_t i = 0; i < count; ++i) {
    const _CStgSlotItem& slot = records[i];
    if (slot.size <= 0) checks.bad_size = true;
    if (slot.in_use == 0) idle_slots.push_back(slot.offset);
    if (slot.in_use > 1) checks.odd_in_use = true;
    const int64_t offset = slot.offset;
    if (offset < checks.end) checks.apart = false;
    checks.end = offset + slot.size;
    if (offset + slot.size > file_size) checks.past_file = true;
  }
}

void _CObjectStorage::_load_stg_slots(_stream& from) {
  slots.clear();
  idle_slots.clear();
  forms_.clear();
  owners_.clear();
  mapped_at_ = -1;
  modified = false;
  const int32_t count = static_cast<int32_t>(read_u32(from));
  // Room for the slots a session appends: the first append would otherwise
  // copy the whole table.
  const size_t room = records_room(from, count, format::kSlotRecordBytes);
  slots.reserve(room + room / 8 + 64);
  read_records(from, count, {4, 4, 1, 4}, [this](const uint8_t* r, int32_t records) {
    if (kRecordsAsHeld) {
      const auto* held = reinterpret_cast<const _CStgSlotItem*>(r);
      slots.insert(slots.end(), held, held + records);
      return;
    }
    for (int32_t i = 0; i < records; ++i, r += format::kSlotRecordBytes) {
      slots.push_back(
          {decode_u32(r), static_cast<int32_t>(decode_u32(r + 4)), r[8], decode_u32(r + 9)});
    }
  });
  // One pass: the checks that refuse the table (a size of 0 or less, a slot
  // past the end of the file: both the invalid slot size), the idle list,
  // and whether the slots lie apart (forms are kept only then: a write
  // deferred over overlapping slots would change what another slot reads).
  slot_checks checks{data_begin};
  check_slots(slots.data(), slots.size(), stream->_size(), checks);
  if (checks.bad_size || checks.past_file) throw storage_errors::invalid_slot_size();
  keeping_ = checks.apart;
  // Any non-zero in-use byte counts as in use (written back as 1).
  if (checks.odd_in_use) {
    for (_CStgSlotItem& slot : slots) slot.in_use = slot.in_use != 0 ? 1 : 0;
  }
}

void _CObjectStorage::_map_stg_slots(_stream& from) {
  slots.clear();
  idle_slots.clear();
  forms_.clear();
  owners_.clear();
  modified = false;
  const int32_t count = static_cast<int32_t>(read_u32(from));
  mapped_at_ = from._seek(0, 1);
  mapped_count_ = 0;
  mapped_lookups_ = 0;
  slot_checks checks{data_begin};
  const int64_t file_size = stream->_size();
  std::vector<_CStgSlotItem> piece;
  // The records are read whole before any is refused, as a load reads them.
  read_records(from, count, {4, 4, 1, 4}, [&](const uint8_t* r, int32_t records) {
    const _CStgSlotItem* held = reinterpret_cast<const _CStgSlotItem*>(r);
    if (!kRecordsAsHeld) {
      piece.resize(static_cast<size_t>(records));
      for (int32_t i = 0; i < records; ++i, r += format::kSlotRecordBytes) {
        piece[static_cast<size_t>(i)] = {decode_u32(r), static_cast<int32_t>(decode_u32(r + 4)),
                                         r[8], decode_u32(r + 9)};
      }
      held = piece.data();
    }
    check_slots(held, static_cast<size_t>(records), file_size, checks);
    mapped_count_ += static_cast<size_t>(records);
  });
  if (checks.bad_size || checks.past_file) throw storage_errors::invalid_slot_size();
  keeping_ = checks.apart;
}

void _CObjectStorage::_save_stg_slots(_stream& to) {
  hold_slots();
  write_u32(to, static_cast<uint32_t>(slots.size()));
  if (kRecordsAsHeld) {
    // The records as they are held: one write, no copy.
    if (!slots.empty()) {
      to.write(slots.data(), static_cast<int32_t>(slots.size() * format::kSlotRecordBytes));
    }
  } else {
    std::vector<uint8_t> bytes(slots.size() * format::kSlotRecordBytes);
    uint8_t* out = bytes.data();
    for (const _CStgSlotItem& slot : slots) {
      encode_u32(out, slot.offset);
      encode_u32(out + 4, static_cast<uint32_t>(slot.size));
      out[8] = slot.in_use;
      encode_u32(out + 9, slot.next);
      out += format::kSlotRecordBytes;
    }
    if (!bytes.empty()) to.write(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  modified = false;
}

void _CObjectStorage::gather_chain(uint32_t id, std::vector<_CStgSlotItem>& chain,
                                   std::vector<uint32_t>& indexes) {
  // The collector's copies come from the records themselves, so each one's
  // place in `slots` is its address less the array's.
  struct collect_with_indexes : __CPredCollectLinkedSlotItem {
    collect_with_indexes(std::vector<_CStgSlotItem>* list, const _CStgSlotItem* base,
                         std::vector<uint32_t>* indexes)
        : __CPredCollectLinkedSlotItem(list), base(base), indexes(indexes) {}
    bool operator()(_CStgSlotItem& slot) override {
      // A mapped table's record is a copy: it has no place to tell.
      indexes->push_back(base != nullptr ? static_cast<uint32_t>(&slot - base) : kNoSlot);
      return __CPredCollectLinkedSlotItem::operator()(slot);
    }
    const _CStgSlotItem* base;
    std::vector<uint32_t>* indexes;
  } collect(&chain, mapped_at_ < 0 ? slots.data() : nullptr, &indexes);
  __go_through_slot_link(id, collect);
}

int32_t _CObjectStorage::free_object(uint32_t id) {
  hold_slots();
  // Freed slots keep their bytes, and one taken again must not get the
  // run's later.
  write_run();
  if (stored_forms::form* kept = forms_.peek(id)) {
    // Freed slots keep their bytes: those of the kept form.
    if (kept->unwritten) write_image(kept->chain, kept->image);
    release(kept->chain);
    forms_.erase(id);
  }
  if (keeping() && !forms_.empty()) {
    // A chain that runs into a kept one would make its slots idle. A
    // damaged chain fails in the walk below, as far as it goes.
    std::vector<_CStgSlotItem> chain;
    std::vector<uint32_t> indexes;
    try {
      gather_chain(id, chain, indexes);
    } catch (const _exception&) {
    }
    if (!owned_by_none_but(indexes, kNoSlot)) stop_keeping();
  }
  __CPredRecycleSlots recycle(&idle_slots);
  const int32_t freed = __go_through_slot_link(id, recycle);
  if (freed >= 1) modified = true;
  return freed;
}

bool _CObjectStorage::owned_by_none_but(const std::vector<uint32_t>& indexes, uint32_t id) const {
  if (!owners_.any()) return true;
  for (const uint32_t i : indexes) {
    const uint32_t owner = owners_.of(i);
    if (owner != record_owners::kNone && owner != id) return false;
  }
  return true;
}

void _CObjectStorage::claim(const std::vector<uint32_t>& indexes, uint32_t id) {
  for (const uint32_t i : indexes) owners_.set(i, id);
}

void _CObjectStorage::release(const std::vector<uint32_t>& indexes) {
  for (const uint32_t i : indexes) owners_.set(i, record_owners::kNone);
}

void _CObjectStorage::stop_keeping() {
  write_forms();
  forms_.clear();
  owners_.clear();
  keeping_ = false;
}

void _CObjectStorage::write_image(const std::vector<uint32_t>& chain,
                                  const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  for (size_t k = 0; k < chain.size() && done < bytes.size(); ++k) {
    const _CStgSlotItem& slot = slots[chain[k]];
    const size_t part = std::min(static_cast<size_t>(slot.size), bytes.size() - done);
    stream->seek(static_cast<int32_t>(slot.offset), 0);
    stream->write(bytes.data() + done, static_cast<int32_t>(part));
    done += part;
  }
}

void _CObjectStorage::keep_form(uint32_t id, const void* kind, const std::vector<uint8_t>& bytes,
                                const std::vector<uint32_t>& chain) {
  stored_forms::form& kept = forms_.get(id);
  kept.image.assign(bytes.begin(), bytes.end());
  kept.chain.assign(chain.begin(), chain.end());
  kept.room = 0;
  for (const uint32_t i : kept.chain) kept.room += slots[i].size;
  kept.kind = kind;
  kept.unwritten = true;
  forms_.recount(kept);
  claim(kept.chain, id);
  shed_forms();
}

bool _CObjectStorage::grow_form(uint32_t id, const void* kind, std::vector<uint8_t>& bytes) {
  stored_forms::form* kept = forms_.peek(id);
  if (kept == nullptr || kept->chain.empty()) return false;
  const int64_t length = static_cast<int64_t>(bytes.size());
  const int32_t last_size = slots[kept->chain.back()].size;
  // A form that no longer reaches the last slot gives slots up: the rewrite
  // walks the chain.
  if (length <= kept->room - last_size) return false;
  const bool grows = length > kept->room;
  if (grows && kept->chain.size() + 1 >= static_cast<size_t>(format::kMaxChainSlots)) {
    return false;
  }
  stored_forms::form& form = forms_.get(id);
  if (grows) {
    const _CStgSlotItem added = __alloc_new_slot(static_cast<int32_t>(length - form.room));
    slots[form.chain.back()].next = added.offset;
    const uint32_t index = static_cast<uint32_t>(slots.size() - 1);
    form.chain.push_back(index);
    form.room += added.size;
    claim({index}, id);
  }
  modified = true;
  // The bytes behind the new form stay what the slots hold or will hold.
  if (form.image.size() <= bytes.size()) {
    form.image.assign(bytes.begin(), bytes.end());
  } else {
    std::copy(bytes.begin(), bytes.end(), form.image.begin());
  }
  form.kind = kind;
  form.unwritten = true;
  forms_.recount(form);
  shed_forms();
  return true;
}

void _CObjectStorage::write_kept_forms() {
  // The slots of a chain lie all over the file: the parts of every form go
  // in file order, nearby ones in one transfer.
  struct part {
    uint32_t offset;
    int32_t length;
    const uint8_t* bytes;
  };
  std::vector<part> parts;
  const std::vector<uint32_t> ids = forms_.unwritten_ids();
  if (ids.empty()) return;
  for (const uint32_t id : ids) {
    const stored_forms::form& kept = *forms_.peek(id);
    size_t done = 0;
    for (const uint32_t i : kept.chain) {
      if (done >= kept.image.size()) break;
      const _CStgSlotItem& slot = slots[i];
      const size_t length = std::min(static_cast<size_t>(slot.size), kept.image.size() - done);
      parts.push_back(part{slot.offset, static_cast<int32_t>(length), kept.image.data() + done});
      done += length;
    }
  }
  std::sort(parts.begin(), parts.end(),
            [](const part& a, const part& b) { return a.offset < b.offset; });
  // Runs are made in memory (those with gaps read first) and handed over
  // in batches of at most one run's room; a part alone is handed over as it is.
  constexpr size_t kBatch = static_cast<size_t>(kMaxRun);
  std::unique_ptr<uint8_t[]> made;
  size_t used = 0;
  std::vector<_stream::part> writes;
  for (size_t first = 0; first < parts.size();) {
    const int64_t begin = parts[first].offset;
    int64_t end = begin + parts[first].length;
    size_t last = first;
    bool gaps = false;
    while (last + 1 < parts.size() && int64_t{parts[last + 1].offset} - end < kRunGap &&
           int64_t{parts[last + 1].offset} + parts[last + 1].length - begin <= kMaxRun) {
      ++last;
      gaps = gaps || int64_t{parts[last].offset} > end;
      end = std::max(end, int64_t{parts[last].offset} + parts[last].length);
    }
    if (first == last) {
      writes.push_back({begin, parts[first].bytes, parts[first].length});
    } else {
      const size_t length = static_cast<size_t>(end - begin);
      if (!made) made.reset(new uint8_t[kBatch]);
      if (used + length > kBatch) {
        stream->write_parts(writes);
        writes.clear();
        used = 0;
      }
      uint8_t* run = made.get() + used;
      used += length;
      if (gaps) {
        stream->seek(static_cast<int32_t>(begin), 0);
        stream->read(run, static_cast<int32_t>(length));
      }
      for (size_t p = first; p <= last; ++p) {
        std::memcpy(run + (parts[p].offset - begin), parts[p].bytes,
                    static_cast<size_t>(parts[p].length));
      }
      writes.push_back({begin, run, static_cast<int32_t>(length)});
    }
    first = last + 1;
  }
  stream->write_parts(writes);
  for (const uint32_t id : ids) forms_.peek(id)->unwritten = false;
}

void _CObjectStorage::shed_forms() {
  // Past the bound, all at once, in file order (written one by one, each
  // form would take a transfer for every slot of its chain); then the least
  // recently used go until a quarter of the bound is free.
  if (!forms_.over_bound()) return;
  write_forms();
  for (const uint32_t id : forms_.oldest_until(forms_.bound() / 4 * 3)) let_go(id);
}

void _CObjectStorage::write_run() {
  if (run_.bytes.empty()) return;
  stream->write_parts({{int64_t{run_.begin}, run_.bytes.data(),
                        static_cast<int32_t>(run_.bytes.size())}});
  run_.bytes.clear();
}

void _CObjectStorage::write_run_under(const std::vector<_CStgSlotItem>& chain) {
  if (run_.bytes.empty()) return;
  for (const _CStgSlotItem& slot : chain) {
    if (int64_t{slot.offset} + slot.size > run_.begin && int64_t{slot.offset} < run_.end()) {
      write_run();
      return;
    }
  }
}

void _CObjectStorage::let_go(uint32_t id) {
  release(forms_.peek(id)->chain);
  forms_.erase(id);
}

}  // namespace velkor
