#include "storage/object_storage.h"

#include <algorithm>

#include "stream/serialize.h"

namespace velkor {

namespace {

constexpr int32_t kCopyBlock = 32768;
constexpr int32_t kSlotRecordBytes = 13;

}  // namespace

int32_t __copy_stream(_stream& destination, _stream& source, int32_t n) {
  const int32_t available = static_cast<int32_t>(static_cast<uint32_t>(source._size()) -
                                                 static_cast<uint32_t>(source._seek(0, 1)));
  if (n == 0 || available <= 0) return 0;
  const int32_t count = n < 0 ? available : std::min(n, available);
  uint8_t buffer[kCopyBlock];
  for (int32_t block = 0; block < count / kCopyBlock; ++block) {
    source.read(buffer, kCopyBlock);
    destination.write(buffer, kCopyBlock);
  }
  const int32_t rest = count % kCopyBlock;
  if (rest > 0) {
    source.read(buffer, rest);
    destination.write(buffer, rest);
  }
  return count;
}

int32_t __copy_stream(_memstream& destination, _stream& source, int32_t n) {
  const int32_t available = static_cast<int32_t>(static_cast<uint32_t>(source._size()) -
                                                 static_cast<uint32_t>(source._seek(0, 1)));
  if (n == 0 || available <= 0) return 0;
  const int32_t count = n < 0 ? available : std::min(n, available);
  _memadapter& memory = *destination.adapter_of();
  for (int32_t done = 0; done < count;) {
    const int32_t block = std::min(kCopyBlock, count - done);
    const size_t at = static_cast<size_t>(memory.position);
    if (memory.buffer.size() < at + static_cast<size_t>(block)) {
      memory.buffer.resize(at + static_cast<size_t>(block));
    }
    source.read(memory.buffer.data() + at, block);
    memory.position += block;
    done += block;
  }
  return count;
}

int32_t __copy_stream(_stream& destination, _memstream& source, int32_t n) {
  _memadapter& memory = *source.adapter_of();
  const int32_t available = static_cast<int32_t>(memory.buffer.size()) - memory.position;
  if (n == 0 || available <= 0) return 0;
  const int32_t count = n < 0 ? available : std::min(n, available);
  for (int32_t done = 0; done < count;) {
    const int32_t block = std::min(kCopyBlock, count - done);
    const uint8_t* bytes = memory.buffer.data() + memory.position;
    memory.position += block;
    destination.write(bytes, block);
    done += block;
  }
  return count;
}

int32_t __copy_stream(_memstream& destination, _memstream& source, int32_t n) {
  return __copy_stream(static_cast<_stream&>(destination), source, n);
}

void _CObjectStorage::reset_slot_index() {
  forget_chains();
  searches_before_index_ = 0;
  slot_cells_.clear();
  indexed_slots_ = 0;
  direct_lookup_ = true;
}

void _CObjectStorage::index_slots() {
  if (slots.size() < indexed_slots_) reset_slot_index();
  // Cells up to the last record's at once, when it lies where an index may
  // reach; the walk below checks every record on the way.
  if (direct_lookup_ && !slots.empty()) {
    const int64_t last = static_cast<int32_t>(slots.back().offset);
    const int64_t first = static_cast<int32_t>(data_begin);
    if (last >= first) {
      const size_t cells = (static_cast<size_t>(last - first) >> kCellShift) + 1;
      if (cells < kMaxCellsPerSlot * slots.size() + kMinCells && cells > slot_cells_.size()) {
        slot_cells_.resize(cells, 0);
      }
    }
  }
  for (size_t i = indexed_slots_; i < slots.size() && direct_lookup_; ++i) {
    const int64_t offset = static_cast<int32_t>(slots[i].offset);
    const int64_t floor =
        i == 0 ? static_cast<int32_t>(data_begin) : static_cast<int32_t>(slots[i - 1].offset) + 32;
    if (offset < floor) {
      direct_lookup_ = false;
      std::vector<uint32_t>().swap(slot_cells_);
      break;
    }
    const size_t cell = static_cast<size_t>(offset - static_cast<int32_t>(data_begin)) >> kCellShift;
    // Sparse slots (a huge slot size in a damaged header, or slots far
    // larger than 32 bytes on average) would make the index cost more than
    // the records it serves: the search does better there.
    if (cell >= kMaxCellsPerSlot * slots.size() + kMinCells) {
      direct_lookup_ = false;
      std::vector<uint32_t>().swap(slot_cells_);
      break;
    }
    if (slot_cells_.size() <= cell) slot_cells_.resize(cell + 1, 0);
    slot_cells_[cell] = static_cast<uint32_t>(i + 1);
  }
  indexed_slots_ = slots.size();
}

bool _CObjectStorage::slot_index_deferred() {
  if (indexed_slots_ != 0 || slots.size() < kMinCells) return false;
  return ++searches_before_index_ * kSearchesPerIndexedRecord < slots.size();
}

_CStgSlotItem* _CObjectStorage::find_slot(uint32_t id) {
  if (slots.size() != indexed_slots_ && !slot_index_deferred()) index_slots();
  if (direct_lookup_ && id >= data_begin) {
    const size_t cell = static_cast<size_t>(id - data_begin) >> kCellShift;
    if (cell < slot_cells_.size()) {
      const uint32_t k = slot_cells_[cell];
      if (k != 0 && k <= slots.size() && slots[k - 1].offset == id) return &slots[k - 1];
    }
  }
  const auto it = std::lower_bound(slots.begin(), slots.end(), static_cast<int32_t>(id),
                                   [](const _CStgSlotItem& slot, int32_t key) {
                                     return static_cast<int32_t>(slot.offset) < key;
                                   });
  if (it == slots.end() || it->offset != id) return nullptr;
  return &*it;
}

uint32_t _CObjectStorage::data_end() const {
  if (slots.empty()) return data_begin;
  return slots.back().offset + static_cast<uint32_t>(slots.back().size);
}

_CStgSlotItem _CObjectStorage::__alloc_new_slot(int32_t n) {
  forget_probe();
  const int32_t file_size = stream->_size();
  const int32_t limit =
      static_cast<int32_t>(static_cast<uint32_t>(kFileSizeLimit) - static_cast<uint32_t>(n));
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
    remaining = static_cast<int32_t>(static_cast<uint32_t>(remaining) -
                                     static_cast<uint32_t>(slot->size));
    out.push_back(*slot);
    last_taken = slot->offset;
    entry = kNoSlot;
    previous = slot;
    taken = true;
  }
  if (taken) {
    idle_slots.erase(std::remove(idle_slots.begin(), idle_slots.end(), kNoSlot),
                     idle_slots.end());
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

void _CObjectStorage::_load_stg_slots(_stream& from) {
  forget_probe();
  slots.clear();
  idle_slots.clear();
  reset_slot_index();
  modified = false;
  const int32_t count = static_cast<int32_t>(read_u32(from));
  slots.reserve(records_room(from, count, kSlotRecordBytes));
  read_records(from, count, {4, 4, 1, 4}, [this](const uint8_t* r, int32_t records) {
    for (int32_t i = 0; i < records; ++i, r += kSlotRecordBytes) {
      slots.push_back({decode_u32(r), static_cast<int32_t>(decode_u32(r + 4)),
                       static_cast<uint8_t>(r[8] != 0), decode_u32(r + 9)});
    }
  });
  for (const _CStgSlotItem& slot : slots) {
    if (slot.size <= 0) throw storage_errors::invalid_slot_size();
    if (slot.in_use == 0) idle_slots.push_back(slot.offset);
  }
  kept_.clear();
  std::vector<bool>().swap(pending_);
  chains_ = slots.empty() ? chain_state::apart : chain_state::unchecked;
}

void _CObjectStorage::check_chains(const std::vector<uint32_t>& ids) {
  chains_ = chain_state::shared;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].offset < data_begin) return;
    if (i + 1 < slots.size() &&
        uint64_t{slots[i].offset} + static_cast<uint64_t>(slots[i].size) > slots[i + 1].offset) {
      return;
    }
  }
  std::vector<bool> taken(slots.size(), false);
  auto take = [&](const _CStgSlotItem* slot) {
    if (slot == nullptr) return false;
    const size_t k = static_cast<size_t>(slot - slots.data());
    if (taken[k]) return false;
    taken[k] = true;
    return true;
  };
  for (const uint32_t idle : idle_slots) {
    const _CStgSlotItem* slot = find_slot(idle);
    if (!take(slot) || slot->in_use != 0) return;
  }
  for (const uint32_t id : ids) {
    int32_t length = 0;
    for (uint32_t at = id; at != kNoSlot;) {
      const _CStgSlotItem* slot = find_slot(at);
      if (!take(slot) || slot->in_use == 0 || ++length > kMaxChainSlots) return;
      at = slot->next;
    }
  }
  chains_ = chain_state::apart;
}

