// A reference model of what a host can observe through the exports: the
// registry, the postings with their counts, the counters that follow from
// them, the modified state, and what a save keeps. It knows nothing of slots,
// caches or the file; it is written from the rules of the interface alone.
#ifndef VELKOR_TESTS_RELIABILITY_REFERENCE_MODEL_H_
#define VELKOR_TESTS_RELIABILITY_REFERENCE_MODEL_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace velkor_model {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Tokens and queries longer than this are cut to it (slot size 32 less 2).
constexpr std::size_t kTokenLimit = 30;
// Counts are 16-bit: a text counts each token up to this, and a posting
// whose sum would reach it keeps its old count.
constexpr uint32_t kMaxCount = 65535;

struct path_name {
  std::string path;
  int32_t time = 0;
};

// What one index holds, as the host sees it.
struct index_state {
  // token -> signed path id -> count
  std::map<std::string, std::map<int32_t, uint16_t>> postings;
  // signed path id -> name
  std::map<int32_t, path_name> names;
  // Something was ever stored: a save writes the file only then.
  bool stored = false;

  int32_t path_entry_count() const {
    std::set<int32_t> paths;
    for (const auto& token : postings) {
      for (const auto& p : token.second) paths.insert(p.first);
    }
    return static_cast<int32_t>(paths.size());
  }
};

class reference_model {
 public:
  index_state current;
  // The state of the file as the last save (or nothing) left it.
  index_state saved;
  bool modified = false;
  bool read_only = false;

  // Distinct tokens of a text with their counts: cut at every occurrence of
  // the whole delimiter, empty pieces dropped, long pieces cut to the limit.
  static std::map<std::string, uint32_t> split(const std::string& text, std::string delimiter) {
    if (delimiter.empty()) delimiter = " ";
    std::map<std::string, uint32_t> counts;
    std::size_t begin = 0;
    while (begin <= text.size()) {
      std::size_t end = text.find(delimiter, begin);
      if (end == std::string::npos) end = text.size();
      if (end > begin) {
        uint32_t& n = counts[text.substr(begin, std::min(end - begin, kTokenLimit))];
        n = std::min(n + 1, kMaxCount);
      }
      if (end == text.size()) break;
      begin = end + delimiter.size();
    }
    return counts;
  }

  // Returns the number of distinct tokens.
  uint32_t index(uint32_t path_id, const std::string& text, const std::string& delimiter) {
    const auto counts = split(text, delimiter);
    const int32_t id = static_cast<int32_t>(path_id);
    for (const auto& token : counts) {
      auto& postings = current.postings[token.first];
      auto at = postings.find(id);
      if (at == postings.end()) {
        postings[id] = static_cast<uint16_t>(token.second);
        modified = true;
      } else if (at->second + token.second < kMaxCount) {
        at->second = static_cast<uint16_t>(at->second + token.second);
        modified = true;
      }
      current.stored = true;
    }
    return static_cast<uint32_t>(counts.size());
  }

  std::string query(const std::string& query, std::string separator) const {
    if (query.empty()) return "";
    if (separator.empty()) separator = ",";
    const auto found = current.postings.find(query.substr(0, kTokenLimit));
    if (found == current.postings.end()) return "";
    std::string text;
    for (const auto& p : found->second) {
      if (!text.empty()) text += separator;
      text += std::to_string(p.first) + separator + std::to_string(p.second);
    }
    return text;
  }

  // True when the path id had a path entry (the export then returns its id).
  bool discard(uint32_t path_id) {
    const int32_t id = static_cast<int32_t>(path_id);
    const auto name = current.names.find(id);
    if (name != current.names.end()) {
      current.names.erase(name);
      modified = true;
    }
    bool had = false;
    for (auto token = current.postings.begin(); token != current.postings.end();) {
      had |= token->second.erase(id) != 0;
      token = token->second.empty() ? current.postings.erase(token) : std::next(token);
    }
    modified |= had;
    return had;
  }

  uint32_t id_of(const std::string& path) const {
    for (const auto& n : current.names) {
      if (n.second.path == path) return static_cast<uint32_t>(n.first);
    }
    return kNone;
  }

  void register_path(const std::string& path, uint32_t id, int32_t time) {
    current.names[static_cast<int32_t>(id)] = path_name{path, time};
    modified = true;
  }

  const path_name* name_of(uint32_t id) const {
    const auto it = current.names.find(static_cast<int32_t>(id));
    return it == current.names.end() ? nullptr : &it->second;
  }

  // A save of a read-write index: the file takes the whole state, unless
  // nothing was ever stored, when nothing is written at all.
  void save() {
    if (!current.stored) return;
    saved = current;
    modified = false;
  }

  // Closing without a save, and any reopen: back to what the file holds.
  void reopen(bool as_read_only) {
    current = saved;
    modified = false;
    read_only = as_read_only;
  }
};

}  // namespace velkor_model

#endif  // VELKOR_TESTS_RELIABILITY_REFERENCE_MODEL_H_
