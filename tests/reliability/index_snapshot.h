// What a host reads back from an open index: the answer to the query of each
// token of a list, every registered path with its id and time, and six
// counters. Two fresh opens of one saved file give equal snapshots. An open
// index with unsaved work reports other storage counters (file size, slots)
// than a fresh open of what it then saves: same_content leaves them out.
#ifndef VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_
#define VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velkor_index.h"

namespace velkor_test {

struct path_record {
  int32_t id = 0;
  std::string path;
  int32_t time = 0;
  bool operator==(const path_record& o) const {
    return id == o.id && path == o.path && time == o.time;
  }
};

struct index_snapshot {
  std::map<std::string, std::string> answers;
  std::vector<path_record> paths;
  // idx_count_of 0, 1, 2 (file size, slot records, idle slots), then 3, 4,
  // 9 (token pairs, path pairs, registered paths).
  static constexpr uint32_t kSelectors[6] = {0, 1, 2, 3, 4, 9};
  int32_t counters[6] = {0, 0, 0, 0, 0, 0};

  bool same_content(const index_snapshot& o) const {
    return answers == o.answers && paths == o.paths && counters[3] == o.counters[3] &&
           counters[4] == o.counters[4] && counters[5] == o.counters[5];
  }
  bool operator==(const index_snapshot& o) const {
    return same_content(o) && counters[0] == o.counters[0] && counters[1] == o.counters[1] &&
           counters[2] == o.counters[2];
  }

  // The first few things in which this snapshot differs from `other`.
  std::string difference(const index_snapshot& other, const char* mine = "found",
                         const char* theirs = "expected") const {
    std::string text;
    int shown = 0;
    auto add = [&](const std::string& what, const std::string& a, const std::string& b) {
      if (shown++ < 4) text += "\n    " + what + ": " + mine + " " + a + ", " + theirs + " " + b;
    };
    for (int i = 0; i < 6; ++i) {
      if (counters[i] != other.counters[i]) {
        add("counter " + std::to_string(kSelectors[i]), std::to_string(counters[i]),
            std::to_string(other.counters[i]));
      }
    }
    for (const auto& a : answers) {
      const auto b = other.answers.find(a.first);
      const std::string theirs_text = b == other.answers.end() ? "(not asked)" : b->second;
      if (a.second != theirs_text) add("query " + a.first, cut(a.second), cut(theirs_text));
    }
    if (!(paths == other.paths)) {
      add("registry", std::to_string(paths.size()) + " paths",
          std::to_string(other.paths.size()) + " paths, first difference at " +
              first_path_difference(other));
    }
    if (shown > 4) text += "\n    and " + std::to_string(shown - 4) + " more differences";
    return text;
  }

 private:
  static std::string cut(const std::string& s) {
    return "\"" + (s.size() > 40 ? s.substr(0, 40) + "..." : s) + "\"";
  }
  std::string first_path_difference(const index_snapshot& other) const {
    for (size_t i = 0; i < paths.size() && i < other.paths.size(); ++i) {
      if (!(paths[i] == other.paths[i])) {
        return paths[i].path + " " + std::to_string(paths[i].id) + " " +
               std::to_string(paths[i].time) + " / " + other.paths[i].path + " " +
               std::to_string(other.paths[i].id) + " " + std::to_string(other.paths[i].time);
      }
    }
    return "the end of the shorter list";
  }
};

inline bool collect_path(uint32_t id, const char* path, int32_t time, void* user) {
  static_cast<std::vector<path_record>*>(user)->push_back(
      path_record{static_cast<int32_t>(id), path, time});
  return true;
}

inline index_snapshot take_snapshot(idx_handle index, const std::vector<std::string>& tokens) {
  index_snapshot s;
  for (const std::string& token : tokens) {
    const std::string answer = idx_query(index, token.c_str(), ",");
    const bool failed = *_get_err_id() != '\0' || *_get_err_msg() != '\0';
    s.answers[token] = failed ? std::string("error ") + _get_err_id() + _get_err_msg() : answer;
  }
  idx_enum_path(index, collect_path, &s.paths);
  for (int i = 0; i < 6; ++i) s.counters[i] = idx_count_of(index, index_snapshot::kSelectors[i]);
  return s;
}

// A fresh open of `file`: the snapshot, or the error id and message of the
// open that failed in `error`.
inline index_snapshot open_snapshot(const std::string& file, const std::vector<std::string>& tokens,
                                    bool read_only, std::string* error) {
  error->clear();
  idx_handle index = idx_open(file.c_str(), read_only);
  if (index == nullptr) {
    *error = std::string(_get_err_id()) + " \"" + _get_err_msg() + "\"";
    return index_snapshot();
  }
  index_snapshot s = take_snapshot(index, tokens);
  idx_close(index);
  return s;
}

}  // namespace velkor_test

#endif  // VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_
