// 'velkor-index check': the format checker over one file.
#include <cstdio>
#include <string>
#include <vector>

#include "format_check/format_check.h"
#include "tool_commands.h"

namespace velkor_tool {

int check_file(const std::string& file) {
  const std::vector<std::string> faults = velkor::check_index_file(file);
  for (const std::string& fault : faults) std::printf("%s\n", fault.c_str());
  if (faults.empty()) {
    std::printf("%s: sound\n", file.c_str());
    return 0;
  }
  std::printf("%s: %zu fault(s)\n", file.c_str(), faults.size());
  return 1;
}

}  // namespace velkor_tool
