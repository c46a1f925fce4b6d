// velkor-index: the command-line tool over the library.
//
// Changing commands (add, rm) work on a copy of the index file next to it and
// rename the copy over the original only after a successful save, so a
// failure never leaves a half-written index behind.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "velkor_index.h"
#include "tool_commands.h"

namespace fs = std::filesystem;

namespace velkor_tool {

namespace {

const char kUsage[] =
    "usage: velkor-index <command> [options] FILE [ARGS...]\n"
    "\n"
    "commands:\n"
    "  create FILE             make an empty index file\n"
    "  add FILE PATH...        index text files or whole folders\n"
    "  query FILE TOKEN...     list the paths holding each token, with counts\n"
    "  rm FILE PATH...         discard paths from the index\n"
    "  ls FILE                 list registered paths with ids and times\n"
    "  stats FILE              print the ten counters by name\n"
    "  check FILE              check every structure of the file; exit 0 only if sound\n"
    "  dump FILE               show header, sections and slot chains\n"
    "\n"
    "'velkor-index <command> --help' describes one command.\n";

struct command_help {
  const char* name;
  const char* text;
};

const command_help kHelp[] = {
    {"create",
     "usage: velkor-index create [--force] FILE\n"
     "Makes an empty index file. An existing file is kept unless --force is given.\n"},
    {"add",
     "usage: velkor-index add [--delimiter D] [--normalize] [--quiet] FILE PATH...\n"
     "Indexes each text file; a folder is walked recursively in name order. Each\n"
     "file is registered under its path as given (folder/name). A path indexed\n"
     "before is discarded first, so its tokens are replaced.\n"
     "  --delimiter D   cut tokens at the string D (default: one blank)\n"
     "  --normalize     index lower-case runs of letters and digits, joined by blanks\n"
     "  --quiet         no progress bar\n"},
    {"query",
     "usage: velkor-index query [--ids] [--separator S] [--normalize] FILE TOKEN...\n"
     "Prints, per token, one line 'TOKEN<TAB>PATH<TAB>COUNT' per path holding it.\n"
     "  --ids           print path ids instead of path names\n"
     "  --separator S   print the library's raw answer 'id S count S ...' instead\n"
     "  --normalize     lower-case the tokens first, as add --normalize does\n"},
    {"rm",
     "usage: velkor-index rm [--id] FILE PATH...\n"
     "Discards each path (or, with --id, each path id) with all its tokens.\n"},
    {"ls",
     "usage: velkor-index ls FILE\n"
     "Lists registered paths as 'ID<TAB>TIME<TAB>PATH', ids as signed numbers, times\n"
     "in UTC.\n"},
    {"stats", "usage: velkor-index stats FILE\nPrints the ten counters of the index by name.\n"},
    {"check",
     "usage: velkor-index check FILE\n"
     "Walks the whole file: header, slot tiling, chains, every entry against its\n"
     "table, the registry and the ending magic. Prints each fault; exits 0 only for\n"
     "a sound file, 1 otherwise.\n"},
    {"dump",
     "usage: velkor-index dump [--entries] FILE\n"
     "Shows the header words, the sections and the slot chains of the file.\n"
     "  --entries       also decode every token entry and path entry\n"},
};

const char* const kCounterNames[] = {
    "file_size",     "slots",          "idle_slots",   "tokens",         "paths_indexed",
    "cached_tokens", "modified_tokens", "cached_paths", "modified_paths", "paths_registered"};

struct args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string get(const std::string& name, const std::string& fallback) const {
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

// Options that take a value.
bool takes_value(const std::string& name) { return name == "--delimiter" || name == "--separator"; }

int usage_error(const std::string& message) {
  std::fprintf(stderr, "velkor-index: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// One readable line with the five texts of the last failure.
int library_error(const std::string& call) {
  std::string line = "velkor-index: " + call + " failed: ";
  line += *_get_err_id() ? _get_err_id() : "(no id)";
  line += ": ";
  line += _get_err_msg();
  if (*_get_err_where()) line += std::string(" [") + _get_err_where() + "]";
  if (*_get_err_params()) line += std::string(" ") + _get_err_params();
  if (*_get_err_comment()) line += std::string(" (") + _get_err_comment() + ")";
  std::fprintf(stderr, "%s\n", line.c_str());
  return 1;
}

class open_index {
 public:
  open_index(const std::string& file, bool read_only)
      : handle_(idx_open(file.c_str(), read_only)) {}
  ~open_index() { idx_close(handle_); }
  open_index(const open_index&) = delete;
  open_index& operator=(const open_index&) = delete;
  idx_handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  idx_handle handle_;
};

// A copy of the index file that replaces the original only when committed.
class shadow_copy {
 public:
  explicit shadow_copy(const std::string& file)
      : file_(file), copy_(file + ".tmp-" + std::to_string(::getpid())) {}
  ~shadow_copy() {
    if (!committed_) {
      std::error_code ignored;
      fs::remove(copy_, ignored);
    }
  }
  bool make(std::string* error) {
    std::error_code ec;
    if (!fs::is_regular_file(file_, ec)) {
      *error = file_ + ": no such index file (make one with 'velkor-index create')";
      return false;
    }
    fs::copy_file(file_, copy_, fs::copy_options::overwrite_existing, ec);
    if (ec) *error = copy_ + ": " + ec.message();
    return !ec;
  }
  bool commit(std::string* error) {
    std::error_code ec;
    fs::rename(copy_, file_, ec);
    if (ec) {
      *error = file_ + ": " + ec.message();
      return false;
    }
    committed_ = true;
    return true;
  }
  const std::string& path() const { return copy_; }

 private:
  std::string file_;
  std::string copy_;
  bool committed_ = false;
};

std::string read_whole(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> files_below(const std::string& path, std::string* error) {
  std::vector<std::string> files;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) files.push_back(it->path().generic_string());
    }
    std::sort(files.begin(), files.end());
  } else if (fs::is_regular_file(path, ec)) {
    files.push_back(path);
  } else {
    *error = path + ": no such file or folder";
  }
  if (ec && error->empty()) *error = path + ": " + ec.message();
  return files;
}

class progress_bar {
 public:
  progress_bar(size_t total, bool enabled)
      : total_(total), enabled_(enabled && ::isatty(STDERR_FILENO)),
        start_(std::chrono::steady_clock::now()) {}
  void update(size_t done, const std::string& current) {
    if (!enabled_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (seconds < 1.0 && done < total_) return;  // short runs stay quiet
    const int width = 30;
    const int filled = total_ ? static_cast<int>(width * done / total_) : width;
    std::string name = current.size() > 40 ? "..." + current.substr(current.size() - 37) : current;
    std::fprintf(stderr, "\r[%s%s] %zu/%zu %-40s", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), done, total_, name.c_str());
    shown_ = true;
  }
  ~progress_bar() {
    if (shown_) std::fprintf(stderr, "\n");
  }

