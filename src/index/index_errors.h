// The five texts of every error raised by the index object, in one place.
#ifndef VELKOR_INDEX_INDEX_ERRORS_H_
#define VELKOR_INDEX_INDEX_ERRORS_H_

#include "common/exception.h"

namespace velkor {
namespace index_errors {

_exception version_mismatch();
_exception invalid_magic();
_exception magic_missing();
_exception create_failed();
_exception design_fault();
_exception readonly_insert();
_exception readonly_delete();
_exception index_token_failure();
_exception cache_token_failure();
_exception cache_path_failure();
_exception inconsistent_path();
_exception inconsistent_token();
_exception null_callback();

}  // namespace index_errors
}  // namespace velkor

#endif  // VELKOR_INDEX_INDEX_ERRORS_H_
