// A hint to the processor that a memory line will be read soon. It changes
// no result; compilers without the builtin simply skip it.
#ifndef VELKOR_COMMON_PREFETCH_H_
#define VELKOR_COMMON_PREFETCH_H_

namespace velkor {

inline void prefetch_line(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  static_cast<void>(address);
#endif
}

}  // namespace velkor

#endif  // VELKOR_COMMON_PREFETCH_H_
