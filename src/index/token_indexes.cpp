// Lifecycle of an index: open and load, save, release.
#include "index/token_indexes.h"

#include <algorithm>
#include <cstring>

#include "index/index_errors.h"
#include "stream/fstream.h"
#include "stream/memstream.h"
#include "stream/read_ahead.h"
#include "stream/serialize.h"

namespace velkor {

using namespace format;

namespace {

// On a little-endian machine a pair of u32 is held as a table section lies.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
constexpr bool kPairsAsHeld = false;
#else
constexpr bool kPairsAsHeld = true;
#endif

}  // namespace

_CTokenIndexes::_CTokenIndexes(const std::string& path, bool read_only) : read_only(read_only) {
  std::fill(std::begin(header), std::end(header), 0u);
  header[kWordMagic] = kMagic;
  header[kWordSlotSize] = format::kDefaultSlotSize;
  try {
    _open(path, read_only);
  } catch (const _exception& e) {
    _release();
    throw _exception(e);
  } catch (...) {
    _release();
    throw index_errors::create_failed();
  }
}

_CTokenIndexes::~_CTokenIndexes() { _release(); }

void _CTokenIndexes::_open(const std::string& path, bool ro) {
  const uint32_t mode = ro ? _fstream::kRead : (_fstream::kRead | _fstream::kWrite);
  stream.reset(new _fstream(path.c_str(), mode, true));
  stream->keep_saves(ro);
  stream->_seek(0, 0);
  storage.reset(new _CObjectStorage(stream.get()));
  token_cache.set_storage(storage.get());
  path_cache.set_storage(storage.get());
  _load();
}

bool _CTokenIndexes::_load() {
  if (!stream || !storage || stream->_size() <= kHeaderBytes) return false;
  stream->_seek(0, 0);
  uint8_t words[format::kHeaderWords * 4];
  stream->read(words, static_cast<int32_t>(sizeof words));
  for (int i = 0; i < format::kHeaderWords; ++i) header[i] = decode_u32(words + 4 * i);
  if (static_cast<int32_t>(header[kWordSlotSize]) < format::kDefaultSlotSize) {
    header[kWordSlotSize] = format::kDefaultSlotSize;
  }
  if (header[kWordMagic] == kMagicV1 || header[kWordMagic] == kMagicV2) {
    throw index_errors::version_mismatch();
  }
  if (header[kWordMagic] != kMagic) throw index_errors::invalid_magic();
  storage->slot_size = static_cast<int32_t>(header[kWordSlotSize]);

  // The two large tables are read in blocks straight from the file; an
  // index opened for reading leaves them there. A header word that no seek
  // can reach leaves the position where the last section ended, and the
  // next section is read from there.
  stream->_seek(static_cast<int32_t>(header[kWordSlotTableBegin]), 0);
  stream->lend_views();
  if (read_only) {
    storage->_map_stg_slots(*stream);
  } else {
    storage->_load_stg_slots(*stream);
  }
  stream->_seek(static_cast<int32_t>(header[kWordTokenTableBegin]), 0);
  if (read_only) {
    _map_token_table(*stream);
  } else {
    _load_token_table(*stream);
  }
  // The rest is read field by field, from blocks read ahead.
  read_ahead in(*stream);
  in._seek(static_cast<int32_t>(header[kWordPathTableBegin]), 0);
  if (read_only) {
    _map_path_table(in);
  } else {
    _load_path_table(in);
  }
  in._seek(static_cast<int32_t>(header[kWordRegistryBegin]), 0);
  names_registry.load(in);
  if (read_u32(in) != header[kWordMagic]) throw index_errors::magic_missing();
  stream->release_view();
  // Bytes behind the ending magic mean nothing.
  stream->set_kept_end(in._seek(0, 1));
  return true;
}

bool _CTokenIndexes::_save() {
  if (!stream || !storage || read_only) return false;
  // Until the save completes, the file holds no index of its own: closing
  // rolls it back to the last save, so the changes are not in it.
  save_incomplete_ = true;
  trim_caches(0, 0);
  storage->write_forms();
  if (storage->slot_count() == 0) {
    stream->write_back();
    stream->commit(stream->_size());
    save_incomplete_ = false;
    return true;
  }

  // The sections go behind the slot data, each written as it is held.
  header[kWordMagic] = kMagic;
  const uint32_t end = storage->data_end();
  stream->seek(static_cast<int32_t>(end), 0);
  header[kWordDataBegin] = format::kDataBegin;
  header[kWordDataEnd] = end;
  auto position = [this] { return static_cast<uint32_t>(stream->_seek(0, 1)); };
  header[kWordSlotTableBegin] = position();
  storage->_save_stg_slots(*stream);
  header[kWordSlotTableEnd] = position();
  header[kWordTokenTableBegin] = position();
  _save_token_table(*stream);
  header[kWordTokenTableEnd] = position();
  header[kWordPathTableBegin] = position();
  _save_path_table(*stream);
  header[kWordPathTableEnd] = position();
  header[kWordRegistryBegin] = position();
  names_registry.save(*stream);
  header[kWordRegistryEnd] = position();
  write_u32(*stream, kMagic);
  const int32_t kept_end = stream->_seek(0, 1);

  uint8_t words[format::kHeaderWords * 4];
  for (int i = 0; i < format::kHeaderWords; ++i) encode_u32(words + 4 * i, header[i]);
  stream->seek(0, 0);
  stream->write(words, static_cast<int32_t>(sizeof words));
  const int32_t pad = kHeaderBytes - stream->_seek(0, 1);
  if (pad < 1) throw index_errors::design_fault();
  const std::vector<uint8_t> zeros(static_cast<size_t>(pad), 0);
  stream->_write(zeros.data(), pad);
  // A host that crashes after the save returns loses nothing.
  stream->write_back();
  stream->commit(kept_end);
  save_incomplete_ = false;
  return true;
}

void _CTokenIndexes::_release() {
  // Closing the stream drops every change since the last save, in the file
  // too.
  token_table.clear();
  path_table.clear();
  paths_at_ = -1;
  storage.reset();
  stream.reset();
}

int32_t _CTokenIndexes::token_limit() const {
  return std::min(static_cast<int32_t>(header[kWordSlotSize]) - 2, kMaxTokenLength);
}

// Sections. Counts read as zero or negative give empty tables; records are
// read in bounded batches so that a damaged count costs no memory ahead of
// the bytes behind it.

void _CTokenIndexes::_load_token_table(_stream& from) {
  const int32_t count = static_cast<int32_t>(read_u32(from));
  std::vector<token_hash_table::pair> pairs;
  pairs.reserve(records_room(from, count, 8));
  read_records(from, count, {4, 4}, [&pairs](const uint8_t* r, int32_t records) {
    const size_t at = pairs.size();
    pairs.resize(at + static_cast<size_t>(records));
    if (kPairsAsHeld) {
      std::memcpy(static_cast<void*>(pairs.data() + at), r,
                  static_cast<size_t>(records) * format::kTablePairBytes);
      return;
    }
    for (int32_t i = 0; i < records; ++i, r += 8) {
      pairs[at + static_cast<size_t>(i)] = {decode_u32(r), decode_u32(r + 4)};
    }
  });
  token_table.assign(std::move(pairs));
}

namespace {

// A table of pairs of u32 as its section holds it: the count, then the
// pairs.

template <class Pairs, class First>
void write_pairs(_stream& to, const Pairs& pairs, First first) {
  std::vector<uint8_t> bytes(4 + pairs.size() * format::kTablePairBytes);
  encode_u32(bytes.data(), static_cast<uint32_t>(pairs.size()));
  uint8_t* out = bytes.data() + 4;
  for (const auto& pair : pairs) {
    encode_u32(out, first(pair.first));
    encode_u32(out + 4, pair.second);
    out += format::kTablePairBytes;
  }
  to.write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace

void _CTokenIndexes::_map_token_table(_stream& from) {
  const int64_t begin = from._seek(0, 1);
  const int32_t count = static_cast<int32_t>(read_u32(from));
  const int64_t at = from._seek(0, 1);
  size_t pairs = 0;
  uint32_t last = 0;
  bool in_order = true;
  read_records(from, count, {4, 4}, [&](const uint8_t* r, int32_t records) {
    for (int32_t i = 0; i < records; ++i, r += 8) {
      const uint32_t hash = decode_u32(r);
      if (hash < last) in_order = false;
      last = hash;
    }
    pairs += static_cast<size_t>(records);
  });
  if (in_order) {
    token_table.map(stream.get(), at, pairs);
    return;
  }
  // Pairs out of order are held, and put in order.
  const int64_t end = from._seek(0, 1);
  from._seek(static_cast<int32_t>(begin), 0);
  _load_token_table(from);
  from._seek(static_cast<int32_t>(end), 0);
}

void _CTokenIndexes::_save_token_table(_stream& to) {
  std::vector<token_hash_table::pair> pairs = token_table.sorted();
  // On a little-endian machine a pair of u32 is held as the section lies.
  static_assert(sizeof(token_hash_table::pair) == format::kTablePairBytes, "pairs are 8 bytes");
  if (kPairsAsHeld) {
    write_u32(to, static_cast<uint32_t>(pairs.size()));
    if (!pairs.empty()) {
      to.write(pairs.data(), static_cast<int32_t>(pairs.size() * format::kTablePairBytes));
    }
  } else {
    write_pairs(to, pairs, [](uint32_t hash) { return hash; });
  }
  // The same pairs, held as the file holds them: the next save merges in
  // only what was added.
  token_table.rebase(std::move(pairs));
}

void _CTokenIndexes::_load_path_table(_stream& from) {
  const int32_t count = static_cast<int32_t>(read_u32(from));
  read_records(from, count, {4, 4}, [this](const uint8_t* r, int32_t records) {
    for (int32_t i = 0; i < records; ++i, r += 8) {
      // A path id that occurs twice keeps its first pair; a section in
      // order goes in at the end of the array without a search.
      path_table.add_first(static_cast<int32_t>(decode_u32(r)), decode_u32(r + 4));
    }
  });
}

void _CTokenIndexes::_map_path_table(_stream& from) {
  paths_at_ = from._seek(0, 1);
  const int32_t count = static_cast<int32_t>(read_u32(from));
  read_records(from, count, {4, 4}, [](const uint8_t*, int32_t) {});
}

void _CTokenIndexes::hold_paths() const {
  if (paths_at_ < 0 || !stream) return;
  stream->_seek(static_cast<int32_t>(paths_at_), 0);
  paths_at_ = -1;
  const_cast<_CTokenIndexes*>(this)->_load_path_table(*stream);
}

void _CTokenIndexes::_save_path_table(_stream& to) const {
  write_pairs(to, path_table.sorted(),
              [](int32_t path_id) { return static_cast<uint32_t>(path_id); });
}

}  // namespace velkor
