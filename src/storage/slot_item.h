// One slot of the slot region. Slots carry no header in the file: capacity,
// state and link live only in these records, saved in the slot table.
#ifndef VELKOR_STORAGE_SLOT_ITEM_H_
#define VELKOR_STORAGE_SLOT_ITEM_H_

#include <cstdint>

#include "common/file_format.h"

namespace velkor {

using format::kNoSlot;

// Packed to the 13 bytes of its record in the slot table: on a
// little-endian machine the table is held as the section lies, loaded and
// saved as one block. Code never binds a reference to a packed field; it
// copies the value.
#pragma pack(push, 1)
struct _CStgSlotItem {
  uint32_t offset = kNoSlot;  // file offset of the slot, also its id
  int32_t size = 0;           // capacity in bytes
  uint8_t in_use = 0;         // 1 while part of a chain
  uint32_t next = kNoSlot;    // next slot of the chain
};
#pragma pack(pop)
static_assert(sizeof(_CStgSlotItem) == format::kSlotRecordBytes,
              "a slot record is held as its stored form");

}  // namespace velkor

#endif  // VELKOR_STORAGE_SLOT_ITEM_H_