bool _CObjectStorage::grow_kept_form(uint32_t id, std::vector<uint8_t>& bytes) {
  kept_forms::form* kept = kept_.peek(id);
  const int64_t length = static_cast<int64_t>(bytes.size());
  if (kept == nullptr || kept->room <= 0 || length <= kept->room - kept->last_size) return false;
  // A written form's slots are held again only by the full rewrite, and
  // bytes of the kept form beyond the new one must reach the slots first.
  if (!kept->unwritten || static_cast<int64_t>(kept->bytes.size()) > length) return false;
  if (length > kept->room && kept->slot_count >= kMaxChainSlots - 1) return false;
  forget_probe();
  if (length > kept->room) {
    const _CStgSlotItem added = __alloc_new_slot(static_cast<int32_t>(length - kept->room));
    _CStgSlotItem* last = find_slot(kept->last_slot);
    if (last == nullptr) throw storage_errors::slot_link_failure();
    last->next = added.offset;
    const uint32_t index = static_cast<uint32_t>(slots.size() - 1);
    extend_known_chain(id, index);
    set_pending(index, true);
    kept->room += added.size;
    kept->last_slot = added.offset;
    kept->last_size = added.size;
    ++kept->slot_count;
  }
  modified = true;
  bytes_stored += static_cast<uint64_t>(length);
  kept_.put(id, std::move(bytes), true);
  shed_kept_forms();
  return true;
}

