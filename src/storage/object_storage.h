// The slot region of the index file: slots from offset 512 on, end to end,
// each stored object a chain of linked slots. The slot records live in
// memory and in the slot table section written at save; the object bytes
// live in the slots. New chains take idle slots first, then at most one new
// slot appended at the end of the file; appending resizes the file at once.
#ifndef VELKOR_STORAGE_OBJECT_STORAGE_H_
#define VELKOR_STORAGE_OBJECT_STORAGE_H_

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "storage/defer_deletion_list.h"
#include "storage/kept_forms.h"
#include "storage/slot_item.h"
#include "storage/storage_errors.h"
#include "stream/memstream.h"
#include "stream/stream.h"

namespace velkor {

// Copies n bytes (all that is left when n < 0, at most what the source holds)
// from the source's position to the destination's; returns the count.
int32_t __copy_stream(_stream& destination, _stream& source, int32_t n);
// The same copies when one side is a memory stream: the bytes move straight
// between its buffer and the other stream, in the same blocks and with the
// same checked reads and writes, without the copy buffer in between.
int32_t __copy_stream(_memstream& destination, _stream& source, int32_t n);
int32_t __copy_stream(_stream& destination, _memstream& source, int32_t n);
int32_t __copy_stream(_memstream& destination, _memstream& source, int32_t n);

class _CObjectStorage {
 public:
  static constexpr uint32_t kDataBegin = 512;
  static constexpr int32_t kDefaultSlotSize = 32;
  static constexpr int32_t kMaxChainSlots = 0x10000;
  // Files may not grow to this size minus the request (2 GiB - 8 MiB - 1).
  static constexpr int32_t kFileSizeLimit = 0x7F7FFFFF;
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
    explicit __CPredRecycleSlots(std::vector<uint32_t>* idle) : idle(idle) {}
    virtual ~__CPredRecycleSlots() = default;
    virtual bool operator()(_CStgSlotItem& slot) {
      slot.in_use = 0;
      slot.next = kNoSlot;
      idle->push_back(slot.offset);
      return true;
    }
    std::vector<uint32_t>* idle;
  };

  explicit _CObjectStorage(_stream* stream) : stream(stream) {}
  _CObjectStorage(const _CObjectStorage&) = delete;
  _CObjectStorage& operator=(const _CObjectStorage&) = delete;

  // Slot table.
  _CStgSlotItem __alloc_new_slot(int32_t n);
  void __alloc_stg_slots(int32_t n, std::vector<_CStgSlotItem>& out);
  void _load_stg_slots(_stream& from);
  void _save_stg_slots(_stream& to);
  // Raises the invalid-slot-size error for a slot that reaches past
  // `file_size`. A saved index keeps its sections behind the slot region,
  // so only a damaged file has one; it would make the next appended slot
  // grow the file (and the objects read back from it) towards 2 GiB.
  void check_slots_within(int64_t file_size) const;

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
  template <class Obj>
  bool _load_object_entire(uint32_t id, Obj& object);
  template <class Obj>
  bool _load_object_partial(uint32_t id, typename Obj::key_type& key);

  // While set, _save_object_at keeps the stored forms it writes back and
  // leaves their slot bytes to be written when a form leaves the kept ones
  // (past their bound, when its chain is freed or shrinks, at
  // write_kept_forms), provided no two chains share a slot. Loads of a kept
  // object read its form. Since each slot belongs to one chain, the slots
  // end up with the same bytes as if every form had been written at once.
  // Only a damaged index reaches the slots of a kept form otherwise than
  // through its own id and kind (a path entry listing a path entry, or the
  // middle of a chain, as a token entry): then every form is written out
  // and none is kept for the rest of the session.
  bool keeping = false;
  // Chains shorter than this many slots are written through: their forms
  // cost little to gather or scatter, and an index of many rare tokens
  // would fill the bound with forms never read again. The save keeps all,
  // so that their slots are written in file order.
  int32_t keep_from_slots = 0;
  // Whether the chains of a loaded slot table are still to be checked.
  bool chains_unchecked() const { return chains_ == chain_state::unchecked; }
  // Checks that the slots lie apart, that the chains of `ids` (every stored
  // object) are made of slots in use, none in two chains or twice in one,
  // and that no idle slot is in one. Only then are forms kept.
  void check_chains(const std::vector<uint32_t>& ids);
  // Writes every kept form into its slots that is not there yet.
  void write_kept_forms();
  // Tests make the bound small (0: every form is written at once).
  void bound_kept_forms(size_t bytes) { kept_.set_bound(bytes); }

