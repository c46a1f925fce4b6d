#include "storage/storage_errors.h"

namespace velkor {
namespace storage_errors {

namespace {

_exception storage_error(const char* id, const char* msg, const char* where) {
  return _exception(id, msg, where, "", "");
}

const char kChainOps[] = "_CObjectStorage::_save_object_at";
const char kWalk[] = "_CObjectStorage::__go_through_slot_link";
const char kAlloc[] = "_CObjectStorage::__alloc_stg_slots";
const char kCache[] = "_CObjMemCache::__cache_object";

}  // namespace

_exception file_size_limit() {
  return storage_error("_CStgSlotItem.FileSizeLimit2G", "File size exceeding 2GB limit!",
                       "_CStgSlotItem::__alloc_new_slot");
}
_exception recycled_idle_slot() {
  return storage_error("_CObjectStorage.InvalidIdleSlot",
                       "Invalid slot detected in the Recycle list!", kAlloc);
}
_exception unknown_idle_slot() {
  return storage_error("_CObjectStorage.InvalidIdleSlot", "Invalid slot detected in the IDLE list!",
                       kAlloc);
}
_exception invalid_slot_size() {
  return storage_error("_CObjectStorage.InvalidSlotSize", "Invalid slot size detected in stream!",
                       "_CObjectStorage::_load_stg_slots");
}
_exception invalid_slot_link() {
  return storage_error("_CObjectStorage.InvalidSlotLink", "Invalid slot link detected!", kWalk);
}
_exception too_many_slots_linked() {
  return storage_error("_CObjectStorage.TooManySlotsLinked", "Too many slots linked!", kWalk);
}
_exception save_at_invalid_slot() {
  return storage_error("_CObjectStorage.SaveAtInvalidSlot",
                       "Attempts to save an object at invalid slot!", kChainOps);
}
_exception invalid_slot_id() {
  return storage_error("_CObjectStorage.InvalidSlotID", "Invalid slot ID detected!", kChainOps);
}
_exception zero_size_object() {
  return storage_error("_CObjectStorage.ZeroSizeObjErr", "Attempts to save a zero-sized object!",
                       kChainOps);
}
_exception slot_link_failure() {
  return storage_error("_CObjectStorage.SlotLinkFailure", "Failed to get new slot linked!",
                       kChainOps);
}
_exception idle_slot_in_chain(const char* where) {
  return storage_error("", "Invalid slot item detected!", where);
}
_exception cache_entry_exists() {
  return storage_error("_CObjMemCache.MapEntryExists", "The entry already exists in memory Cache!",
                       kCache);
}
_exception cache_insert_failure() {
  return storage_error("_CObjMemCache.MapInsEntryFailure",
                       "Failed to insert an entry into memory Cache!", kCache);
}
_exception cache_alloc_failure() {
  return storage_error("_CObjMemCache.AllocNewObjFailure",
                       "Failed to allocate a new object in storage!",
                       "_CObjMemCache::_save_new_object");
}

}  // namespace storage_errors
}  // namespace velkor
