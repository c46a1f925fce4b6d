// Pieces of the command-line tool shared between its files: what each
// command is given once its arguments are parsed, the commands themselves,
// and the helpers they share.
#ifndef VELKOR_TOOLS_TOOL_COMMANDS_H_
#define VELKOR_TOOLS_TOOL_COMMANDS_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "velkor_index.h"

namespace velkor_tool {

// Exit codes.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

struct create_options {
  std::string file;
  bool force = false;
};

struct add_options {
  std::string file;
  std::vector<std::string> paths;
  std::string delimiter = " ";
  bool normalize = false;
  bool quiet = false;
};

struct query_options {
  std::string file;
  std::vector<std::string> tokens;
  std::string separator;  // not empty: print the library's raw answer
  bool ids = false;
  bool normalize = false;
  bool json = false;
};

struct search_options {
  std::string file;
  std::vector<std::string> words;
  std::size_t limit = 0;  // 0: no cap
  bool any = false;
  bool ids = false;
  bool normalize = false;
  bool json = false;
};

struct rm_options {
  std::string file;
  std::vector<std::string> targets;
  bool by_id = false;
};

// compact and recover: FILE into OUT (compact: in place when OUT is empty).
struct rewrite_options {
  std::string file;
  std::string out;
};

// ls and stats.
struct listing_options {
  std::string file;
  bool json = false;
};

int create_command(const create_options& o);
int add_command(const add_options& o);
int rm_command(const rm_options& o);
int query_command(const query_options& o);
int search_command(const search_options& o);
int ls_command(const listing_options& o);
int stats_command(const listing_options& o);
int check_file(const std::string& file);
int compact_command(const rewrite_options& o);
int recover_command(const rewrite_options& o);
int dump_file(const std::string& file, bool entries);

// An index opened for the length of a command.
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

// One line "velkor-index: MESSAGE" on standard error; returns kFailure.
int fail(const std::string& message);
// The five texts of the library's last failure on one line; returns kFailure.
int library_error(const std::string& call);

// Command-line words and the paths printed back are UTF-8 on every platform.
std::filesystem::path to_path(const std::string& utf8);
std::string from_path(const std::filesystem::path& path);

// Lower-case runs of ASCII letters and digits, joined by single blanks.
std::string normalize_text(const std::string& text);
// The library's answer "id,count,id,count" as pairs.
std::vector<std::pair<int32_t, uint32_t>> parse_answer(const std::string& answer);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_TOOL_COMMANDS_H_
