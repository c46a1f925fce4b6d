#include "ranking.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace velkor_tool {

namespace {

constexpr double kK1 = 1.2;

double idf(uint32_t documents, std::size_t holding) {
  // A damaged index may list more postings than indexed documents; the
  // weight then stays at its least instead of going negative.
  const double n = static_cast<double>(holding);
  const double total = std::max(static_cast<double>(documents), n);
  return std::log(1.0 + (total - n + 0.5) / (n + 0.5));
}

}  // namespace

std::vector<ranked_document> rank_documents(
    const std::vector<std::vector<std::pair<int32_t, uint32_t>>>& postings, uint32_t documents,
    bool any) {
  std::map<int32_t, ranked_document> found;
  for (std::size_t word = 0; word < postings.size(); ++word) {
    const double weight = idf(documents, postings[word].size());
    for (const auto& [path_id, count] : postings[word]) {
      ranked_document& doc = found[path_id];
      if (doc.counts.empty()) {
        doc.path_id = path_id;
        doc.counts.assign(postings.size(), 0);
      }
      doc.counts[word] = count;
      const double tf = count;
      doc.score += weight * tf * (kK1 + 1.0) / (tf + kK1);
    }
  }
  std::vector<ranked_document> result;
  result.reserve(found.size());
  for (auto& entry : found) {
    const auto& counts = entry.second.counts;
    if (any || std::find(counts.begin(), counts.end(), 0u) == counts.end()) {
      result.push_back(std::move(entry.second));
    }
  }
  return result;
}

}  // namespace velkor_tool
