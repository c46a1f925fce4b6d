// Writes a whole index file in one pass from its entries, for compact and
// recover. Every entry goes into one slot of its own that fits its stored
// form (at least the slot size): no chain, no idle slot. The entries come in
// the order a bulk build makes them (write_document), so the file reads like
// one freshly built, except that a bulk build leaves most token entries in
// two slots (the one made with the entry and the rest appended at the save).
//
// Ids, times, paths, tokens and counts are written as given: this is why
// the file is written here from the layout header and the entries' own
// encoders, and not through the index object, which draws new path ids.
#ifndef VELKOR_TOOLS_INDEX_WRITER_H_
#define VELKOR_TOOLS_INDEX_WRITER_H_

#include <cstdint>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/entries.h"
#include "index/path_registry.h"

namespace velkor_tool {

// The new file cannot be written, or would pass the engine's 2 GiB limit.
struct write_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class index_writer {
 public:
  // Makes `file` anew for an index of the given slot size (32 or more).
  index_writer(const std::string& file, int32_t slot_size);
  index_writer(const index_writer&) = delete;
  index_writer& operator=(const index_writer&) = delete;

  // Each returns the new entry's id. Every call raises write_error when the
  // file cannot be written.
  uint32_t add_token(const velkor::token_entry& entry);
  // `entry.token_ids` are ids that add_token returned, in any order.
  uint32_t add_path(velkor::path_entry entry);
  // REQUIRES: each id once, each path once.
  void add_name(int32_t id, velkor::path_registry::record record);

  // The sections, the ending magic and the header. An index without entries
  // and without names is an empty file; names without entries get one idle
  // slot, since a saved index holds at least one slot.
  void finish();

  size_t token_count() const { return token_pairs_.size(); }
  size_t path_count() const { return path_pairs_.size(); }
  size_t name_count() const { return names_.size(); }
  size_t slot_count() const { return slots_.size(); }

 private:
  uint32_t add_slot(const std::vector<uint8_t>& form, uint8_t in_use);
  void put(const void* bytes, size_t n);

  std::string file_;
  std::ofstream out_;
  int32_t slot_size_;
  uint32_t end_;
  // offset, size, in use; every slot ends its chain.
  struct slot {
    uint32_t offset;
    uint32_t size;
    uint8_t in_use;
  };
  std::vector<slot> slots_;
  std::vector<std::pair<uint32_t, uint32_t>> token_pairs_;
  std::vector<std::pair<int32_t, uint32_t>> path_pairs_;
  velkor::path_registry names_;
  std::vector<uint8_t> scratch_;
};

// Old token entry ids to the ids written.
using id_map = std::unordered_map<uint32_t, uint32_t>;
// Fills a token entry by its old id; raises when it cannot.
using token_loader = std::function<void(uint32_t old_id, velkor::token_entry& out)>;

// Writes a path entry as indexing its text would make it: first the token
// entries it names that are not written yet, in byte order of their tokens,
// then the path entry, its token ids mapped through `written`.
void write_document(index_writer& writer, id_map& written, int32_t path_id,
                    const std::vector<uint32_t>& old_token_ids, const token_loader& load);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_INDEX_WRITER_H_