void _CObjectStorage::extend_known_chain(uint32_t id, uint32_t index) {
  const auto known = known_chains_.find(id);
  if (known == known_chains_.end()) return;
  std::vector<uint32_t>& indexes = known->second;
  known_slots_ -= indexes.capacity();
  indexes.push_back(index);
  known_slots_ += indexes.capacity();
  if (known_slots_ > kMaxKnownSlots) forget_chains();
}

void _CObjectStorage::write_form(const std::vector<_CStgSlotItem>& chain,
                                 const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  for (size_t k = 0; k < chain.size() && done < bytes.size(); ++k) {
    prefetch_ahead(chain, k);
    const size_t part = std::min(static_cast<size_t>(chain[k].size), bytes.size() - done);
    stream->seek(static_cast<int32_t>(chain[k].offset), 0);
    stream->write(bytes.data() + done, static_cast<int32_t>(part));
    done += part;
  }
}

void _CObjectStorage::set_pending(size_t index, bool held) {
  if (held && pending_.size() < slots.size()) pending_.resize(slots.size(), false);
  if (index < pending_.size()) pending_[index] = held;
}

void _CObjectStorage::set_pending(const std::vector<uint32_t>& indexes, bool held) {
  for (const uint32_t i : indexes) set_pending(i, held);
}

