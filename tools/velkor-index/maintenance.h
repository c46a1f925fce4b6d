// What compact and recover share: the new file that replaces its target only
// once it is written and checked, and the copy of a readable index in the
// layout of a bulk build.
#ifndef VELKOR_TOOLS_MAINTENANCE_H_
#define VELKOR_TOOLS_MAINTENANCE_H_

#include <string>

#include "common/exception.h"
#include "index/token_indexes.h"
#include "index_writer.h"

namespace velkor_tool {

// A file beside `target`, named after it, that is renamed over `target` on
// commit and removed otherwise. A run that fails, or runs out of memory,
// leaves `target` as it was.
class staged_file {
 public:
  explicit staged_file(const std::string& target);
  ~staged_file();
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;

  const std::string& path() const { return path_; }
  // Checks the staged file with the format checker and renames it over the
  // target. False, with the findings or the rename's failure in `error`,
  // when it is not sound or cannot be renamed.
  bool commit(std::string* error);

 private:
  std::string target_;
  std::string path_;
  bool committed_ = false;
};

// Writes every entry and name of `index` through `writer`: path entries in
// the order of their ids (the order in which the file made them, as far as
// it tells), each after the token entries it is first to name. Raises the
// engine's error when an entry cannot be read.
void copy_index(velkor::_CTokenIndexes& index, index_writer& writer);

// The engine's error as one line: id, message, where, params.
std::string describe(const velkor::_exception& e);

// "1,234,567".
std::string grouped(unsigned long long n);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_MAINTENANCE_H_
