// The C runtime's pseudo-random generator, reduced to 0..32767 so that every
// platform draws keys and path ids from the same range. The library never
// seeds it; the host may.
#ifndef VELKOR_COMMON_RUNTIME_RAND_H_
#define VELKOR_COMMON_RUNTIME_RAND_H_

#include <cstdint>
#include <cstdlib>

namespace velkor {

inline uint32_t runtime_rand() { return static_cast<uint32_t>(std::rand()) & 0x7FFFu; }

}  // namespace velkor

#endif  // VELKOR_COMMON_RUNTIME_RAND_H_
