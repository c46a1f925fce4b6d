// Helpers that every command of the tool shares.
#include <cstdio>
#include <cstdlib>

#include "tool_commands.h"

namespace velkor_tool {

int fail(const std::string& message) {
  std::fprintf(stderr, "velkor-index: %s\n", message.c_str());
  return kFailure;
}

int library_error(const std::string& call) {
  std::string line = call + " failed: ";
  line += *_get_err_id() ? _get_err_id() : "(no id)";
  line += ": ";
  line += _get_err_msg();
  if (*_get_err_where()) line += std::string(" [") + _get_err_where() + "]";
  if (*_get_err_params()) line += std::string(" ") + _get_err_params();
  if (*_get_err_comment()) line += std::string(" (") + _get_err_comment() + ")";
  return fail(line);
}

std::filesystem::path to_path(const std::string& utf8) { return std::filesystem::u8path(utf8); }

std::string from_path(const std::filesystem::path& path) { return path.generic_u8string(); }

std::string normalize_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool in_run = false;
  for (const char c : text) {
    char lower = c;
    if (c >= 'A' && c <= 'Z') lower = static_cast<char>(c - 'A' + 'a');
    if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
      if (!in_run && !out.empty()) out += ' ';
      out += lower;
      in_run = true;
    } else {
      in_run = false;
    }
  }
  return out;
}

std::vector<std::pair<int32_t, uint32_t>> parse_answer(const std::string& answer) {
  std::vector<std::pair<int32_t, uint32_t>> hits;
  const char* p = answer.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    const long long id = std::strtoll(p, &end, 10);
    if (*end != ',') break;
    const unsigned long count = std::strtoul(end + 1, &end, 10);
    hits.emplace_back(static_cast<int32_t>(id), static_cast<uint32_t>(count));
    if (*end != ',') break;
    p = end + 1;
  }
  return hits;
}

}  // namespace velkor_tool
