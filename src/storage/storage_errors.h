// The five texts of every storage and cache error, in one place.
#ifndef VELKOR_STORAGE_STORAGE_ERRORS_H_
#define VELKOR_STORAGE_STORAGE_ERRORS_H_

#include "common/exception.h"

namespace velkor {
namespace storage_errors {

_exception file_size_limit();
_exception recycled_idle_slot();
_exception unknown_idle_slot();
_exception invalid_slot_size();
_exception invalid_slot_link();
_exception too_many_slots_linked();
_exception save_at_invalid_slot();
_exception invalid_slot_id();
_exception zero_size_object();
_exception slot_link_failure();
_exception idle_slot_in_chain(const char* where);
_exception cache_entry_exists();
_exception cache_insert_failure();
_exception cache_alloc_failure();

}  // namespace storage_errors
}  // namespace velkor

#endif  // VELKOR_STORAGE_STORAGE_ERRORS_H_
