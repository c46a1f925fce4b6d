// Relevance ranking for 'velkor-index search': BM25 with k1 = 1.2 and no
// document-length normalisation (b = 0), since the index keeps no document
// lengths. For a query word t that occurs tf times in a document,
//
//   score += idf(t) * tf * (k1 + 1) / (tf + k1)
//   idf(t) = ln(1 + (N - n + 0.5) / (n + 0.5))
//
// where N is the number of indexed documents and n the number holding t.
// The Python binding computes the same score; the two must agree.
#ifndef VELKOR_TOOLS_RANKING_H_
#define VELKOR_TOOLS_RANKING_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velkor_tool {

struct ranked_document {
  int32_t path_id = 0;
  double score = 0.0;
  // Occurrences of each query word, in the order of the words (0: absent).
  std::vector<uint32_t> counts;
};

// Scores the documents that hold every word (or, with `any`, at least one).
// `postings[i]` are the (path id, count) pairs of word i; `documents` is N.
// The result is in ascending path id order; the caller orders it for show.
std::vector<ranked_document> rank_documents(
    const std::vector<std::vector<std::pair<int32_t, uint32_t>>>& postings, uint32_t documents,
    bool any);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_RANKING_H_
