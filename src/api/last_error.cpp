#include "api/last_error.h"

#include "api/per_thread.h"

namespace velkor {

// One record per thread: a host may run its handles on several threads (one
// thread per handle at a time), and each thread must read the failure of its
// own last call, not one that another thread is writing. A host with one
// thread sees one record.
last_error_record& last_error() { return per_thread<last_error_record>(); }

void clear_last_error() {
  last_error_record& r = last_error();
  r.id.clear();
  r.msg.clear();
  r.where.clear();
  r.params.clear();
  r.comment.clear();
}

void capture_last_error(const _exception& e) {
  last_error_record& r = last_error();
  r.id = e.get_id();
  r.msg = e.get_msg();
  r.where = e.get_where();
  r.params = e.get_params();
  r.comment = e.get_comment();
}

void capture_unknown_error() {
  last_error_record& r = last_error();
  r.id = "._ExceptionUnknown";
  r.msg = "Fatal error: unknown exception! [velkor::index.dll]";
  r.where.clear();
  r.params.clear();
  r.comment.clear();
}

}  // namespace velkor