bool _CObjectStorage::any_pending(const std::vector<uint32_t>& indexes) const {
  if (pending_.empty()) return false;
  for (const uint32_t i : indexes) {
    if (is_pending(i)) return true;
  }
  return false;
}

void _CObjectStorage::stop_keeping() {
  write_kept_forms();
  kept_.clear();
  std::vector<bool>().swap(pending_);
  chains_ = chain_state::shared;
}

void _CObjectStorage::write_kept_form(uint32_t id) {
  kept_forms::form* kept = kept_.peek(id);
  if (kept == nullptr || !kept->unwritten) return;
  _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
  write_form(*gather_chain(id, own, true), kept->bytes);
  set_pending(chain_indexes_, false);
  kept->unwritten = false;
}

void _CObjectStorage::write_kept_forms() {
  // The slots of a chain lie all over the file: the parts of every form go
  // in file order, so that each page of the file is taken once.
  struct part {
    uint32_t offset;
    int32_t length;
    const uint8_t* bytes;
  };
  std::vector<part> parts;
  std::vector<uint32_t> held;
  const std::vector<uint32_t> ids = kept_.unwritten_ids();
  for (const uint32_t id : ids) {
    const std::vector<uint8_t>& bytes = kept_.peek(id)->bytes;
    _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
    size_t done = 0;
    const std::vector<_CStgSlotItem>& chain = *gather_chain(id, own, true);
    held.insert(held.end(), chain_indexes_.begin(), chain_indexes_.end());
    for (const _CStgSlotItem& slot : chain) {
      if (done >= bytes.size()) break;
      const size_t length = std::min(static_cast<size_t>(slot.size), bytes.size() - done);
      parts.push_back(part{slot.offset, static_cast<int32_t>(length), bytes.data() + done});
      done += length;
    }
  }
  std::sort(parts.begin(), parts.end(),
            [](const part& a, const part& b) { return a.offset < b.offset; });
  for (const part& p : parts) {
    stream->seek(static_cast<int32_t>(p.offset), 0);
    stream->write(p.bytes, p.length);
  }
  set_pending(held, false);
  for (const uint32_t id : ids) kept_.peek(id)->unwritten = false;
}

void _CObjectStorage::shed_kept_forms() {
  if (kept_.bytes() <= kept_.bound()) return;
  // All at once, in file order, then the least recently used go until a
  // quarter of the bound is free: written one by one, each form would load
  // a page of the file for every slot of its chain.
  write_kept_forms();
  kept_.drop_oldest_until(kept_.bound() / 4 * 3);
}

void _CObjectStorage::check_slots_within(int64_t file_size) const {
  for (const _CStgSlotItem& slot : slots) {
    if (static_cast<int64_t>(slot.offset) + slot.size > file_size) {
      throw storage_errors::invalid_slot_size();
    }
  }
}

void _CObjectStorage::_save_stg_slots(_stream& to) {
  forget_probe();
  write_u32(to, static_cast<uint32_t>(slots.size()));
  for (const _CStgSlotItem& slot : slots) {
    write_u32(to, slot.offset);
    write_u32(to, static_cast<uint32_t>(slot.size));
    write_u8(to, slot.in_use);
    write_u32(to, slot.next);
  }
  modified = false;
}

int32_t _CObjectStorage::free_object(uint32_t id) {
  forget_probe();
  // Freed slots keep their bytes: those of the kept form.
  write_kept_form(id);
  kept_.erase(id);
  if (!pending_.empty()) {
    // A chain that runs into a kept one would make its slots idle.
    // A damaged chain fails in the walk below, as far as it goes.
    _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
    try {
      gather_chain(id, own, false);
    } catch (const _exception&) {
    }
    if (any_pending(chain_indexes_)) stop_keeping();
  }
  forget_chain(id);
  __CPredRecycleSlots recycle(&idle_slots);
  const int32_t freed = __go_through_slot_link(id, recycle);
  if (freed >= 1) modified = true;
  return freed;
}

