// The slot region of the index file: slots from offset 512 on, end to end,
// each stored object a chain of linked slots. The slot records live in
// memory, as the slot table section lies, and are written back as it at
// save; the object bytes live in the slots. New chains take idle slots
// first, then at most one new slot appended at the end of the file;
// appending resizes the file at once.
//
// The storage keeps the stored forms it writes (see stored_forms.h) and
// puts them into their slots in file order, when they pass their bound and
// at the save. Each slot belongs to one chain, so the slots end up with the
// same bytes as if every form had gone into them at once. Only a damaged
// file reaches a kept form's slots otherwise than through its own id and
// kind (two chains sharing a slot, a path entry listing a path entry, the
// middle of a chain taken for an object): then every form is written out
// and the storage writes through for the rest of the session.
#ifndef VELKOR_STORAGE_OBJECT_STORAGE_H_
#define VELKOR_STORAGE_OBJECT_STORAGE_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/file_format.h"
#include "storage/defer_deletion_list.h"
#include "storage/idle_list.h"
#include "storage/slot_item.h"
#include "storage/storage_errors.h"
#include "storage/stored_forms.h"
#include "stream/memstream.h"
#include "stream/stream.h"

namespace velkor {

// Copies n bytes (all that is left when n < 0, at most what the source holds)
// from the source's position to the destination's; returns the count.
int32_t __copy_stream(_stream& destination, _stream& source, int32_t n);

class _CObjectStorage {
 public:
  // An object is gathered only as far as the file really holds bytes (a
  // sparse file's holes hold none), but up to this much in any case.
  static constexpr int64_t kMinLoadBound = int64_t{1} << 20;

  // Chain walk predicates: return true to go on.
  struct __CPredCollectLinkedSlotItem {
    explicit __CPredCollectLinkedSlotItem(std::vector<_CStgSlotItem>* list) : list(list) {}
    virtual ~__CPredCollectLinkedSlotItem() = default;
    virtual bool operator()(_CStgSlotItem& slot) {
      list->push_back(slot);
      return true;
    }
    std::vector<_CStgSlotItem>* list;
  };
  struct __CPredRecycleSlots {
    explicit __CPredRecycleSlots(idle_list* idle) : idle(idle) {}
    bool operator()(_CStgSlotItem& slot) {
      slot.in_use = 0;
      slot.next = kNoSlot;
      idle->push_back(slot.offset);
      return true;
    }
    idle_list* idle;
  };

  explicit _CObjectStorage(_stream* stream) : stream(stream) {}
  _CObjectStorage(const _CObjectStorage&) = delete;
  _CObjectStorage& operator=(const _CObjectStorage&) = delete;

  // Slot table.
  _CStgSlotItem __alloc_new_slot(int32_t n);
  void __alloc_stg_slots(int32_t n, std::vector<_CStgSlotItem>& out);
  // Reads the section at the stream's position. Besides the size of each
  // record, refuses (as an invalid slot size) a slot that reaches past the
  // end of the file: a saved index keeps its sections behind the slot
  // region, so only a damaged file has one, and the next appended slot
  // would grow the file (and the objects read back from it) towards 2 GiB.
  void _load_stg_slots(_stream& from);
  // Reads the section as _load_stg_slots does (the same reads, the same
  // checks and errors) but leaves the records in the file, where lookups
  // read them, until they are held: after lookups have cost about what
  // loading them would, or before anything changes or lists them. A host
  // that opens an index for a query reads the table once, in blocks, and
  // holds none of it.
  void _map_stg_slots(_stream& from);
  // Holds the records of a mapped table in `slots`.
  void hold_slots();
  size_t slot_count() const { return mapped_at_ < 0 ? slots.size() : mapped_count_; }
  void _save_stg_slots(_stream& to);

  // The record whose offset is `id` (binary search), or null.
  _CStgSlotItem* find_slot(uint32_t id);
  // The end of slot data: behind the last slot, or data_begin.
  uint32_t data_end() const;

  // Chains.
  template <class Pred>
  int32_t __go_through_slot_link(uint32_t first, Pred& pred);
  // Frees the chain of `id` into the idle list; returns the slots freed.
  int32_t free_object(uint32_t id);

