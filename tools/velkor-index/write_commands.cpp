// The commands that change an index file: create, add and rm.
//
// add and rm work on a copy of the index file next to it and rename the copy
// over the original only after a successful save, so a run that fails, runs
// out of memory or is interrupted leaves the file as it was. Without the copy
// it would not: the engine stores new entries into the file as it goes, over
// the sections of the last save, so a run that stops before its save leaves
// no whole index in the file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tool_commands.h"

namespace fs = std::filesystem;

namespace velkor_tool {

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;
constexpr uint32_t kTokensCounter = 3;

// A bulk load touches each token entry again and again, so the token cache
// holds them all until the save. Each path entry is touched once, right
// after it is made, so a larger path cache would only hold memory.
constexpr int32_t kBulkTokenCache = 10000000;
constexpr int32_t kBulkPathCache = 64;

// A file with a NUL byte among its first bytes is taken for binary, as git
// and grep take it: text in the encodings the tool indexes has none.
constexpr std::size_t kSniffBytes = 4096;

// A copy of the index file that replaces the original only when committed.
// The journal that the engine keeps beside the copy goes with it: nothing
// opens the copy under its own name again.
class shadow_copy {
 public:
  explicit shadow_copy(const std::string& file)
      : file_(file), copy_(file + ".tmp-" + std::to_string(::getpid())) {}
  ~shadow_copy() {
    std::error_code ignored;
    if (!committed_) fs::remove(to_path(copy_), ignored);
    fs::remove(to_path(copy_ + "-journal"), ignored);
  }
  shadow_copy(const shadow_copy&) = delete;
  shadow_copy& operator=(const shadow_copy&) = delete;

  bool make(std::string* error) {
    std::error_code ec;
    if (!fs::is_regular_file(to_path(file_), ec)) {
      *error = file_ + ": no such index file (make one with 'velkor-index create')";
      return false;
    }
    fs::copy_file(to_path(file_), to_path(copy_), fs::copy_options::overwrite_existing, ec);
    if (ec) *error = copy_ + ": " + ec.message();
    return !ec;
  }
  bool commit(std::string* error) {
    std::error_code ec;
    fs::rename(to_path(copy_), to_path(file_), ec);
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

// The regular files at or below `path`, a folder's in name order.
std::vector<std::string> files_below(const std::string& path, std::string* error) {
  std::vector<std::string> files;
  std::error_code ec;
  const fs::path root = to_path(path);
  if (fs::is_directory(root, ec)) {
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) files.push_back(from_path(it->path()));
    }
    std::sort(files.begin(), files.end());
  } else if (fs::is_regular_file(root, ec)) {
    files.push_back(path);
  } else if (!ec) {
    *error = path + ": no such file or folder";
  }
  if (ec && error->empty()) *error = path + ": " + ec.message();
  return files;
}

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(to_path(path), std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  in.seekg(0);
  text->resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  in.read(text->data(), static_cast<std::streamsize>(text->size()));
  text->resize(static_cast<std::size_t>(in.gcount()));
  return !in.bad();
}

bool looks_binary(const std::string& text) {
  return std::memchr(text.data(), '\0', std::min(text.size(), kSniffBytes)) != nullptr;
}

class progress_bar {
 public:
  progress_bar(std::size_t total, bool enabled)
      : total_(total),
        enabled_(enabled && ::isatty(STDERR_FILENO)),
        start_(std::chrono::steady_clock::now()) {}
  progress_bar(const progress_bar&) = delete;
  progress_bar& operator=(const progress_bar&) = delete;
  ~progress_bar() {
    if (shown_) std::fprintf(stderr, "\n");
  }

  void update(std::size_t done, const std::string& current) {
    if (!enabled_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (seconds < 1.0 && done < total_) return;  // short runs stay quiet
    const int width = 30;
    const int filled = total_ ? static_cast<int>(width * done / total_) : width;
    const std::string name =
        current.size() > 40 ? "..." + current.substr(current.size() - 37) : current;
    std::fprintf(stderr, "\r[%s%s] %zu/%zu %-40s", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), done, total_, name.c_str());
    shown_ = true;
  }

