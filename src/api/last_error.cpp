#include "api/last_error.h"

namespace velkor {

namespace {

// Built when the library is loaded, destroyed when it is unloaded.
last_error_record g_last_error;

}  // namespace

last_error_record& last_error() { return g_last_error; }

void clear_last_error() {
  g_last_error.id.clear();
  g_last_error.msg.clear();
  g_last_error.where.clear();
  g_last_error.params.clear();
  g_last_error.comment.clear();
}

void capture_last_error(const _exception& e) {
  g_last_error.id = e.get_id();
  g_last_error.msg = e.get_msg();
  g_last_error.where = e.get_where();
  g_last_error.params = e.get_params();
  g_last_error.comment = e.get_comment();
}

void capture_unknown_error() {
  g_last_error.id = "._ExceptionUnknown";
  g_last_error.msg = "Fatal error: unknown exception! [velkor::index.dll]";
  g_last_error.where.clear();
  g_last_error.params.clear();
  g_last_error.comment.clear();
}

}  // namespace velkor