int32_t _CObjectStorage::remaining(const _memstream& memory) {
  const _memadapter& adapter = *memory.adapter_of();
  return static_cast<int32_t>(adapter.buffer.size()) - adapter.position;
}

std::vector<_CStgSlotItem>* _CObjectStorage::gather_chain(
    uint32_t id, _CDeferObjDeletionList<std::vector<_CStgSlotItem>>& own, bool remember) {
  own.push_back(new std::vector<_CStgSlotItem>());
  std::vector<_CStgSlotItem>* chain = own.back();
  if (recall_chain(id, *chain)) return chain;
  chain->clear();
  chain_indexes_.clear();
  // The collector's copies come from the records themselves, so each one's
  // place in `slots` is its address less the array's.
  struct collect_with_indexes : __CPredCollectLinkedSlotItem {
    collect_with_indexes(std::vector<_CStgSlotItem>* list, const _CStgSlotItem* base,
                         std::vector<uint32_t>* indexes)
        : __CPredCollectLinkedSlotItem(list), base(base), indexes(indexes) {}
    bool operator()(_CStgSlotItem& slot) override {
      indexes->push_back(static_cast<uint32_t>(&slot - base));
      return __CPredCollectLinkedSlotItem::operator()(slot);
    }
    const _CStgSlotItem* base;
    std::vector<uint32_t>* indexes;
  } collect(chain, slots.data(), &chain_indexes_);
  __go_through_slot_link(id, collect);
  if (remember) remember_chain(id);
  return chain;
}

bool _CObjectStorage::recall_chain(uint32_t id, std::vector<_CStgSlotItem>& chain) {
  if (slots.size() != indexed_slots_ && !slot_index_deferred()) index_slots();
  if (!direct_lookup_ || indexed_slots_ != slots.size()) return false;
  const auto known = known_chains_.find(id);
  if (known == known_chains_.end()) return false;
  const std::vector<uint32_t>& indexes = known->second;
  // A rewrite may have taken a chain past the length a walk accepts: the
  // walk reports it.
  if (indexes.size() > static_cast<size_t>(kMaxChainSlots)) return false;
  chain.reserve(indexes.size());
  uint32_t expected = id;
  for (const uint32_t i : indexes) {
    if (i >= slots.size() || slots[i].offset != expected) return false;
    chain.push_back(slots[i]);
    expected = slots[i].next;
  }
  if (expected != kNoSlot) return false;
  chain_indexes_ = indexes;
  return true;
}

void _CObjectStorage::remember_chain(uint32_t id) {
  if (chain_indexes_.size() < kMinKnownChain) {
    // A chain that shrank below the bound is walked again next time.
    forget_chain(id);
    return;
  }
  // The bound counts the room the kept indexes take, not only the indexes:
  // the scratch grows with the longest chain gathered, so room it does not
  // need is given back before it is kept.
  if (chain_indexes_.capacity() > 2 * chain_indexes_.size() + 16) chain_indexes_.shrink_to_fit();
  std::vector<uint32_t>& known = known_chains_[id];
  known_slots_ -= known.capacity();
  if (known_slots_ + chain_indexes_.capacity() > kMaxKnownSlots) {
    forget_chains();
    return;
  }
  // chain_indexes_ is scratch that the next gather refills: no copy.
  known.swap(chain_indexes_);
  known_slots_ += known.capacity();
}

void _CObjectStorage::forget_chain(uint32_t id) {
  const auto known = known_chains_.find(id);
  if (known == known_chains_.end()) return;
  known_slots_ -= known->second.capacity();
  known_chains_.erase(known);
}

void _CObjectStorage::forget_chains() {
  std::unordered_map<uint32_t, std::vector<uint32_t>>().swap(known_chains_);
  known_slots_ = 0;
}

}  // namespace velkor