  template <class Obj>
  uint32_t _save_new_object(const Obj& object);
  template <class Obj>
  void _save_object_at(uint32_t id, const Obj& object);
  // The bytes a key read took from the front of a chain, for the load of
  // the whole object that follows it: the load does not read them again.
  // The caller owns them for the two calls; nothing keeps them.
  struct first_bytes {
    uint32_t id = kNoSlot;
    int32_t count = 0;
    uint8_t bytes[4096];
  };

  template <class Obj>
  bool _load_object_entire(uint32_t id, Obj& object, const first_bytes* first = nullptr);
  template <class Obj>
  bool _load_object_partial(uint32_t id, typename Obj::key_type& key, first_bytes* first = nullptr);

  // Puts every kept form into its slots that is not there yet, in file
  // order. The save calls it before it writes the sections.
  void write_forms() {
    write_run();
    write_kept_forms();
  }
  // Tests make the bound small (0: every form is written at once).
  void bound_forms(size_t bytes) { forms_.set_bound(bytes); }

  _stream* stream;
  uint32_t data_begin = format::kDataBegin;
  int32_t slot_size = format::kDefaultSlotSize;
  std::vector<_CStgSlotItem> slots;
  idle_list idle_slots;
  bool modified = false;

 private:
  // One tag per kind of object, to tell the kinds' forms apart.
  template <class Obj>
  static const void* kind_of() {
    static const char tag = 0;
    return &tag;
  }
  // Whether the storage keeps forms: not once a damaged file has crossed
  // them, nor for a slot table whose slots overlap.
  bool keeping() const { return keeping_; }
  // The place of a record in `slots`.
  uint32_t index_of(const _CStgSlotItem* slot) const {
    return static_cast<uint32_t>(slot - slots.data());
  }
  // Whether the records at `indexes` belong to no kept form but `id`'s.
  bool owned_by_none_but(const std::vector<uint32_t>& indexes, uint32_t id) const;
  void claim(const std::vector<uint32_t>& indexes, uint32_t id);
  void release(const std::vector<uint32_t>& indexes);
  // A damaged file reached a kept form's slots otherwise than through its
  // own id and kind: writes every form out and keeps none from now on.
  void stop_keeping();
  // Puts the kept forms into their slots, in file order.
  void write_kept_forms();
  // Writes `bytes` across the slots of `chain` (records by place) from the
  // first on, as much into each slot as it holds.
  void write_image(const std::vector<uint32_t>& chain, const std::vector<uint8_t>& bytes);
  // Keeps `bytes` as the form of `id` over the chain whose records are at
  // `chain`, not yet in the slots; sheds forms past the bound.
  void keep_form(uint32_t id, const void* kind, const std::vector<uint8_t>& bytes,
                 const std::vector<uint32_t>& chain);
  // A rewrite of a kept form whose new bytes end in the last slot of its
  // chain or beyond: at most a slot is appended and linked, the chain is not
  // walked. False when the rewrite must walk the chain.
  bool grow_form(uint32_t id, const void* kind, std::vector<uint8_t>& bytes);
  // Writes forms out and lets some go, when they pass their bounds.
  void shed_forms();
  // New objects whose one slot was appended where the file held no bytes
  // (at or behind its end before the append) lie end to end: their forms
  // are kept as one run, with the zeros of each slot's room, and go into
  // the file in one transfer, without a form each. The run is written
  // before anything reads or writes one of its slots otherwise, before a
  // chain is freed, once it passes a quarter of the forms' bound, and at
  // the save; what the file ends up holding is what writing each form at
  // once would leave. A slot whose room is kMaxRunRoom or more past its
  // form (a damaged header's huge slot size) takes a form of its own, so
  // that no room is held in memory.
  static constexpr int32_t kMaxRunRoom = 4096;
  struct appended_run {
    uint32_t begin = 0;
    std::vector<uint8_t> bytes;
    int64_t end() const { return int64_t{begin} + static_cast<int64_t>(bytes.size()); }
  };
  // Writes the run; one that fails stays, to be written again.
  void write_run();
  // Writes the run when a slot of `chain` lies in it.
  void write_run_under(const std::vector<_CStgSlotItem>& chain);
  void let_go(uint32_t id);
  // The records of the chain of `id` in chain order, and their places.
  void gather_chain(uint32_t id, std::vector<_CStgSlotItem>& chain, std::vector<uint32_t>& indexes);
  // Reads `object` from `bytes`, which are lent to a memory stream.
  template <class Obj>
  static void load_from(std::vector<uint8_t>& bytes, Obj& object);
  template <class Obj>
  static void load_key_from(std::vector<uint8_t>& bytes, typename Obj::key_type& key);
  // The stored form of `object`, made in `out`, whose room is reused.
  template <class Obj>
  static void serialize_into(const Obj& object, std::vector<uint8_t>& out) {
    _memadapter adapter;
    adapter.buffer.swap(out);
    adapter.buffer.clear();
    {
      _memstream memory(&adapter);
      object.save(memory);
    }
    out.swap(adapter.buffer);
  }

