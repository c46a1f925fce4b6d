#include "corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <unordered_set>

namespace bench {
namespace {

namespace fs = std::filesystem;

// std::shuffle and the std distributions differ between standard libraries;
// the raw mt19937_64 sequence does not, so the order and the samples are the
// same wherever the benchmark is built.
std::size_t draw_below(std::mt19937_64& rng, std::size_t bound) {
  return static_cast<std::size_t>(rng() % bound);
}

template <class T>
void shuffle_with(std::vector<T>& items, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[draw_below(rng, i)]);
}

std::string read_whole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string normalise_mail(std::string_view raw, uint32_t* token_count) {
  std::string out;
  out.reserve(raw.size());
  uint32_t tokens = 0;
  std::size_t run = 0;  // bytes of the current token kept so far
  bool in_token = false;
  for (char c : raw) {
    char lower = c;
    if (c >= 'A' && c <= 'Z') lower = static_cast<char>(c - 'A' + 'a');
    const bool word = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9');
    if (!word) {
      in_token = false;
      continue;
    }
    if (!in_token) {
      if (tokens > 0) out.push_back(' ');
      ++tokens;
      in_token = true;
      run = 0;
    }
    if (run < kTokenLimit) {
      out.push_back(lower);
      ++run;
    }
  }
  if (token_count != nullptr) *token_count = tokens;
  return out;
}

Corpus load_corpus(const std::string& data_dir, uint64_t seed) {
  std::vector<fs::path> groups;
  for (const fs::directory_entry& entry : fs::directory_iterator(data_dir)) {
    if (entry.is_directory()) groups.push_back(entry.path());
  }
  std::sort(groups.begin(), groups.end());
  Corpus corpus;
  for (const fs::path& group : groups) {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(group)) {
      if (entry.is_regular_file() && entry.path().extension() == ".txt") {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      const std::string name = file.filename().string();
      const std::string raw = read_whole(file);
      corpus.raw_bytes += raw.size();
      Mail mail;
      mail.path = group.filename().string() + "/" + name.substr(0, name.find('.'));
      mail.text = normalise_mail(raw, &mail.tokens);
      corpus.mails.push_back(std::move(mail));
    }
  }
  if (corpus.mails.empty()) throw std::runtime_error("no mail found below " + data_dir);
  shuffle_with(corpus.mails, seed);
  return corpus;
}

std::vector<std::string> sample_by_occurrence(const std::vector<Mail>& mails, std::size_t n,
                                              std::size_t count, uint64_t seed) {
  std::vector<uint64_t> ends;  // running total of token occurrences
  uint64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) ends.push_back(total += mails[i].tokens);
  std::vector<std::string> picked;
  if (total == 0) return picked;
  std::mt19937_64 rng(seed);
  while (picked.size() < count) {
    const uint64_t at = rng() % total;
    const std::size_t mail = std::upper_bound(ends.begin(), ends.end(), at) - ends.begin();
    uint64_t skip = at - (mail == 0 ? 0 : ends[mail - 1]);
    for_each_token(mails[mail].text, [&](std::string_view token) {
      if (skip-- == 0) picked.emplace_back(token);
    });
  }
  return picked;
}

std::vector<std::string> sample_by_vocabulary(const std::vector<Mail>& mails, std::size_t n,
                                              std::size_t count, uint64_t seed,
                                              std::size_t* distinct) {
  std::unordered_set<std::string_view> seen;
  for (std::size_t i = 0; i < n; ++i) {
    for_each_token(mails[i].text, [&](std::string_view token) { seen.insert(token); });
  }
  // Sorted first: the set's iteration order is not the same everywhere.
  std::vector<std::string_view> vocabulary(seen.begin(), seen.end());
  std::sort(vocabulary.begin(), vocabulary.end());
  if (distinct != nullptr) *distinct = vocabulary.size();
  std::vector<std::string> picked;
  if (vocabulary.empty()) return picked;
  std::mt19937_64 rng(seed);
  while (picked.size() < count) picked.emplace_back(vocabulary[draw_below(rng, vocabulary.size())]);
  return picked;
}

}  // namespace bench
