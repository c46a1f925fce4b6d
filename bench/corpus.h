// The mail corpus as the benchmark indexes it: every mail normalised the way a
// host would before handing it to an index, in a fixed shuffled order so that
// any prefix is a fair sample of all five groups.
#ifndef VELKOR_BENCH_CORPUS_H_
#define VELKOR_BENCH_CORPUS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Tokens longer than this are cut, as the index under test cuts them.
constexpr std::size_t kTokenLimit = 30;

struct Mail {
  std::string path;     // "<group>/<id>", e.g. "easy-ham-1/00001"
  std::string text;     // tokens joined by single spaces
  uint32_t tokens = 0;  // token occurrences in text
};

struct Corpus {
  std::vector<Mail> mails;
  uint64_t raw_bytes = 0;
};

// Lower-cases, keeps the runs of [a-z0-9] as tokens, cuts each to kTokenLimit
// bytes and joins them with single spaces. Every other byte separates tokens.
std::string normalise_mail(std::string_view raw, uint32_t* token_count);

// Calls visit(token) for each token of a normalised text, in order.
template <class Visit>
void for_each_token(std::string_view text, Visit visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) visit(text.substr(start, end - start));
    start = end + 1;
  }
}

// Reads every "<group>/<id>.<checksum>.txt" below `data_dir` (the raw mails of
// the corpus package), normalises them and shuffles them with `seed`.
// Throws std::runtime_error when the folder holds no mail.
Corpus load_corpus(const std::string& data_dir, uint64_t seed);

// `count` tokens drawn from mails[0..n): by occurrence, so frequent tokens are
// drawn as often as they occur, the mix a search box sees.
std::vector<std::string> sample_by_occurrence(const std::vector<Mail>& mails, std::size_t n,
                                              std::size_t count, uint64_t seed);

// `count` tokens drawn uniformly from the distinct tokens of mails[0..n): most
// are rare, so this mix measures the lookup more than the list.
std::vector<std::string> sample_by_vocabulary(const std::vector<Mail>& mails, std::size_t n,
                                              std::size_t count, uint64_t seed,
                                              std::size_t* distinct);

}  // namespace bench

#endif  // VELKOR_BENCH_CORPUS_H_
