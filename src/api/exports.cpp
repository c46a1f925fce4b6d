// The exported C interface. Each export converts its arguments and forwards
// to one operation of the index object inside the same call frame: clear the
// last-error record, answer a null handle with the failure value, capture
// any failure into the record.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "api/last_error.h"
#include "api/per_thread.h"
#include "common/decimal.h"
#include "index/token_indexes.h"
#include "velkor_index.h"

using velkor::_CTokenIndexes;

namespace {

_CTokenIndexes* index_of(idx_handle handle) { return reinterpret_cast<_CTokenIndexes*>(handle); }

std::string owned(const char* text) { return text ? std::string(text) : std::string(); }

std::string owned_or(const char* text, const char* fallback) {
  return text && *text ? std::string(text) : std::string(fallback);
}

// Runs `op` on the index behind `handle`; returns its result, or `failure`
// for a null handle and after a failure (recorded in the last-error record).
template <class R, class Op>
R call_frame(idx_handle handle, R failure, Op&& op) {
  velkor::clear_last_error();
  R result = failure;
  if (handle == nullptr) return result;
  try {
    result = op(*index_of(handle));
  } catch (velkor::_exception& e) {
    velkor::capture_last_error(e);
  } catch (...) {
    velkor::capture_unknown_error();
  }
  return result;
}

// The result buffers of idx_path_of and idx_query, a pair per thread for the
// same reason as the last-error record: a text returned on one thread stays
// as it was while another thread queries its own handle.
struct result_buffers {
  std::string path;
  std::string query;
};

std::string& path_buffer() { return velkor::per_thread<result_buffers>().path; }
std::string& query_buffer() { return velkor::per_thread<result_buffers>().query; }

const char kEmptyText[] = "";

}  // namespace

extern "C" {

idx_handle idx_open(const char* path, bool read_only) {
  velkor::clear_last_error();
  const std::string file = owned(path);
  try {
    _CTokenIndexes* index = new (std::nothrow) _CTokenIndexes(file, read_only);
    return reinterpret_cast<idx_handle>(index);
  } catch (velkor::_exception& e) {
    velkor::capture_last_error(e);
  } catch (...) {
    velkor::capture_unknown_error();
  }
  return nullptr;
}

bool idx_close(idx_handle index) {
  velkor::clear_last_error();
  delete index_of(index);
  return true;
}

bool idx_save(idx_handle index) {
  return call_frame(index, false, [](_CTokenIndexes& x) { return x._save(); });
}

uint32_t idx_discard(idx_handle index, uint32_t path_id) {
  return call_frame(index, _CTokenIndexes::kNoId, [&](_CTokenIndexes& x) {
    return x._delete_path_id(static_cast<int32_t>(path_id));
  });
}

uint32_t idx_index(idx_handle index, uint32_t path_id, const char* text, const char* delimiter) {
  return call_frame(index, _CTokenIndexes::kNoId, [&](_CTokenIndexes& x) {
    return x._insert_tokens(path_id, owned(text), owned_or(delimiter, " "));
  });
}

const char* idx_query(idx_handle index, const char* query, const char* separator) {
  // The buffer only grows, so a query writes its answer without clearing it;
  // a zero at its start empties the text of an earlier answer, whatever this
  // call finds.
  std::string& buffer = query_buffer();
  if (!buffer.empty()) buffer[0] = '\0';
  return call_frame(index, kEmptyText, [&](_CTokenIndexes& x) -> const char* {
    if (query == nullptr || *query == '\0') return kEmptyText;
    uint32_t id = 0;
    const velkor::token_entry* found = x.query_entry(query, &id);
    if (found == nullptr) return kEmptyText;
    const std::string_view sep = separator && *separator ? separator : ",";
    // Each posting takes at most 11 + 5 characters and two separators.
    const size_t needed = found->postings.size() * (16 + 2 * sep.size()) + 1;
    if (buffer.size() < needed) buffer.resize(needed);
    char* const begin = buffer.data();
    char* out = begin;
    if (sep.size() == 1) {
      const char s = sep[0];
      for (const velkor::posting& p : found->postings) {
        out = velkor::write_decimal(out, p.path_id);
        *out++ = s;
        out = velkor::write_decimal(out, static_cast<uint32_t>(p.count));
        *out++ = s;
      }
      if (out != begin) --out;
    } else {
      for (const velkor::posting& p : found->postings) {
        if (out != begin) out = std::copy(sep.begin(), sep.end(), out);
        out = velkor::write_decimal(out, p.path_id);
        out = std::copy(sep.begin(), sep.end(), out);
        out = velkor::write_decimal(out, static_cast<uint32_t>(p.count));
      }
    }
    *out = '\0';
    return begin;
  });
}

uint32_t idx_id_of(idx_handle index, const char* path, bool create) {
  return call_frame(index, _CTokenIndexes::kNoId,
                    [&](_CTokenIndexes& x) { return x._id_of(owned(path), create); });
}

const char* idx_path_of(idx_handle index, uint32_t path_id) {
  std::string& buffer = path_buffer();
  buffer.clear();
  call_frame(index, false, [&](_CTokenIndexes& x) {
    _CTokenIndexes::path_record record;
    if (x._record_of(path_id, &record)) buffer = std::move(record.path);
    return true;
  });
  return buffer.c_str();
}

int64_t idx_time_of(idx_handle index, int32_t path_id) {
  return call_frame(index, static_cast<int64_t>(0), [&](_CTokenIndexes& x) -> int64_t {
    _CTokenIndexes::path_record record;
    return x._record_of(static_cast<uint32_t>(path_id), &record) ? int64_t{record.time} : 0;
  });
}

int32_t idx_count_of(idx_handle index, uint32_t selector) {
  return call_frame(index, -1, [&](_CTokenIndexes& x) { return x._count_of(selector); });
}

int32_t idx_enum_path(idx_handle index, idx_enum_callback callback, void* user_data) {
  return call_frame(index, -1,
                    [&](_CTokenIndexes& x) { return x._enum_paths(callback, user_data); });
}

bool idx_get_modify(idx_handle index) {
  return call_frame(index, false, [](_CTokenIndexes& x) { return x._get_modify(); });
}

bool idx_adjust_cache(idx_handle index, int32_t token_cache_limit, int32_t path_cache_limit) {
  return call_frame(index, false, [&](_CTokenIndexes& x) {
    x._adjust_cache(token_cache_limit, path_cache_limit);
    return true;
  });
}

const char* _get_err_id(void) { return velkor::last_error().id.c_str(); }
const char* _get_err_msg(void) { return velkor::last_error().msg.c_str(); }
const char* _get_err_where(void) { return velkor::last_error().where.c_str(); }
const char* _get_err_params(void) { return velkor::last_error().params.c_str(); }
const char* _get_err_comment(void) { return velkor::last_error().comment.c_str(); }

}  // extern "C"