  // A line of its own, not mixed into the bar.
  void note(const std::string& line) {
    if (shown_) std::fprintf(stderr, "\r%90s\r", "");
    std::fprintf(stderr, "%s\n", line.c_str());
  }

 private:
  std::size_t total_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

int create_command(const create_options& o) {
  std::error_code ec;
  if (fs::exists(to_path(o.file), ec) && !o.force) {
    return fail(o.file + " exists already (use --force to empty it)");
  }
  std::ofstream out(to_path(o.file), std::ios::binary | std::ios::trunc);
  if (!out) return fail("cannot create " + o.file + ": " + std::strerror(errno));
  out.close();
  open_index index(o.file, true);
  if (!index) return library_error("idx_open");
  std::printf("created empty index %s\n", o.file.c_str());
  return kSuccess;
}

int add_command(const add_options& o) {
  std::string error;
  std::vector<std::string> files;
  for (const std::string& path : o.paths) {
    const std::vector<std::string> found = files_below(path, &error);
    if (!error.empty()) return fail(error);
    files.insert(files.end(), found.begin(), found.end());
  }
  shadow_copy copy(o.file);
  if (!copy.make(&error)) return fail(error);
  const std::string delimiter = o.normalize ? " " : o.delimiter;
  std::size_t indexed = 0, skipped = 0;
  int32_t tokens = 0;
  {
    open_index index(copy.path(), false);
    if (!index) return library_error("idx_open");
    idx_adjust_cache(index.get(), kBulkTokenCache, kBulkPathCache);
    progress_bar bar(files.size(), !o.quiet);
    std::string text;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string& file = files[i];
      if (!read_file(file, &text)) {
        return fail("cannot read " + file + ": " + std::strerror(errno));
      }
      if (looks_binary(text)) {
        bar.note("velkor-index: skipped binary file " + file);
        ++skipped;
        continue;
      }
      if (o.normalize) text = normalize_text(text);
      // Re-adding a path replaces what it held: indexing alone would add
      // the new counts to the old ones.
      const uint32_t known = idx_id_of(index.get(), file.c_str(), false);
      if (known != kNoId && idx_discard(index.get(), known) == kNoId && *_get_err_msg()) {
        return library_error("idx_discard");
      }
      const uint32_t id = idx_id_of(index.get(), file.c_str(), true);
      if (id == kNoId) return library_error("idx_id_of");
      if (idx_index(index.get(), id, text.c_str(), delimiter.c_str()) == kNoId) {
        return library_error("idx_index");
      }
      ++indexed;
      bar.update(i + 1, file);
    }
    if (!idx_save(index.get())) return library_error("idx_save");
    tokens = idx_count_of(index.get(), kTokensCounter);
  }
  if (!copy.commit(&error)) return fail(error);
  std::printf("indexed %zu file(s), skipped %zu binary file(s), %d distinct tokens in %s\n",
              indexed, skipped, tokens, o.file.c_str());
  return kSuccess;
}

int rm_command(const rm_options& o) {
  std::string error;
  shadow_copy copy(o.file);
  if (!copy.make(&error)) return fail(error);
  int missing = 0;
  {
    open_index index(copy.path(), false);
    if (!index) return library_error("idx_open");
    for (const std::string& target : o.targets) {
      uint32_t id;
      if (o.by_id) {
        char* end = nullptr;
        errno = 0;
        id = static_cast<uint32_t>(std::strtoll(target.c_str(), &end, 0));
        if (target.empty() || *end != '\0' || errno != 0) {
          std::fprintf(stderr, "velkor-index: not a path id: %s\n", target.c_str());
          return kUsage;
        }
      } else {
        id = idx_id_of(index.get(), target.c_str(), false);
        if (id == kNoId) {
          fail(target + " is not registered");
          ++missing;
          continue;
        }
      }
      if (idx_discard(index.get(), id) == kNoId && *_get_err_msg()) {
        return library_error("idx_discard");
      }
      std::printf("discarded %s\n", target.c_str());
    }
    if (!idx_save(index.get())) return library_error("idx_save");
  }
  if (!copy.commit(&error)) return fail(error);
  return missing ? kFailure : kSuccess;
}

}  // namespace velkor_tool
