#include "index/index_errors.h"

namespace velkor {
namespace index_errors {

namespace {

_exception index_error(const char* id, const char* msg, const char* where) {
  return _exception(id, msg, where, "", "");
}

const char kReadonlyMsg[] = "Cannot modify the index database that is open as Readonly!";

}  // namespace

_exception version_mismatch() {
  return index_error("_CTokenIndexes.VersionMismatch",
                     "The index data is invalid for this version.", "_CTokenIndexes._load");
}
_exception invalid_magic() {
  return index_error("_CTokenIndexes.InvalidMagicNum", "Invalid file header tag detected.",
                     "_CTokenIndexes._load");
}
_exception magic_missing() {
  return index_error("_CTokenIndexes.MagicNumMissing", "The ending magic number was missing.",
                     "_CTokenIndexes._load");
}
_exception create_failed() {
  return index_error("_CTokenIndexes.CreateErr", "Failed to construct index instances.",
                     "_CTokenIndexes.Ctor");
}
_exception design_fault() { return index_error("", "Fault in design!", ""); }
_exception readonly_insert() {
  return index_error("_CTokenIndexes.Readonly", kReadonlyMsg, "_CTokenIndexes::_insert_tokens");
}
_exception readonly_delete() {
  return index_error("_CTokenIndexes.ReadonlyIndex", kReadonlyMsg,
                     "_CTokenIndexes::_delete_path_id");
}
_exception index_token_failure() {
  return index_error("_CTokenIndexes.IndexTokenFailure", "Failed to insert tokens!",
                     "_CTokenIndexes::_insert_tokens");
}
_exception cache_token_failure() {
  return index_error("_CTokenIndexes.CacheTokenFailure", "Failed to cache new tokens!",
                     "_CTokenIndexes::__insert_token");
}
_exception cache_path_failure() {
  return index_error("", "Failed to cache path entries in memory!", "");
}
_exception inconsistent_path() {
  return index_error("_CTokenIndexes.Inconsistent", "The index database gets inconsistent!",
                     "_CTokenIndexes::__erase_path_id");
}
_exception inconsistent_token() {
  return index_error("_CTokenIndexes.Inconsistent", "The index data get inconsistent!",
                     "_CTokenIndexes::__erase_token_id");
}
_exception null_callback() {
  return index_error("_CTokenIndexes.NullCallback", "The enumeration callback is null!",
                     "_CTokenIndexes::_enum_paths");
}

}  // namespace index_errors
}  // namespace velkor
