// What a host reads back from an open index, key by key: "query T" the
// answer to each token T of a list, "path ID" the time and path of each
// registered path, "count N" the counters 0 to 4 and 9. Two fresh opens of
// one saved file read alike. An index with unsaved work reports other
// storage counters (0 to 2) than a fresh open of what it then saves:
// content() leaves them out.
#ifndef VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_
#define VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "velkor_index.h"

namespace velkor_test {

using snapshot = std::map<std::string, std::string>;

inline std::string path_key(int32_t id) { return "path " + std::to_string(id); }
inline std::string path_value(int32_t time, const std::string& path) {
  return std::to_string(time) + " " + path;
}

inline snapshot take_snapshot(idx_handle index, const std::vector<std::string>& tokens) {
  snapshot s;
  for (const std::string& token : tokens) {
    const std::string answer = idx_query(index, token.c_str(), ",");
    const bool failed = *_get_err_id() != '\0' || *_get_err_msg() != '\0';
    s["query " + token] = failed ? std::string("error ") + _get_err_id() + _get_err_msg() : answer;
  }
  idx_enum_path(
      index,
      [](uint32_t id, const char* path, int32_t time, void* user) {
        (*static_cast<snapshot*>(user))[path_key(static_cast<int32_t>(id))] =
            path_value(time, path);
        return true;
      },
      &s);
  for (uint32_t c : {0, 1, 2, 3, 4, 9})
    s["count " + std::to_string(c)] = std::to_string(idx_count_of(index, c));
  return s;
}

// A fresh open of `file`: the snapshot, or the error of the open in `error`.
inline snapshot open_snapshot(const std::string& file, const std::vector<std::string>& tokens,
                              bool read_only, std::string* error) {
  error->clear();
  idx_handle index = idx_open(file.c_str(), read_only);
  if (index == nullptr) {
    *error = std::string(_get_err_id()) + " \"" + _get_err_msg() + "\"";
    return snapshot();
  }
  snapshot s = take_snapshot(index, tokens);
  idx_close(index);
  return s;
}

inline snapshot content(snapshot s) {
  for (const char* storage : {"count 0", "count 1", "count 2"}) s.erase(storage);
  return s;
}

// The first few keys in which `a` differs from `b`.
inline std::string difference(const snapshot& a, const snapshot& b) {
  snapshot keys = a;
  keys.insert(b.begin(), b.end());
  auto value = [](const snapshot& s, const std::string& key) {
    const auto it = s.find(key);
    return it == s.end() ? std::string("(none)") : "\"" + it->second + "\"";
  };
  std::string text;
  int n = 0;
  for (const auto& k : keys) {
    const std::string x = value(a, k.first), y = value(b, k.first);
    if (x != y && n++ < 4)
      text += "\n    " + k.first + ": found " + x.substr(0, 40) + ", expected " + y.substr(0, 40);
  }
  if (n > 4) text += "\n    and " + std::to_string(n - 4) + " more differences";
  return text;
}

}  // namespace velkor_test

#endif  // VELKOR_TESTS_RELIABILITY_INDEX_SNAPSHOT_H_