  _stream* stream;
  uint32_t data_begin = kDataBegin;
  int32_t slot_size = kDefaultSlotSize;
  std::vector<_CStgSlotItem> slots;
  std::vector<uint32_t> idle_slots;
  bool modified = false;
  // Bytes of stored forms written into chains and gathered from them, for
  // the benchmark's account of what the caches move.
  uint64_t bytes_stored = 0;
  uint64_t bytes_gathered = 0;

 private:
  enum class chain_state { unchecked, apart, shared };
  // A new index has no chains to share slots.
  chain_state chains_ = chain_state::apart;
  kept_forms kept_;
  // The slots whose bytes an unwritten kept form holds, by record index.
  std::vector<bool> pending_;
  bool keeps() const { return keeping && chains_ == chain_state::apart; }
  // One tag per kind of object, to tell the kinds' forms apart.
  template <class Obj>
  static const void* kind_of() {
    static const char tag = 0;
    return &tag;
  }
  // Marks or clears the record at `index`, or those at `indexes`, as held
  // by a kept form.
  void set_pending(size_t index, bool held);
  void set_pending(const std::vector<uint32_t>& indexes, bool held);
  // Whether the record at `index`, or any at `indexes`, is held by a kept
  // form.
  bool is_pending(size_t index) const { return index < pending_.size() && pending_[index]; }
  bool any_pending(const std::vector<uint32_t>& indexes) const;
  // The index was reached otherwise than through a kept form's own id and
  // kind: writes every kept form out and keeps none from now on.
  void stop_keeping();
  // Writes `bytes` across `chain` from its first slot on, as much into each
  // slot as it holds.
  void write_form(const std::vector<_CStgSlotItem>& chain, const std::vector<uint8_t>& bytes);
  // A rewrite of a kept object whose new form ends in the last slot of its
  // chain or beyond: the chain is known, so it is not gathered; at most a
  // slot is appended and linked. False when the rewrite needs the chain.
  bool grow_kept_form(uint32_t id, std::vector<uint8_t>& bytes);
  // Adds the record at `index` to the end of the remembered chain of `id`.
  void extend_known_chain(uint32_t id, uint32_t index);
  // Writes the kept form of `id` into its chain unless it is there.
  void write_kept_form(uint32_t id);
  // Past the bound, writes out every form and lets go of the least
  // recently used.
  void shed_kept_forms();
  // Reads `object` from `bytes`, which are lent to a memory stream.
  template <class Obj>
  static void load_from(std::vector<uint8_t>& bytes, Obj& object);
  template <class Obj>
  static void load_key_from(std::vector<uint8_t>& bytes, typename Obj::key_type& key);

  // Writes the stored form of `object` into `memory` and rewinds it.
  template <class Obj>
  static void serialize(const Obj& object, _memstream& memory) {
    object.save(memory);
    memory.seek(0, 0);
  }
  // What is left behind the memory stream's position: the same as its size
  // less its position, read off the adapter.
  static int32_t remaining(const _memstream& memory);
  // The records of the chain of `id`, in chain order, as the walk collects
  // them; their indexes in `slots` are left in chain_indexes_. A walked
  // chain is remembered when `remember` is set; a caller that changes the
  // chain remembers it itself once it is done (remembering here would hand
  // the indexes over to the kept list and leave the caller the scratch's
  // old contents).
  std::vector<_CStgSlotItem>* gather_chain(uint32_t id,
                                           _CDeferObjDeletionList<std::vector<_CStgSlotItem>>& own,
                                           bool remember);

