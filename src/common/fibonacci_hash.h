// Home slot of a 32-bit key in an open-addressing table of 2^bits slots:
// the key times 2^32 / golden ratio, top `bits` bits. It spreads keys that
// differ only in their low or high bits (slot offsets, token hashes) evenly.
#ifndef VELKOR_COMMON_FIBONACCI_HASH_H_
#define VELKOR_COMMON_FIBONACCI_HASH_H_

#include <cstddef>
#include <cstdint>

namespace velkor {

// REQUIRES: 1 <= bits <= 32.
inline size_t fibonacci_slot(uint32_t key, uint32_t bits) {
  return static_cast<size_t>((key * 0x9E3779B1u) >> (32 - bits));
}

}  // namespace velkor

#endif  // VELKOR_COMMON_FIBONACCI_HASH_H_