 private:
  size_t total_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

int cmd_create(const args& a) {
  if (a.positional.size() != 1) return usage_error("create takes one FILE");
  const std::string& file = a.positional[0];
  std::error_code ec;
  if (fs::exists(file, ec) && !a.has("--force")) {
    std::fprintf(stderr, "velkor-index: %s exists already (use --force to empty it)\n",
                 file.c_str());
    return 1;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "velkor-index: cannot create %s: %s\n", file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  out.close();
  open_index index(file, true);
  if (!index) return library_error("idx_open");
  std::printf("created empty index %s\n", file.c_str());
  return 0;
}

int cmd_add(const args& a) {
  if (a.positional.size() < 2) return usage_error("add takes FILE and at least one PATH");
  std::string error;
  std::vector<std::string> files;
  for (size_t i = 1; i < a.positional.size(); ++i) {
    const std::vector<std::string> found = files_below(a.positional[i], &error);
    if (!error.empty()) {
      std::fprintf(stderr, "velkor-index: %s\n", error.c_str());
      return 1;
    }
    files.insert(files.end(), found.begin(), found.end());
  }
  shadow_copy copy(a.positional[0]);
  if (!copy.make(&error)) {
    std::fprintf(stderr, "velkor-index: %s\n", error.c_str());
    return 1;
  }
  const bool normalize = a.has("--normalize");
  const std::string delimiter = normalize ? " " : a.get("--delimiter", " ");
  uint64_t tokens = 0;
  {
    open_index index(copy.path(), false);
    if (!index) return library_error("idx_open");
    progress_bar bar(files.size(), !a.has("--quiet"));
    for (size_t i = 0; i < files.size(); ++i) {
      bool ok = false;
      std::string text = read_whole(files[i], &ok);
      if (!ok) {
        std::fprintf(stderr, "velkor-index: cannot read %s\n", files[i].c_str());
        return 1;
      }
      if (normalize) text = normalize_text(text);
      const uint32_t known = idx_id_of(index.get(), files[i].c_str(), false);
      if (known != 0xFFFFFFFFu && idx_discard(index.get(), known) == 0xFFFFFFFFu &&
          *_get_err_msg()) {
        return library_error("idx_discard");
      }
      const uint32_t id = idx_id_of(index.get(), files[i].c_str(), true);
      if (id == 0xFFFFFFFFu) return library_error("idx_id_of");
      const uint32_t count = idx_index(index.get(), id, text.c_str(), delimiter.c_str());
      if (count == 0xFFFFFFFFu) return library_error("idx_index");
      tokens += count;
      bar.update(i + 1, files[i]);
    }
    if (!idx_save(index.get())) return library_error("idx_save");
  }
  if (!copy.commit(&error)) {
    std::fprintf(stderr, "velkor-index: %s\n", error.c_str());
    return 1;
  }
  std::printf("indexed %zu file(s), %llu distinct tokens in all, into %s\n", files.size(),
              static_cast<unsigned long long>(tokens), a.positional[0].c_str());
  return 0;
}

int cmd_query(const args& a) {
  if (a.positional.size() < 2) return usage_error("query takes FILE and at least one TOKEN");
  open_index index(a.positional[0], true);
  if (!index) return library_error("idx_open");
  const bool raw = a.has("--separator");
  const std::string separator = raw ? a.get("--separator", ",") : ",";
  for (size_t i = 1; i < a.positional.size(); ++i) {
    const std::string token =
        a.has("--normalize") ? normalize_text(a.positional[i]) : a.positional[i];
    const std::string answer = idx_query(index.get(), token.c_str(), separator.c_str());
    if (*_get_err_msg()) return library_error("idx_query");
    if (raw) {
      std::printf("%s\n", answer.c_str());
      continue;
    }
    const std::vector<std::pair<int32_t, uint32_t>> hits = parse_answer(answer);
    if (hits.empty()) std::printf("%s\t(not found)\n", token.c_str());
    for (const auto& hit : hits) {
      if (a.has("--ids")) {
        std::printf("%s\t%d\t%u\n", token.c_str(), hit.first, hit.second);
      } else {
        const std::string path = idx_path_of(index.get(), static_cast<uint32_t>(hit.first));
        std::printf("%s\t%s\t%u\n", token.c_str(),
                    path.empty() ? ("#" + std::to_string(hit.first)).c_str() : path.c_str(),
                    hit.second);
      }
    }
  }
  return 0;
}

int cmd_rm(const args& a) {
  if (a.positional.size() < 2) return usage_error("rm takes FILE and at least one PATH");
  std::string error;
  shadow_copy copy(a.positional[0]);
  if (!copy.make(&error)) {
    std::fprintf(stderr, "velkor-index: %s\n", error.c_str());
    return 1;
  }
  int missing = 0;
  {
    open_index index(copy.path(), false);
    if (!index) return library_error("idx_open");
    for (size_t i = 1; i < a.positional.size(); ++i) {
      const std::string& target = a.positional[i];
      uint32_t id;
      if (a.has("--id")) {
        char* end = nullptr;
        id = static_cast<uint32_t>(std::strtoll(target.c_str(), &end, 0));
        if (target.empty() || *end != '\0') return usage_error("not a path id: " + target);
      } else {
        id = idx_id_of(index.get(), target.c_str(), false);
        if (id == 0xFFFFFFFFu) {
          std::fprintf(stderr, "velkor-index: %s is not registered\n", target.c_str());
          ++missing;
          continue;
        }
      }
      if (idx_discard(index.get(), id) == 0xFFFFFFFFu && *_get_err_msg()) {
        return library_error("idx_discard");
      }
      std::printf("discarded %s\n", target.c_str());
    }
    if (!idx_save(index.get())) return library_error("idx_save");
  }
  if (!copy.commit(&error)) {
    std::fprintf(stderr, "velkor-index: %s\n", error.c_str());
    return 1;
  }
  return missing ? 1 : 0;
}

bool print_path(uint32_t id, const char* path, int32_t time, void*) {
  const std::time_t t = static_cast<std::time_t>(time);
  char when[32];
  std::tm parts;
#if defined(_WIN32)
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &parts);
  std::printf("%d\t%s\t%s\n", static_cast<int32_t>(id), when, path);
  return true;
}

int cmd_ls(const args& a) {
  if (a.positional.size() != 1) return usage_error("ls takes one FILE");
  open_index index(a.positional[0], true);
  if (!index) return library_error("idx_open");
  if (idx_enum_path(index.get(), print_path, nullptr) < 0) return library_error("idx_enum_path");
  return 0;
}

int cmd_stats(const args& a) {
  if (a.positional.size() != 1) return usage_error("stats takes one FILE");
  open_index index(a.positional[0], true);
  if (!index) return library_error("idx_open");
  for (uint32_t i = 0; i < 10; ++i) {
    const int32_t value = idx_count_of(index.get(), i);
    if (value < 0) return library_error("idx_count_of");
    std::printf("%-17s %d\n", kCounterNames[i], value);
  }
  return 0;
}

int cmd_check(const args& a) {
  if (a.positional.size() != 1) return usage_error("check takes one FILE");
  return check_file(a.positional[0]);
}

int cmd_dump(const args& a) {
  if (a.positional.size() != 1) return usage_error("dump takes one FILE");
  return dump_file(a.positional[0], a.has("--entries"));
}

const struct {
  const char* name;
  int (*run)(const args&);
} kCommands[] = {
    {"create", cmd_create}, {"add", cmd_add},     {"query", cmd_query}, {"rm", cmd_rm},
    {"ls", cmd_ls},         {"stats", cmd_stats}, {"check", cmd_check}, {"dump", cmd_dump},
};

}  // namespace

std::string normalize_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool in_run = false;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) && u < 0x80) {
      if (!in_run && !out.empty()) out += ' ';
      out += static_cast<char>(std::tolower(u));
      in_run = true;
    } else {
      in_run = false;
    }
  }
  return out;
}