  // What a key read takes at once (no key is longer than 130 bytes).
  static constexpr int32_t kLengthProbe = 256;
  // Bytes read from a chain before its stored form's length is known: most
  // forms of a sound file are shorter, so most loads take one transfer.
  static constexpr int32_t kFirstRead = 4096;
  static_assert(sizeof(first_bytes::bytes) == kFirstRead, "the first read fits its bytes");

  // A mapped table: where its records lie in the file (-1: they are held),
  // how many, the lookups made in it, and the record the last one read.
  int64_t mapped_at_ = -1;
  size_t mapped_count_ = 0;
  size_t mapped_lookups_ = 0;
  _CStgSlotItem looked_up_;
  // Lookups in a mapped table before it is held: a lookup reads about a
  // dozen records, holding it reads them all.
  static constexpr size_t kMappedLookups = 64;
  // The records from `first` on, `count` of them, as the table holds them.
  void read_slots(size_t first, size_t count, _CStgSlotItem* out);
  // Checks a table's records as a load does, in pieces; keeps the idle list
  // and whether the slots lie apart.
  struct slot_checks {
    int64_t end;
    bool apart = true;
    bool bad_size = false;
    bool past_file = false;
    bool odd_in_use = false;
  };
  void check_slots(const _CStgSlotItem* records, size_t count, int64_t file_size,
                   slot_checks& checks);

