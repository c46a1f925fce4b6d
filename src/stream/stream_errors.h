// The five texts of every stream error, in one place.
#ifndef VELKOR_STREAM_STREAM_ERRORS_H_
#define VELKOR_STREAM_STREAM_ERRORS_H_

#include <cstdint>
#include <string>

#include "common/exception.h"

namespace velkor {
namespace stream_errors {

_exception read_error(int32_t available, int32_t count, const char* name, int32_t code);
_exception write_error(int32_t size, int32_t count, const char* name, int32_t code);
_exception resize_error(int32_t size, int32_t new_size, const char* name, int32_t code);
_exception seek_error(int32_t offset, int32_t size, const char* name, int32_t code);
_exception size_error(const char* name, int32_t code);
_exception open_error(const char* path, const std::string& mode_words, int32_t code);
_exception roll_back_error(const char* name, int32_t code);
_exception invalid_origin();
_exception memstream_null_adapter();

}  // namespace stream_errors
}  // namespace velkor

#endif  // VELKOR_STREAM_STREAM_ERRORS_H_