  // Long chains walked before, by first slot id: the indexes of their
  // records in chain order. Walking a chain is a series of dependent
  // lookups, one cache miss after another; a remembered chain is checked
  // record by record (offset, then the link to the next) with reads that do
  // not wait for each other, and walked again when a check fails. Only
  // while slot ids are unique (the cell index is in use), so that the record
  // with a chain's offset is the one a walk would find. Bounded: past
  // kMaxKnownSlots indexes of room (4 MiB), all are forgotten.
  static constexpr size_t kMinKnownChain = 4;
  static constexpr size_t kMaxKnownSlots = size_t{1} << 20;
  bool recall_chain(uint32_t id, std::vector<_CStgSlotItem>& chain);
  void remember_chain(uint32_t id);
  void forget_chain(uint32_t id);
  void forget_chains();
  std::unordered_map<uint32_t, std::vector<uint32_t>> known_chains_;
  size_t known_slots_ = 0;
  std::vector<uint32_t> chain_indexes_;

  // Slot ids are also found without a search: cell (id - data_begin) / 32
  // holds 1 + the index of the record that starts in it. That holds while
  // the records ascend from data_begin at least 32 bytes apart, as in every
  // file this engine writes; otherwise, and on a miss, the binary search
  // answers, so the answers are always the search's.
  static constexpr int kCellShift = 5;
  // How far ahead of the slot being copied the bytes of a chain's slots are
  // requested from memory.
  static constexpr size_t kPrefetchSlots = 8;
  void prefetch_ahead(const std::vector<_CStgSlotItem>& chain, size_t k) const {
    if (k + kPrefetchSlots >= chain.size()) return;
    const _CStgSlotItem& ahead = chain[k + kPrefetchSlots];
    stream->prefetch(ahead.offset, ahead.size);
  }
  // Bytes gathered from a chain before its stored form's length is known;
  // also what a key read takes at once.
  static constexpr int32_t kLengthProbe = 256;
  // The first bytes of the chain whose key was read last, for the load of
  // the whole entry that usually follows at once: the key is read in one
  // transfer (long enough to pass by the file buffer's pages, so a query's
  // key read loads no 16 KiB page) and the load does not read those bytes
  // again. Only the next _load_object_entire of that chain uses them; every
  // call that writes or reloads slots forgets them.
  struct probe_bytes {
    uint32_t offset = kNoSlot;
    int32_t count = 0;
    uint8_t bytes[kLengthProbe];
  };
  probe_bytes probe_;
  void forget_probe() { probe_.offset = kNoSlot; }
  // At most this many cells per slot record (beyond the first kMinCells),
  // so the index never takes more than 32 bytes per record.
  static constexpr size_t kMaxCellsPerSlot = 8;
  static constexpr size_t kMinCells = 1 << 16;
  void index_slots();
  void reset_slot_index();
  // A slot table just loaded is searched for a while before its cell index
  // is built, as a renter buys once the rent has cost the price: the build
  // takes about 23 ns per record (8 ms for the 350,000 records of the
  // benchmark's index) and a search of such a table from cold memory about
  // 1.5 us, the build of 64 records. A host that opens an index for a few
  // queries never pays for the build; one that indexes or queries a lot
  // pays at most about twice what building at once would have cost.
  static constexpr size_t kSearchesPerIndexedRecord = 64;
  bool slot_index_deferred();
  size_t searches_before_index_ = 0;
  std::vector<uint32_t> slot_cells_;
  size_t indexed_slots_ = 0;
  bool direct_lookup_ = true;
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
    if (static_cast<size_t>(count) >= slots.size()) throw storage_errors::too_many_slots_linked();
    const uint32_t next = slot->next;
    if (!pred(*slot)) return count;
    ++count;
    if (count > kMaxChainSlots) throw storage_errors::too_many_slots_linked();
    if (next == kNoSlot) return count;
    id = next;
  }
}

template <class Obj>
uint32_t _CObjectStorage::_save_new_object(const Obj& object) {
  forget_probe();
  _memadapter adapter;
  _memstream memory(&adapter);
  serialize(object, memory);
  modified = true;
  const int32_t length = remaining(memory);
  bytes_stored += static_cast<uint64_t>(std::max(length, 0));
  std::vector<_CStgSlotItem> chain;
  __alloc_stg_slots(length, chain);
  for (const _CStgSlotItem& slot : chain) {
    stream->seek(static_cast<int32_t>(slot.offset), 0);
    __copy_stream(*stream, memory, slot.size);
  }
  return chain.empty() ? kNoSlot : chain.front().offset;
}

