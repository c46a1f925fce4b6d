// The one error carrier of the engine: five texts (id, message, the raising
// operation, the values of the failing call, advice). Thrown by value, caught
// by reference at the exported boundary.
#ifndef VELKOR_COMMON_EXCEPTION_H_
#define VELKOR_COMMON_EXCEPTION_H_

#include <cstddef>
#include <exception>
#include <string>

namespace velkor {

class _exception : public std::exception {
 public:
  _exception(std::string id, std::string msg, std::string where, std::string params,
             std::string comment);
  _exception(const _exception& other) = default;
  ~_exception() override = default;

  const char* what() const noexcept override { return msg_.c_str(); }

  std::string get_id() const { return id_; }
  std::string get_msg() const { return msg_; }
  std::string get_where() const { return where_; }
  std::string get_params() const { return params_; }
  std::string get_comment() const { return comment_; }

 private:
  std::string id_;
  std::string msg_;
  std::string where_;
  std::string params_;
  std::string comment_;
};

// Formats `format` (printf style, items Name[%d] / Name[%s]) into a zeroed
// buffer of `capacity` bytes and returns the text up to the first zero byte.
// A text that would not fit is cut to capacity - 1 bytes.
std::string format_params(std::size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Capacity of the params buffer at every raising site but the resize error.
constexpr std::size_t kParamsCapacity = 32768;

}  // namespace velkor

#endif  // VELKOR_COMMON_EXCEPTION_H_
