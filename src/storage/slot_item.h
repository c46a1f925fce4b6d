// One slot of the slot region. Slots carry no header in the file: capacity,
// state and link live only in these records, saved in the slot table.
#ifndef VELKOR_STORAGE_SLOT_ITEM_H_
#define VELKOR_STORAGE_SLOT_ITEM_H_

#include <cstdint>

namespace velkor {

constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

struct _CStgSlotItem {
  uint32_t offset = kNoSlot;  // file offset of the slot, also its id
  int32_t size = 0;           // capacity in bytes
  uint8_t in_use = 0;         // 1 while part of a chain
  uint32_t next = kNoSlot;    // next slot of the chain
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_SLOT_ITEM_H_
