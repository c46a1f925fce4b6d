#include "common/exception.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

namespace velkor {

_exception::_exception(std::string id, std::string msg, std::string where, std::string params,
                       std::string comment)
    : id_(std::move(id)),
      msg_(std::move(msg)),
      where_(std::move(where)),
      params_(std::move(params)),
      comment_(std::move(comment)) {}

std::string format_params(std::size_t capacity, const char* format, ...) {
  if (capacity == 0) return std::string();
  std::vector<char> buffer(capacity, '\0');
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer.data(), capacity, format, args);
  va_end(args);
  return std::string(buffer.data());
}

}  // namespace velkor
