// The record of the last failure, one per thread, read by the _get_err_
// accessors and cleared on entry of every idx_ export.
#ifndef VELKOR_API_LAST_ERROR_H_
#define VELKOR_API_LAST_ERROR_H_

#include <string>

#include "common/exception.h"

namespace velkor {

struct last_error_record {
  std::string id;
  std::string msg;
  std::string where;
  std::string params;
  std::string comment;
};

// The calling thread's record.
last_error_record& last_error();

void clear_last_error();
void capture_last_error(const _exception& e);
void capture_unknown_error();

}  // namespace velkor

#endif  // VELKOR_API_LAST_ERROR_H_
