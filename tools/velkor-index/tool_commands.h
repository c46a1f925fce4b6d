// Pieces of the command-line tool shared between its files.
#ifndef VELKOR_TOOLS_TOOL_COMMANDS_H_
#define VELKOR_TOOLS_TOOL_COMMANDS_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velkor_tool {


// Lower-case runs of ASCII letters and digits, joined by single blanks.
std::string normalize_text(const std::string& text);
// "id,count,id,count" -> pairs.
std::vector<std::pair<int32_t, uint32_t>> parse_answer(const std::string& answer);

int check_file(const std::string& file);
int dump_file(const std::string& file, bool entries);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_TOOL_COMMANDS_H_