std::vector<std::pair<int32_t, uint32_t>> parse_answer(const std::string& answer) {
  std::vector<std::pair<int32_t, uint32_t>> hits;
  std::vector<long long> numbers;
  size_t p = 0;
  while (p < answer.size()) {
    size_t q = answer.find(',', p);
    if (q == std::string::npos) q = answer.size();
    numbers.push_back(std::stoll(answer.substr(p, q - p)));
    p = q + 1;
  }
  for (size_t i = 0; i + 1 < numbers.size(); i += 2) {
    hits.emplace_back(static_cast<int32_t>(numbers[i]), static_cast<uint32_t>(numbers[i + 1]));
  }
  return hits;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  args a;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      for (const auto& h : kHelp) {
        if (command == h.name) {
          std::fputs(h.text, stdout);
          return 0;
        }
      }
      return usage_error("unknown command '" + command + "'");
    }
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
      if (takes_value(word)) {
        if (i + 1 >= argc) return usage_error(word + " needs a value");
        a.options[word] = argv[++i];
      } else {
        a.options[word] = "";
      }
    } else {
      a.positional.push_back(word);
    }
  }
  for (const auto& c : kCommands) {
    if (command == c.name) return c.run(a);
  }
  return usage_error("unknown command '" + command + "'");
}

}  // namespace velkor_tool

int main(int argc, char** argv) { return velkor_tool::run(argc, argv); }
