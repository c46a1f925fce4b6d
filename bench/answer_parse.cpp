#include "answer_parse.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELKOR_BENCH_AVX2 1
#endif

namespace bench {

void parse_answer_scalar(const char* text, std::vector<Posting>& out) {
  out.clear();
  while (*text != '\0') {
    const bool negative = *text == '-';
    text += negative;
    uint32_t id = 0, count = 0, digit;
    while ((digit = static_cast<unsigned char>(*text) - uint32_t{'0'}) < 10) {
      id = id * 10 + digit;
      ++text;
    }
    text += *text != '\0';
    while ((digit = static_cast<unsigned char>(*text) - uint32_t{'0'}) < 10) {
      count = count * 10 + digit;
      ++text;
    }
    text += *text != '\0';
    out.push_back({negative ? 0u - id : id, count});
  }
}

#ifdef VELKOR_BENCH_AVX2
namespace {

// Sixteen zero bytes, then sixteen 0xFF: 16 bytes read at kKeepLast + n keep
// the last n bytes of a vector.
alignas(32) const uint8_t kKeepLast[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The value of the `digits` (at most 16) decimal digits that end at `end`;
// the 16 bytes before `end` must be readable.
__attribute__((target("avx2"))) inline uint32_t digits_before(const char* end, unsigned digits) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
  const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeepLast + digits));
  v = _mm_and_si128(_mm_sub_epi8(v, _mm_set1_epi8('0')), keep);
  // Pairs of digits, then groups of four, then two groups of eight.
  v = _mm_maddubs_epi16(v, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
  v = _mm_madd_epi16(v, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
  v = _mm_packus_epi32(v, v);
  v = _mm_madd_epi16(v, _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
  const uint64_t high = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
  const uint64_t low = static_cast<uint32_t>(_mm_extract_epi32(v, 1));
  return static_cast<uint32_t>(high * 100000000u + low);
}

uint32_t digits_between(const char* from, const char* end) {
  uint32_t value = 0;
  for (; from < end; ++from) value = value * 10 + static_cast<uint32_t>(*from - '0');
  return value;
}

__attribute__((target("avx2"))) void parse_answer_avx2(const char* text,
                                                        std::vector<Posting>& out) {
  static thread_local std::vector<uint32_t> ends;
  out.clear();
  const size_t length = std::strlen(text);
  if (length == 0) return;
  // Where each number ends: at every separator, and at the end of the text.
  ends.resize(length / 2 + 2);
  uint32_t* end = ends.data();
  size_t i = 0;
  const __m256i comma = _mm256_set1_epi8(',');
  for (; i + 32 <= length; i += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    auto found = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, comma)));
    for (; found != 0; found &= found - 1) *end++ = static_cast<uint32_t>(i + __builtin_ctz(found));
  }
  for (; i < length; ++i) {
    if (text[i] == ',') *end++ = static_cast<uint32_t>(i);
  }
  *end++ = static_cast<uint32_t>(length);
  const size_t numbers = static_cast<size_t>(end - ends.data());
  out.resize(numbers / 2);
  Posting* posting = out.data();
  uint32_t start = 0;
  for (size_t k = 0; k + 1 < numbers; k += 2, ++posting) {
    const uint32_t id_end = ends[k], count_end = ends[k + 1];
    const bool negative = text[start] == '-';
    const uint32_t id_from = start + negative;
    uint32_t id, count;
    // Numbers that end within the first 16 bytes are read digit by digit.
    if (id_end >= 16) {
      id = digits_before(text + id_end, id_end - id_from);
      count = digits_before(text + count_end, count_end - id_end - 1);
    } else {
      id = digits_between(text + id_from, text + id_end);
      count = digits_between(text + id_end + 1, text + count_end);
    }
    posting->doc = negative ? 0u - id : id;
    posting->count = count;
    start = count_end + 1;
  }
}

}  // namespace
#endif

void parse_answer(const char* text, std::vector<Posting>& out) {
#ifdef VELKOR_BENCH_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return parse_answer_avx2(text, out);
#endif
  parse_answer_scalar(text, out);
}

}  // namespace bench
