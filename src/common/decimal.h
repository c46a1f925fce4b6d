// Plain decimal text of 32-bit numbers, for answers that list thousands of
// them: no leading zeros, no sign handling beyond write_decimal(int32_t).
// Digits go out in pairs from a table, and a number of nine or ten digits
// is cut once into a head and eight fixed digits, so the only branches are
// on the magnitude, which repeats from one number to the next.
#pragma once

#include <cstdint>
#include <cstring>

namespace velkor {
namespace decimal_detail {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* two(char* out, uint32_t v) {
  std::memcpy(out, kPairs + 2 * v, 2);
  return out + 2;
}

inline char* four(char* out, uint32_t v) { return two(two(out, v / 100), v % 100); }

inline char* eight(char* out, uint32_t v) { return four(four(out, v / 10000), v % 10000); }

// 0 to 9999 without leading zeros.
inline char* head(char* out, uint32_t v) {
  if (v < 10) {
    *out = static_cast<char>('0' + v);
    return out + 1;
  }
  if (v < 100) return two(out, v);
  if (v < 1000) {
    *out = static_cast<char>('0' + v / 100);
    return two(out + 1, v % 100);
  }
  return four(out, v);
}

}  // namespace decimal_detail

// Writes v at out (at most 10 bytes, no terminator); returns the end.
inline char* write_decimal(char* out, uint32_t v) {
  using namespace decimal_detail;
  if (v < 10000) return head(out, v);
  if (v < 100000000) return four(head(out, v / 10000), v % 10000);
  return eight(head(out, v / 100000000), v % 100000000);
}

// Writes v with a leading minus when negative (at most 11 bytes).
inline char* write_decimal(char* out, int32_t v) {
  if (v >= 0) return write_decimal(out, static_cast<uint32_t>(v));
  *out = '-';
  return write_decimal(out + 1, 0u - static_cast<uint32_t>(v));
}

}  // namespace velkor
