// The commands that read an index: query, search, ls and stats. Each opens
// the file read-only and prints text for people or, with --json, one JSON
// document for scripts.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <tuple>

#include "json.h"
#include "ranking.h"
#include "tool_commands.h"

namespace velkor_tool {

namespace {

constexpr uint32_t kCounters = 10;
constexpr uint32_t kIndexedPathsCounter = 4;

const char* const kCounterNames[kCounters] = {
    "file_size",     "slots",           "idle_slots",   "tokens",         "paths_indexed",
    "cached_tokens", "modified_tokens", "cached_paths", "modified_paths", "paths_registered"};

// The registered path of an id; an id indexed without a name shows as #ID.
std::string name_of(idx_handle index, int32_t id) {
  const std::string path = idx_path_of(index, static_cast<uint32_t>(id));
  return path.empty() ? "#" + std::to_string(id) : path;
}

// The registered path as a JSON value: null for an id without a name.
void path_value(json_writer& out, idx_handle index, int32_t id) {
  const std::string path = idx_path_of(index, static_cast<uint32_t>(id));
  if (path.empty()) {
    out.null();
  } else {
    out.value(path);
  }
}

std::string utc_text(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
#if defined(_WIN32)
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// The words of a search as the index holds them: normalised if asked, each
// once, in the order given.
std::vector<std::string> search_words(const search_options& o) {
  std::vector<std::string> words;
  for (const std::string& given : o.words) {
    std::vector<std::string> pieces;
    if (o.normalize) {
      const std::string text = normalize_text(given);
      for (std::size_t p = 0; p < text.size();) {
        std::size_t q = text.find(' ', p);
        if (q == std::string::npos) q = text.size();
        pieces.push_back(text.substr(p, q - p));
        p = q + 1;
      }
    } else if (!given.empty()) {
      pieces.push_back(given);
    }
    for (const std::string& word : pieces) {
      if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
    }
  }
  return words;
}

struct enum_state {
  json_writer* json;
};

bool print_path(uint32_t id, const char* path, int32_t time, void* user) {
  json_writer* json = static_cast<enum_state*>(user)->json;
  const int32_t signed_id = static_cast<int32_t>(id);
  if (json == nullptr) {
    std::printf("%d\t%s\t%s\n", signed_id, utc_text(time).c_str(), path);
    return true;
  }
  json->begin_object()
      .key("id")
      .value(static_cast<int64_t>(signed_id))
      .key("path")
      .value(path)
      .key("time")
      .value(static_cast<int64_t>(time))
      .key("created")
      .value(utc_text(time))
      .end_object();
  return true;
}

}  // namespace

int query_command(const query_options& o) {
  open_index index(o.file, true);
  if (!index) return library_error("idx_open");
  const bool raw = !o.separator.empty();
  json_writer json;
  json.begin_array();
  for (const std::string& given : o.tokens) {
    const std::string token = o.normalize ? normalize_text(given) : given;
    const std::string answer =
        idx_query(index.get(), token.c_str(), raw ? o.separator.c_str() : ",");
    if (*_get_err_msg()) return library_error("idx_query");
    if (raw) {
      std::printf("%s\n", answer.c_str());
      continue;
    }
    const std::vector<std::pair<int32_t, uint32_t>> hits = parse_answer(answer);
    if (o.json) {
      json.begin_object().key("token").value(token).key("hits").begin_array();
      for (const auto& [id, count] : hits) {
        json.begin_object().key("id").value(static_cast<int64_t>(id)).key("path");
        path_value(json, index.get(), id);
        json.key("count").value(static_cast<int64_t>(count)).end_object();
      }
      json.end_array().end_object();
      continue;
    }
    if (hits.empty()) std::printf("%s\t(not found)\n", token.c_str());
    for (const auto& [id, count] : hits) {
      const std::string where = o.ids ? std::to_string(id) : name_of(index.get(), id);
      std::printf("%s\t%s\t%u\n", token.c_str(), where.c_str(), count);
    }
  }
  json.end_array();
  if (o.json) std::fputs(json.text().c_str(), stdout);
  return kSuccess;
}

int search_command(const search_options& o) {
  const std::vector<std::string> words = search_words(o);
  if (words.empty()) {
    std::fprintf(stderr, "velkor-index: search: no words to look for\n");
    return kUsage;
  }
  open_index index(o.file, true);
  if (!index) return library_error("idx_open");
  const int32_t documents = idx_count_of(index.get(), kIndexedPathsCounter);
  if (documents < 0) return library_error("idx_count_of");
  std::vector<std::vector<std::pair<int32_t, uint32_t>>> postings;
  for (const std::string& word : words) {
    postings.push_back(parse_answer(idx_query(index.get(), word.c_str(), ",")));
    if (*_get_err_msg()) return library_error("idx_query");
  }

  struct hit {
    ranked_document doc;
    std::string path;  // empty: the id has no registered name
  };
  std::vector<hit> hits;
  for (ranked_document& doc : rank_documents(postings, static_cast<uint32_t>(documents), o.any)) {
    std::string path = idx_path_of(index.get(), static_cast<uint32_t>(doc.path_id));
    hits.push_back({std::move(doc), std::move(path)});
  }
  // Best first; equal scores by path, so that the order does not depend on
  // the random path ids.
  std::sort(hits.begin(), hits.end(), [](const hit& a, const hit& b) {
    return std::make_tuple(-a.doc.score, a.path, a.doc.path_id) <
           std::make_tuple(-b.doc.score, b.path, b.doc.path_id);
  });
  const std::size_t matches = hits.size();
  if (o.limit != 0 && hits.size() > o.limit) hits.resize(o.limit);

  if (!o.json) {
    for (const hit& h : hits) {
      std::string where = h.path;
      if (o.ids) {
        where = std::to_string(h.doc.path_id);
      } else if (where.empty()) {
        where = "#" + std::to_string(h.doc.path_id);
      }
      std::printf("%.4f\t%s\n", h.doc.score, where.c_str());
    }
    return kSuccess;
  }
  json_writer json;
  json.begin_object().key("words").begin_array();
  for (const std::string& word : words) json.value(word);
  json.end_array()
      .key("mode")
      .value(o.any ? "any" : "all")
      .key("documents")
      .value(static_cast<int64_t>(documents))
      .key("matches")
      .value(static_cast<int64_t>(matches))
      .key("hits")
      .begin_array();
  for (const hit& h : hits) {
    json.begin_object()
        .key("score")
        .value(h.doc.score)
        .key("id")
        .value(static_cast<int64_t>(h.doc.path_id))
        .key("path");
    if (h.path.empty()) {
      json.null();
    } else {
      json.value(h.path);
    }
    json.key("counts").begin_object();
    for (std::size_t w = 0; w < words.size(); ++w) {
      if (h.doc.counts[w] != 0) json.key(words[w]).value(static_cast<int64_t>(h.doc.counts[w]));
    }
    json.end_object().end_object();
  }
  json.end_array().end_object();
  std::fputs(json.text().c_str(), stdout);
  return kSuccess;
}

int ls_command(const listing_options& o) {
  open_index index(o.file, true);
  if (!index) return library_error("idx_open");
  json_writer json;
  enum_state state{o.json ? &json : nullptr};
  json.begin_array();
  if (idx_enum_path(index.get(), print_path, &state) < 0) return library_error("idx_enum_path");
  json.end_array();
  if (o.json) std::fputs(json.text().c_str(), stdout);
  return kSuccess;
}

int stats_command(const listing_options& o) {
  open_index index(o.file, true);
  if (!index) return library_error("idx_open");
  json_writer json;
  json.begin_object();
  for (uint32_t i = 0; i < kCounters; ++i) {
    const int32_t value = idx_count_of(index.get(), i);
    if (value < 0) return library_error("idx_count_of");
    if (o.json) {
      json.key(kCounterNames[i]).value(static_cast<int64_t>(value));
    } else {
      std::printf("%-17s %d\n", kCounterNames[i], value);
    }
  }
  json.end_object();
  if (o.json) std::fputs(json.text().c_str(), stdout);
  return kSuccess;
}

}  // namespace velkor_tool
