// Turning an idx_query answer ("id,count,id,count...", path ids as signed
// decimals) into postings, as a host that wants numbers does. Counted in the
// velkor query times, so it is written as a careful host would write it.
#ifndef VELKOR_BENCH_ANSWER_PARSE_H_
#define VELKOR_BENCH_ANSWER_PARSE_H_

#include <vector>

#include "engines.h"

namespace bench {

// Digit by digit. Any separator byte works.
void parse_answer_scalar(const char* text, std::vector<Posting>& out);

// The same postings for a "," separator, faster where the processor has AVX2:
// the separators are found 32 bytes at a time, then each number is converted
// from the 16 bytes that end where it ends, with no dependence from one
// number to the next. Falls back to the scalar parse elsewhere.
void parse_answer(const char* text, std::vector<Posting>& out);

}  // namespace bench

#endif  // VELKOR_BENCH_ANSWER_PARSE_H_