template <class Obj>
void _CObjectStorage::_save_object_at(uint32_t id, const Obj& object) {
  forget_probe();
  _memadapter adapter;
  _memstream memory(&adapter);
  serialize(object, memory);
  _memadapter& form = *memory.adapter_of();
  {
    const kept_forms::form* kept = kept_.peek(id);
    if (kept != nullptr && kept->kind != kind_of<Obj>()) stop_keeping();
  }
  if (keeps() && grow_kept_form(id, form.buffer)) return;
  _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
  std::vector<_CStgSlotItem>& chain = *gather_chain(id, own, false);
  if (chain.empty()) throw storage_errors::save_at_invalid_slot();
  if (!pending_.empty()) {
    if (kept_.peek(id) == nullptr && any_pending(chain_indexes_)) {
      // A chain that runs into a kept one: written as it stands.
      const std::vector<uint32_t> walked = chain_indexes_;
      stop_keeping();
      chain_indexes_ = walked;
    } else {
      // Held again below if the new form is kept; the slots given up are
      // idle, and written through they hold their bytes.
      set_pending(chain_indexes_, false);
    }
  }
  // A chain that this rewrite may take past the length a walk accepts is
  // written through, so that its next load walks it and refuses it.
  const bool keep = keeps() && chain.size() < static_cast<size_t>(kMaxChainSlots) &&
                    chain.size() >= static_cast<size_t>(keep_from_slots);
  bytes_stored += static_cast<uint64_t>(std::max(remaining(memory), 0));
  if (kept_forms::form* kept = kept_.peek(id)) {
    // The slots hold a form older than the kept one. The new form covers
    // the kept one's bytes unless it is shorter; the bytes it leaves, in the
    // slots it gives up too, must be the kept form's.
    if (kept->unwritten && kept->bytes.size() > form.buffer.size()) {
      write_form(chain, kept->bytes);
      kept->unwritten = false;
    }
    if (!keep) kept_.erase(id);
  }

  uint32_t last_written = kNoSlot;
  size_t written = 0;
  int64_t room = 0;
  int32_t last_size = 0;
  for (size_t k = 0; k < chain.size(); ++k) {
    const _CStgSlotItem& slot = chain[k];
    if (!keep) prefetch_ahead(chain, k);
    if (remaining(memory) > 0) {
      if (keep) {
        form.position += std::min(slot.size, remaining(memory));
      } else {
        stream->seek(static_cast<int32_t>(slot.offset), 0);
        __copy_stream(*stream, memory, slot.size);
      }
      last_written = slot.offset;
      last_size = slot.size;
      room += slot.size;
      ++written;
    } else {
      _CStgSlotItem* surplus = find_slot(slot.offset);
      if (surplus == nullptr) throw storage_errors::invalid_slot_id();
      __CPredRecycleSlots recycle(&idle_slots);
      recycle(*surplus);
    }
    modified = true;
  }

  const int32_t left = remaining(memory);
  if (left <= 0) {
    if (last_written == kNoSlot) throw storage_errors::zero_size_object();
    _CStgSlotItem* last = find_slot(last_written);
    if (last != nullptr && last->next != kNoSlot) {
      last->next = kNoSlot;
      modified = true;
    }
    chain_indexes_.resize(written);
    if (keep) set_pending(chain_indexes_, true);
    remember_chain(id);
  } else {
    const _CStgSlotItem added = __alloc_new_slot(left);
    if (!keep) {
      stream->seek(static_cast<int32_t>(added.offset), 0);
      __copy_stream(*stream, memory, left);
    }
    modified = true;
    _CStgSlotItem* last = find_slot(last_written);
    if (last == nullptr) throw storage_errors::slot_link_failure();
    last->next = added.offset;
    chain_indexes_.resize(written);
    chain_indexes_.push_back(static_cast<uint32_t>(slots.size() - 1));
    if (keep) set_pending(chain_indexes_, true);
    remember_chain(id);
    last_written = added.offset;
    last_size = added.size;
    room += added.size;
  }
  if (keep) {
    kept_forms::form& kept = kept_.put(id, std::move(form.buffer), true);
    kept.kind = kind_of<Obj>();
    kept.room = room;
    kept.last_slot = last_written;
    kept.last_size = last_size;
    kept.slot_count = static_cast<int32_t>(written) + (left > 0 ? 1 : 0);
    shed_kept_forms();
  }
}

