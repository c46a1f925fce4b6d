// The two kinds of stored object. A token entry lists the path ids in which
// its token was indexed, with counts; a path entry lists the token entries
// indexed for its path id. Each stored form starts with its key (the token in
// the token form, the path id as 4 bytes) so that the key can be read from
// the first slot of a chain alone.
//
//   token entry: token form; u32 N; N x { u32 path id, u16 count }
//   path entry:  u32 path id; u32 N; N x u32 token entry id
#ifndef VELKOR_INDEX_ENTRIES_H_
#define VELKOR_INDEX_ENTRIES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_format.h"
#include "stream/stream.h"

namespace velkor {

// Packed to the six bytes of its stored form: a bulk index holds millions of
// postings in memory, and on a little-endian machine a list of them is
// stored and loaded as one block.
#pragma pack(push, 1)
struct posting {
  // Left unset: a list is grown to take a block of stored postings, which
  // would otherwise be zeroed first and then overwritten.
  posting() {}  // NOLINT(modernize-use-equals-default): `= default` zeroes in resize
  posting(int32_t path_id, uint16_t count) : path_id(path_id), count(count) {}

  int32_t path_id;
  uint16_t count;
};
#pragma pack(pop)
static_assert(sizeof(posting) == 6, "a posting is held as its stored form");

struct token_entry {
  using key_type = std::string;

  std::string token;
  // Strictly ascending by signed path id.
  std::vector<posting> postings;

  void save(_stream& stream) const;
  void load(_stream& stream);
  static void load_key(_stream& stream, std::string& key);
  // The key from the first n bytes of the stored form, when they hold it.
  static bool key_from(const uint8_t* bytes, size_t n, std::string& key);
  // The length of the stored form that starts with `bytes` (n of them), or
  // -1 while they are too few to tell.
  static int64_t stored_length(const uint8_t* bytes, size_t n);
};

struct path_entry {
  using key_type = uint32_t;

  uint32_t path_id = 0xFFFFFFFFu;
  // Ascending by signed value, no duplicates.
  std::vector<uint32_t> token_ids;

  void save(_stream& stream) const;
  void load(_stream& stream);
  static void load_key(_stream& stream, uint32_t& key);
  static bool key_from(const uint8_t* bytes, size_t n, uint32_t& key);
  static int64_t stored_length(const uint8_t* bytes, size_t n);
};

inline uint32_t token_hash(std::string_view token) {
  uint32_t h = 0;
  for (const char c : token) h = token_hash_step(h, c);
  return h;
}

}  // namespace velkor

#endif  // VELKOR_INDEX_ENTRIES_H_