  stored_forms forms_;
  record_owners owners_;
  // Scratch room of the writes: an object's bytes, a new object's chain
  // and the places of its records.
  std::vector<uint8_t> rewrite_;
  std::vector<_CStgSlotItem> new_chain_;
  std::vector<uint32_t> new_indexes_;
  appended_run run_;
  bool keeping_ = true;
};

// The length of a stored form from its first `n` bytes, or -1 while they do
// not tell it (or the kind cannot say).
template <class Obj>
auto stored_length_of(const uint8_t* bytes, size_t n) -> decltype(Obj::stored_length(bytes, n)) {
  return Obj::stored_length(bytes, n);
}
template <class Obj, class... Ignored>
int64_t stored_length_of(const uint8_t*, size_t, Ignored...) {
  return -1;
}

// The key from the first `n` bytes of a stored form, when they hold it (and
// the kind can say). The last argument is 0: the int overload is preferred
// when the kind has key_from.
template <class Obj>
auto key_of_bytes(const uint8_t* bytes, size_t n, typename Obj::key_type& key, int)
    -> decltype(Obj::key_from(bytes, n, key)) {
  return Obj::key_from(bytes, n, key);
}
template <class Obj>
bool key_of_bytes(const uint8_t*, size_t, typename Obj::key_type&, long) {
  return false;
}

template <class Pred>
int32_t _CObjectStorage::__go_through_slot_link(uint32_t first, Pred& pred) {
  if (first == kNoSlot) return 0;
  int32_t count = 0;
  uint32_t id = first;
  for (;;) {
    _CStgSlotItem* slot = find_slot(id);
    if (slot == nullptr) throw storage_errors::invalid_slot_link();
    // A walk longer than the number of records has met a slot twice and can
    // only end at the length limit: stop it now.
    if (static_cast<size_t>(count) >= slot_count()) throw storage_errors::too_many_slots_linked();
    const uint32_t next = slot->next;
    if (!pred(*slot)) return count;
    ++count;
    if (count > format::kMaxChainSlots) throw storage_errors::too_many_slots_linked();
    if (next == kNoSlot) return count;
    id = next;
  }
}

template <class Obj>
uint32_t _CObjectStorage::_save_new_object(const Obj& object) {
  hold_slots();
  // Made in the scratch room and copied into its form.
  std::vector<uint8_t>& bytes = rewrite_;
  serialize_into(object, bytes);
  modified = true;
  const int32_t length = static_cast<int32_t>(bytes.size());
  std::vector<_CStgSlotItem>& chain = new_chain_;
  chain.clear();
  const int64_t held = stream->_size();
  __alloc_stg_slots(length, chain);
  if (chain.empty()) return kNoSlot;
  const uint32_t id = chain.front().offset;
  // The places of the records taken; a damaged slot table may not find
  // them again (records out of order), and its chains are written at once.
  std::vector<uint32_t>& indexes = new_indexes_;
  indexes.clear();
  for (const _CStgSlotItem& slot : chain) {
    // A slot appended just now is the last record of a table whose records
    // lie apart (so in order), where the search would find it.
    const _CStgSlotItem* record = keeping() && slots.back().offset == slot.offset
                                      ? &slots.back()
                                      : find_slot(slot.offset);
    if (record == nullptr) break;
    indexes.push_back(index_of(record));
  }
  const bool placed = indexes.size() == chain.size();
  // An idle slot that a kept chain holds: the idle list is damaged.
  if (keeping() && (!placed || !owned_by_none_but(indexes, id))) stop_keeping();
  if (keeping() && chain.size() == 1 && int64_t{id} >= held &&
      chain.front().size - length < kMaxRunRoom) {
    if (!run_.bytes.empty() && int64_t{id} != run_.end()) write_run();
    if (run_.bytes.empty()) run_.begin = id;
    run_.bytes.insert(run_.bytes.end(), bytes.begin(), bytes.end());
    run_.bytes.resize(run_.bytes.size() + static_cast<size_t>(chain.front().size - length));
    if (run_.bytes.size() > forms_.bound() / 4) write_run();
  } else if (keeping() && indexes.size() < static_cast<size_t>(format::kMaxChainSlots)) {
    keep_form(id, kind_of<Obj>(), bytes, indexes);
  } else {
    size_t done = 0;
    for (const _CStgSlotItem& slot : chain) {
      if (done >= bytes.size()) break;
      const size_t part = std::min(static_cast<size_t>(slot.size), bytes.size() - done);
      stream->seek(static_cast<int32_t>(slot.offset), 0);
      stream->write(bytes.data() + done, static_cast<int32_t>(part));
      done += part;
    }
  }
  return id;
}

template <class Obj>
void _CObjectStorage::_save_object_at(uint32_t id, const Obj& object) {
  hold_slots();
  // A rewrite is made in the same scratch room each time and copied into
  // the form it replaces, whose room fits it unless it grew: rewriting a
  // kept form seldom allocates. (Forms are counted by their room, so the
  // scratch's is never handed on.)
  std::vector<uint8_t>& bytes = rewrite_;
  serialize_into(object, bytes);
  if (const stored_forms::form* kept = forms_.peek(id)) {
    if (kept->kind != kind_of<Obj>()) stop_keeping();
  }
  if (keeping() && grow_form(id, kind_of<Obj>(), bytes)) return;

  _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
  own.push_back(new std::vector<_CStgSlotItem>());
  std::vector<_CStgSlotItem>& chain = *own.back();
  std::vector<uint32_t> indexes;
  gather_chain(id, chain, indexes);
  if (chain.empty()) throw storage_errors::save_at_invalid_slot();
  write_run_under(chain);
  if (keeping() && !owned_by_none_but(indexes, id)) stop_keeping();
  if (stored_forms::form* kept = forms_.peek(id)) {
    // The slots hold what was written before the kept form. What the new
    // form does not cover, in the slots it keeps and those it gives up,
    // must be the kept form's bytes.
    if (kept->unwritten && kept->image.size() > bytes.size()) {
      write_image(kept->chain, kept->image);
      kept->unwritten = false;
    }
    release(kept->chain);
    forms_.erase(id);
  }

  const int64_t length = static_cast<int64_t>(bytes.size());
  int64_t done = 0;
  std::vector<uint32_t> kept_indexes;
  uint32_t last_written = kNoSlot;
  for (size_t k = 0; k < chain.size(); ++k) {
    const _CStgSlotItem& slot = chain[k];
    if (done < length) {
      done += slot.size;
      last_written = slot.offset;
      kept_indexes.push_back(indexes[k]);
    } else {
      _CStgSlotItem* surplus = find_slot(slot.offset);
      if (surplus == nullptr) throw storage_errors::invalid_slot_id();
      __CPredRecycleSlots recycle(&idle_slots);
      recycle(*surplus);
    }
    modified = true;
  }

  if (done >= length) {
    if (last_written == kNoSlot) throw storage_errors::zero_size_object();
    _CStgSlotItem* last = find_slot(last_written);
    if (last != nullptr && last->next != kNoSlot) {
      last->next = kNoSlot;
      modified = true;
    }
  } else {
    const _CStgSlotItem added = __alloc_new_slot(static_cast<int32_t>(length - done));
    modified = true;
    _CStgSlotItem* last = find_slot(last_written);
    if (last == nullptr) throw storage_errors::slot_link_failure();
    last->next = added.offset;
    kept_indexes.push_back(static_cast<uint32_t>(slots.size() - 1));
  }
  // A chain that this rewrite may take past the length a walk accepts is
  // written through, so that its next load walks it and refuses it.
  if (keeping() && kept_indexes.size() < static_cast<size_t>(format::kMaxChainSlots)) {
    keep_form(id, kind_of<Obj>(), bytes, kept_indexes);
  } else {
    write_image(kept_indexes, bytes);
  }
}

template <class Obj>
bool _CObjectStorage::_load_object_entire(uint32_t id, Obj& object, const first_bytes* first) {
  if (stored_forms::form* kept = forms_.find(id)) {
    if (kept->kind == kind_of<Obj>()) {
      load_from(kept->image, object);
      return true;
    }
    stop_keeping();
  }
  _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
  own.push_back(new std::vector<_CStgSlotItem>());
  std::vector<_CStgSlotItem>& chain = *own.back();
  std::vector<uint32_t> indexes;
  gather_chain(id, chain, indexes);
  if (chain.empty()) return false;
  write_run_under(chain);
  // A chain that runs into a kept one reads the bytes a write would have
  // left there.
  if (keeping() && !owned_by_none_but(indexes, kNoSlot)) stop_keeping();
  // Only the bytes of the stored form are gathered, once its leading fields
  // tell its length: the rest of the last slot is never read, and a slot
  // made huge by a damaged header's slot size costs no memory. No object of
  // a sound file is larger than the bytes the file holds either: slots of
  // a damaged chain that overlap, or that lie in the holes of a sparse file,
  // are not gathered beyond that.
  const int64_t limit =
      std::min<int64_t>(stream->_size(), std::max<int64_t>(stream->real_size(), kMinLoadBound));
  _memadapter adapter;
  int64_t needed = -1;
  int64_t gathered = 0;
  for (size_t k = 0; k < chain.size(); ++k) {
    // Slots that follow each other in the file are read in one transfer.
    size_t last = k;
    int64_t span = chain[k].size;
    while (last + 1 < chain.size() &&
           int64_t{chain[last].offset} + chain[last].size == int64_t{chain[last + 1].offset}) {
      ++last;
      span += chain[last].size;
    }
    for (size_t i = k; i <= last; ++i) {
      if (chain[i].in_use == 0) {
        throw storage_errors::idle_slot_in_chain("_CObjectStorage::_load_object_entire");
      }
    }
    for (int64_t within = 0; within < span && gathered < limit;) {
      const int64_t want = std::min(needed < 0 ? kFirstRead : needed - gathered, limit - gathered);
      const int32_t chunk = static_cast<int32_t>(std::min(span - within, want));
      if (chunk <= 0) break;
      const int32_t at = static_cast<int32_t>(chain[k].offset + static_cast<uint32_t>(within));
      // A slot that reaches past the end of the file gives what it holds.
      const int32_t count = std::min<int32_t>(chunk, std::max(stream->_size() - at, 0));
      if (count <= 0) break;
      adapter.buffer.resize(static_cast<size_t>(gathered + count));
      if (first != nullptr && first->id == id && gathered == 0 && at == static_cast<int32_t>(id) &&
          count <= first->count) {
        std::memcpy(adapter.buffer.data(), first->bytes, static_cast<size_t>(count));
      } else {
        stream->seek(at, 0);
        stream->read(adapter.buffer.data() + gathered, count);
      }
      gathered += count;
      if (count < chunk) break;
      within += chunk;
      if (needed < 0) needed = stored_length_of<Obj>(adapter.buffer.data(), adapter.buffer.size());
    }
    k = last;
  }
  _memstream memory(&adapter);
  object.load(memory);
  return true;
}

template <class Obj>
bool _CObjectStorage::_load_object_partial(uint32_t id, typename Obj::key_type& key,
                                           first_bytes* first) {
  if (stored_forms::form* kept = forms_.peek(id)) {
    if (kept->kind == kind_of<Obj>()) {
      if (!key_of_bytes<Obj>(kept->image.data(), kept->image.size(), key, 0)) {
        load_key_from<Obj>(kept->image, key);
      }
      return true;
    }
    stop_keeping();
  }
  const _CStgSlotItem* slot = find_slot(id);
  if (slot == nullptr) return false;
  if (owners_.of(index_of(slot)) != record_owners::kNone) stop_keeping();
  if (int64_t{slot->offset} + slot->size > run_.begin && int64_t{slot->offset} < run_.end()) {
    write_run();
  }
  if (slot->in_use == 0) {
    throw storage_errors::idle_slot_in_chain("_CObjectStorage::_load_object_partial");
  }
  // The key in one read; with `first`, as much as a load reads first, so
  // that the load of the object that usually follows reads nothing again.
  first_bytes local;
  first_bytes& probe = first != nullptr ? *first : local;
  const int32_t wanted = first != nullptr ? kFirstRead : kLengthProbe;
  stream->seek(static_cast<int32_t>(slot->offset), 0);
  const int32_t got = stream->_read(probe.bytes, wanted);
  probe.id = got > 0 ? id : kNoSlot;
  probe.count = std::max(got, 0);
  if (got > 0 && key_of_bytes<Obj>(probe.bytes, static_cast<size_t>(got), key, 0)) return true;
  probe.id = kNoSlot;
  // The file ends before the key does, the key is damaged, or the read
  // failed: the key is read again field by field, which tells what is wrong.
  stream->seek(static_cast<int32_t>(slot->offset), 0);
  Obj::load_key(*stream, key);
  return true;
}

// The bytes go back to their owner whatever the load does.
struct lent_bytes {
  lent_bytes(std::vector<uint8_t>& owner, _memadapter& adapter) : owner(owner), adapter(adapter) {
    adapter.buffer.swap(owner);
  }
  ~lent_bytes() { adapter.buffer.swap(owner); }
  lent_bytes(const lent_bytes&) = delete;
  lent_bytes& operator=(const lent_bytes&) = delete;
  std::vector<uint8_t>& owner;
  _memadapter& adapter;
};

template <class Obj>
void _CObjectStorage::load_from(std::vector<uint8_t>& bytes, Obj& object) {
  _memadapter adapter;
  const lent_bytes lent(bytes, adapter);
  _memstream memory(&adapter);
  object.load(memory);
}

template <class Obj>
void _CObjectStorage::load_key_from(std::vector<uint8_t>& bytes, typename Obj::key_type& key) {
  _memadapter adapter;
  const lent_bytes lent(bytes, adapter);
  _memstream memory(&adapter);
  Obj::load_key(memory, key);
}

}  // namespace velkor

#endif  // VELKOR_STORAGE_OBJECT_STORAGE_H_