template <class Obj>
bool _CObjectStorage::_load_object_entire(uint32_t id, Obj& object) {
  if (kept_forms::form* kept = kept_.find(id)) {
    if (kept->kind == kind_of<Obj>()) {
      forget_probe();
      bytes_gathered += kept->bytes.size();
      load_from(kept->bytes, object);
      return true;
    }
    stop_keeping();
  }
  _CDeferObjDeletionList<std::vector<_CStgSlotItem>> own;
  const std::vector<_CStgSlotItem>& chain = *gather_chain(id, own, true);
  if (chain.empty()) return false;
  // A chain that runs into a kept one reads the bytes a write would have
  // left there.
  if (!pending_.empty() && any_pending(chain_indexes_)) stop_keeping();
  _memadapter adapter;
  _memstream memory(&adapter);
  // Only the bytes of the stored form are gathered, once its leading fields
  // tell its length: the rest of the last slot is never read, and a slot
  // made huge by a damaged header's slot size costs no memory. No object of
  // a sound file is larger than the file either: slots of a damaged chain
  // that overlap are not gathered beyond that.
  const int64_t limit =
      std::min<int64_t>(stream->_size(), std::max<int64_t>(stream->real_size(), kMinLoadBound));
  int64_t needed = -1;
  int64_t gathered = 0;
  // The bytes that the key read just took from the first slot.
  const bool probed = probe_.offset == id && chain.front().offset == id;
  forget_probe();
  for (size_t k = 0; k < chain.size(); ++k) {
    const _CStgSlotItem& slot = chain[k];
    prefetch_ahead(chain, k);
    if (slot.in_use == 0) {
      throw storage_errors::idle_slot_in_chain("_CObjectStorage::_load_object_entire");
    }
    for (int32_t within = 0; within < slot.size && gathered < limit;) {
      const int64_t want =
          std::min(needed < 0 ? kLengthProbe : needed - gathered, limit - gathered);
      const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(slot.size - within, want));
      if (chunk <= 0) break;
      int32_t copied;
      if (probed && k == 0 && within + chunk <= probe_.count) {
        memory.write(probe_.bytes + within, chunk);
        copied = chunk;
      } else {
        stream->seek(static_cast<int32_t>(slot.offset + static_cast<uint32_t>(within)), 0);
        copied = __copy_stream(memory, *stream, chunk);
      }
      gathered += copied;
      if (copied < chunk) break;  // the file ends inside the slot
      within += chunk;
      if (needed < 0) needed = stored_length_of<Obj>(adapter.buffer.data(), adapter.buffer.size());
    }
  }
  bytes_gathered += static_cast<uint64_t>(gathered);
  memory.seek(0, 0);
  object.load(memory);
  return true;
}

template <class Obj>
bool _CObjectStorage::_load_object_partial(uint32_t id, typename Obj::key_type& key) {
  if (kept_forms::form* kept = kept_.find(id)) {
    if (kept->kind == kind_of<Obj>()) {
      forget_probe();
      if (!key_of_bytes<Obj>(kept->bytes.data(), kept->bytes.size(), key, 0)) {
        load_key_from<Obj>(kept->bytes, key);
      }
      return true;
    }
    stop_keeping();
  }
  const _CStgSlotItem* slot = find_slot(id);
  if (slot == nullptr) return false;
  if (is_pending(static_cast<size_t>(slot - slots.data()))) stop_keeping();
  if (slot->in_use == 0) {
    throw storage_errors::idle_slot_in_chain("_CObjectStorage::_load_object_partial");
  }
  stream->seek(static_cast<int32_t>(slot->offset), 0);
  forget_probe();
  const int32_t got = stream->_read(probe_.bytes, kLengthProbe);
  if (got > 0 && key_of_bytes<Obj>(probe_.bytes, static_cast<size_t>(got), key, 0)) {
    probe_.offset = slot->offset;
    probe_.count = got;
    return true;
  }
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
