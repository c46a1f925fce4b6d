// 'velkor-index recover': salvages what a damaged index still holds.
//
// A file that the engine still reads whole is copied as compact copies it.
// Any other is salvaged from its bytes, read as they lie:
//   slot table   where the header points or, when no slot table lies there
//                (the header of an earlier save, left by a save that never
//                finished), wherever records tile the slot region from 512
//                on. A cut table gives the records before the cut; records
//                that lie outside the slot region or over another are left
//                out.
//   entries      each chain that no other chain links to is walked (at most
//                65,536 slots; it ends at a loop, at a slot without record,
//                at an idle slot or at one that another chain holds) and its
//                bytes read as a token entry or a path entry: the stored
//                form must end in the chain's last slot and read as a sound
//                entry, or the chain is lost.
//   paths        made anew from the postings of the token entries saved. The
//                path entries read tell only which paths lost tokens.
//   names        the registry where the header points or behind the
//                sections before it, up to its first damaged or missing
//                record.
// The token and path tables are not needed: every entry carries its key.
//
// Nothing is trusted that the file says about sizes: every read lies inside
// the file, each slot is read by one chain at most, and a count reads only
// the records the bytes behind it can hold. So time and memory stay within
// a small multiple of the file's size.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/file_format.h"
#include "format_check/format_check.h"
#include "index/entries.h"
#include "maintenance.h"
#include "stream/memstream.h"
#include "stream/serialize.h"
#include "tool_commands.h"

namespace fs = std::filesystem;

namespace velkor_tool {

namespace {

namespace fmt = velkor::format;

// Lines naming one lost thing each; the rest are counted.
constexpr size_t kShownLosses = 50;
// Records read to tell a slot table from other bytes.
constexpr size_t kProbeRecords = 4;

// Random access to the file's bytes; a read past its end fails.
class file_bytes {
 public:
  explicit file_bytes(const std::string& path) : in_(to_path(path), std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    const std::streamoff end = in_.tellg();
    opened_ = end >= 0;
    size_ = opened_ ? static_cast<uint64_t>(end) : 0;
  }
  bool opened() const { return opened_; }
  uint64_t size() const { return size_; }

  bool read(uint64_t offset, void* out, size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    if (n == 0) return true;
    // Sections are read field by field: serve them from one block.
    if (offset < block_at_ || offset + n > block_at_ + block_.size()) {
      if (n > kBlock) return read_direct(offset, out, n);
      block_.resize(static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - offset)));
      if (!read_direct(offset, block_.data(), block_.size())) {
        block_.clear();
        return false;
      }
      block_at_ = offset;
    }
    std::memcpy(out, block_.data() + (offset - block_at_), n);
    return true;
  }
  bool u32(uint64_t offset, uint32_t* value) {
    uint8_t bytes[4];
    if (!read(offset, bytes, 4)) return false;
    *value = velkor::decode_u32(bytes);
    return true;
  }

 private:
  static constexpr size_t kBlock = 1 << 16;

  bool read_direct(uint64_t offset, void* out, size_t n) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(n));
    return in_.gcount() == static_cast<std::streamsize>(n);
  }

  std::ifstream in_;
  bool opened_ = false;
  uint64_t size_ = 0;
  std::vector<uint8_t> block_;
  uint64_t block_at_ = 0;
};

struct slot_record {
  uint32_t offset;
  int32_t size;
  uint8_t in_use;
  uint32_t next;
};

struct slot_table {
  uint64_t at = 0;
  uint32_t count = 0;   // as the section says
  size_t readable = 0;  // the records the file holds of them
  slot_record last{};   // the last of those
  std::vector<slot_record> records;
  bool whole() const { return readable == count; }
  // Where the slot region ends as far as the records tell.
  uint64_t tiled_end() const { return uint64_t{last.offset} + static_cast<uint32_t>(last.size); }
  // Whole, and lying right behind the slots it describes.
  bool fits() const { return whole() && tiled_end() == at; }
};

bool read_record(file_bytes& file, uint64_t at, slot_record* r) {
  uint8_t bytes[fmt::kSlotRecordBytes];
  if (!file.read(at, bytes, sizeof bytes)) return false;
  r->offset = velkor::decode_u32(bytes);
  r->size = static_cast<int32_t>(velkor::decode_u32(bytes + 4));
  r->in_use = bytes[8];
  r->next = velkor::decode_u32(bytes + 9);
  return true;
}

// Whether a slot table lies at `at`: its first records tile the region from
// 512 on, each at least the smallest slot size, and lie before the section.
// Reads only those and the last record the file holds.
bool probe_slot_table(file_bytes& file, uint64_t at, slot_table* table) {
  uint32_t count = 0;
  if (at < fmt::kDataBegin || !file.u32(at, &count) || static_cast<int32_t>(count) <= 0) {
    return false;
  }
  const uint64_t room = (file.size() - at - 4) / fmt::kSlotRecordBytes;
  const size_t readable = static_cast<size_t>(std::min<uint64_t>(count, room));
  if (readable == 0) return false;
  uint64_t expected = fmt::kDataBegin;
  for (size_t i = 0; i < readable && i < kProbeRecords; ++i) {
    slot_record r{};
    read_record(file, at + 4 + i * fmt::kSlotRecordBytes, &r);
    if (r.offset != expected || r.size < fmt::kDefaultSlotSize || r.in_use > 1 ||
        expected + static_cast<uint32_t>(r.size) > at) {
      return false;
    }
    expected += static_cast<uint32_t>(r.size);
  }
  table->at = at;
  table->count = count;
  table->readable = readable;
  read_record(file, at + 4 + (readable - 1) * fmt::kSlotRecordBytes, &table->last);
  return true;
}

void read_records(file_bytes& file, slot_table* table) {
  table->records.resize(table->readable);
  for (size_t i = 0; i < table->readable; ++i) {
    read_record(file, table->at + 4 + i * fmt::kSlotRecordBytes, &table->records[i]);
  }
}

// Looks through the whole file for a slot table: for the offset 512 of a
// first record, then for the rest of probe_slot_table's marks. The best is a
// whole table that lies right behind its slots; then the longest.
bool search_slot_table(file_bytes& file, slot_table* best) {
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> chunk(kChunk + 3);
  uint8_t mark[4];
  velkor::encode_u32(mark, fmt::kDataBegin);
  bool found = false;
  for (uint64_t from = fmt::kDataBegin + 4; from + 4 <= file.size(); from += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk + 3, file.size() - from));
    if (!file.read(from, chunk.data(), n)) break;
    for (size_t i = 0; i + 4 <= n; ++i) {
      if (std::memcmp(chunk.data() + i, mark, 4) != 0) continue;
      slot_table candidate;
      if (!probe_slot_table(file, from + i - 4, &candidate)) continue;
      if (!found || (candidate.fits() != best->fits() ? candidate.fits()
                                                      : candidate.readable > best->readable)) {
        *best = candidate;
        found = true;
      }
    }
  }
  return found;
}

struct name_list {
  bool found = false;
  bool whole = false;
  uint32_t count = 0;
  std::vector<std::pair<int32_t, velkor::path_registry::record>> names;
  std::string damage;  // why the records stop early
};

// Reads the registry at `at` up to its first record that is cut short or
// damaged (an id out of order, a path empty, holding a zero byte or given
// twice). Whole when every record reads and the ending magic follows.
name_list read_names(file_bytes& file, uint64_t at) {
  name_list list;
  if (!file.u32(at, &list.count)) return list;
  list.found = true;
  const int32_t count = std::max(static_cast<int32_t>(list.count), 0);
  std::set<std::string> paths;
  uint64_t p = at + 4;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t id = 0, length = 0, time = 0;
    uint8_t key = 0;
    if (!file.u32(p, &id) || !file.u32(p + 4, &length) || length > fmt::kMaxStringLength ||
        !file.read(p + 8, &key, 1) || p + 9 + length + 4 > file.size()) {
      list.damage = "cut short after " + std::to_string(i) + " of " + std::to_string(count);
      return list;
    }
    std::string path(length, '\0');
    file.read(p + 9, path.data(), length);
    for (char& c : path) c = static_cast<char>(c ^ key);
    file.u32(p + 9 + length, &time);
    const bool ascending = list.names.empty() || list.names.back().first < static_cast<int32_t>(id);
    if (!ascending || path.empty() || path.find('\0') != std::string::npos ||
        !paths.insert(path).second) {
      list.damage = "damaged at record " + std::to_string(i) + " of " + std::to_string(count);
      return list;
    }
    list.names.emplace_back(
        static_cast<int32_t>(id),
        velkor::path_registry::record{std::move(path), static_cast<int32_t>(time)});
    p += 9 + length + 4;
  }
  uint32_t ending = 0;
  list.whole = file.u32(p, &ending) && ending == fmt::kMagic;
  if (!list.whole) list.damage = "the ending magic behind it is missing";
  return list;
}

// What a chain's bytes read as.
struct read_entry {
  bool is_token = false;
  bool is_path = false;
  velkor::token_entry token;
  velkor::path_entry path;
};

bool ascending_signed(const std::vector<uint32_t>& ids) {
  for (size_t i = 1; i < ids.size(); ++i) {
    if (static_cast<int32_t>(ids[i - 1]) >= static_cast<int32_t>(ids[i])) return false;
  }
  return true;
}

// Whether the stored form of `length` bytes ends in the last slot of a
// chain of `capacity` bytes whose last slot holds `last`: a rewrite frees
// the slots its form no longer reaches.
bool ends_in_last_slot(int64_t length, uint64_t capacity, uint32_t last) {
  return length > 0 && static_cast<uint64_t>(length) <= capacity &&
         static_cast<uint64_t>(length) > capacity - last;
}

template <class Entry>
bool load_entry(std::vector<uint8_t>& bytes, int64_t length, Entry* entry) {
  velkor::_memadapter adapter;
  adapter.buffer.assign(bytes.begin(), bytes.begin() + length);
  try {
    velkor::_memstream stream(&adapter);
    entry->load(stream);
    return stream._seek(0, 1) == length;
  } catch (const velkor::_exception&) {
    return false;
  }
}

// `is_head(id)`: whether a chain starts at slot id; a path entry names only
// such slots.
template <class IsHead>
read_entry read_chain(std::vector<uint8_t>& bytes, uint32_t last, int32_t token_limit,
                      const IsHead& is_head) {
  read_entry e;
  const int64_t token_length = velkor::token_entry::stored_length(bytes.data(), bytes.size());
  if (ends_in_last_slot(token_length, bytes.size(), last) &&
      load_entry(bytes, token_length, &e.token)) {
    const auto& postings = e.token.postings;
    bool sound = !e.token.token.empty() &&
                 e.token.token.size() <= static_cast<size_t>(token_limit) && !postings.empty();
    for (size_t i = 0; sound && i < postings.size(); ++i) {
      sound = postings[i].count > 0 && (i == 0 || postings[i - 1].path_id < postings[i].path_id);
    }
    e.is_token = sound;
  }
  const int64_t path_length = velkor::path_entry::stored_length(bytes.data(), bytes.size());
  e.is_path = ends_in_last_slot(path_length, bytes.size(), last) &&
              load_entry(bytes, path_length, &e.path) && !e.path.token_ids.empty() &&
              ascending_signed(e.path.token_ids) &&
              std::all_of(e.path.token_ids.begin(), e.path.token_ids.end(), is_head);
  return e;
}

std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\' && u != '"') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

class salvage {
 public:
  salvage(file_bytes& file, const std::string& name) : file_(file), name_(name) {}

  int32_t slot_size() const { return slot_size_; }

  // Reads what the file holds; false (with a line said) when it holds no
  // slot table at all or is of another kind.
  bool read() {
    uint8_t header[fmt::kHeaderWords * 4] = {};
    const bool has_header = file_.read(0, header, sizeof header);
    uint32_t words[fmt::kHeaderWords] = {};
    for (int i = 0; i < fmt::kHeaderWords; ++i) words[i] = velkor::decode_u32(header + 4 * i);
    if (has_header && (words[0] == fmt::kMagicV1 || words[0] == fmt::kMagicV2)) {
      say(name_ + " is an index of an earlier version of the format, which recover does not read");
      return false;
    }
    const bool magic = has_header && words[fmt::kWordMagic] == fmt::kMagic;
    if (!magic) say("header: no magic word; its words are not used");

    if (magic && probe_slot_table(file_, words[fmt::kWordSlotTableBegin], &table_)) {
      header_trusted_ = true;
    } else if (search_slot_table(file_, &table_)) {
      say("slot table: found at " + std::to_string(table_.at) +
          (magic ? ", not where the header points (" +
                       std::to_string(words[fmt::kWordSlotTableBegin]) +
                       "): the header is older than the sections"
                 : std::string()));
    } else {
      say("slot table: not found; without it no chain can be told from another");
      return false;
    }
    read_records(file_, &table_);
    say("slot table: " + grouped(table_.readable) + " of " + grouped(table_.count) + " records" +
        (table_.whole() ? std::string()
                        : "; cut short, so the slots from offset " + grouped(table_.tiled_end()) +
                              " on have no record"));

    slot_size_ =
        magic ? std::max(static_cast<int32_t>(words[fmt::kWordSlotSize]), fmt::kDefaultSlotSize)
              : fmt::kDefaultSlotSize;
    keep_sound_records();
    token_limit_ = std::min(slot_size_ - 2, fmt::kMaxTokenLength);
    read_chains();
    read_registry(words);
    return true;
  }

  // Writes what was saved; the report says what was not.
  void write(index_writer& writer) {
    // Path entries are made anew from the postings: path id to token ids.
    std::map<int32_t, std::vector<uint32_t>> documents;
    for (const auto& [id, entry] : tokens_) {
      for (const velkor::posting& p : entry.postings) {
        const int32_t path_id = p.path_id;  // a packed field: copied, never bound
        documents[path_id].push_back(id);
      }
    }
    // Paths in the order of the entries that were read, as compact orders
    // them; paths whose entry was lost after them, by id.
    std::vector<std::pair<uint64_t, int32_t>> order;
    for (const auto& document : documents) {
      const auto read = path_entry_of_.find(document.first);
      order.emplace_back(read == path_entry_of_.end() ? uint64_t{1} << 32 : read->second,
                         document.first);
    }
    std::sort(order.begin(), order.end());
    id_map written;
    const token_loader load = [this](uint32_t id, velkor::token_entry& out) {
      out = tokens_.at(id);
    };
    for (const auto& [ignored, path_id] : order) {
      write_document(writer, written, path_id, documents[path_id], load);
    }

    std::set<std::string> paths;
    for (const auto& name : names_.names) paths.insert(name.second.path);
    std::map<int32_t, velkor::path_registry::record> names(names_.names.begin(),
                                                           names_.names.end());
    // Without the whole registry a path id without a name may have had one:
    // it gets its id as name, as the tool shows an id without a name.
    size_t named_by_id = 0, unnamed = 0;
    if (!names_.whole) {
      for (const auto& document : documents) {
        if (names.count(document.first) != 0) continue;
        std::string name = "#" + std::to_string(document.first);
        if (paths.insert(name).second) {
          names.emplace(document.first, velkor::path_registry::record{std::move(name), 0});
          ++named_by_id;
        } else {
          ++unnamed;
        }
      }
    }
    for (auto& [id, record] : names) writer.add_name(id, std::move(record));
    writer.finish();

    say("saved: " + grouped(tokens_.size()) + " token entries with " + grouped(postings_) +
        " postings, " + grouped(documents.size()) + " paths indexed, " +
        grouped(names_.names.size()) + " names");
    if (named_by_id > 0) {
      say(grouped(named_by_id) + " path id(s) whose name was lost are registered as '#ID', time 0");
    }
    if (unnamed > 0) say(grouped(unnamed) + " path id(s) left without a name ('#ID' was taken)");
    report_losses();
  }

 private:
  void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

  // Leaves out records that lie outside the slot region or over one kept
  // before them; a slot smaller than the slot size lowers that to its size.
  void keep_sound_records() {
    std::vector<slot_record> kept;
    uint64_t end = fmt::kDataBegin;
    size_t dropped = 0;
    int32_t smallest = slot_size_;
    bool in_use = false;
    for (const slot_record& r : table_.records) {
      if (r.offset < end || r.size <= 0 || r.in_use > 1 ||
          uint64_t{r.offset} + static_cast<uint32_t>(r.size) > table_.at) {
        ++dropped;
        continue;
      }
      kept.push_back(r);
      end = uint64_t{r.offset} + static_cast<uint32_t>(r.size);
      if (r.in_use) smallest = std::min(smallest, r.size);
      in_use = in_use || r.in_use;
    }
    if (dropped > 0) say("slot table: " + grouped(dropped) + " damaged record(s) left out");
    if (!in_use) {
      slot_size_ = fmt::kDefaultSlotSize;
    } else if (smallest < slot_size_) {
      say("header: slot size " + std::to_string(slot_size_) + " is larger than slots in use; " +
          std::to_string(std::max(smallest, fmt::kDefaultSlotSize)) + " taken");
      slot_size_ = std::max(smallest, fmt::kDefaultSlotSize);
    }
    table_.records.swap(kept);
  }

  // The place of the record of slot `id`, or -1.
  int64_t find(uint32_t id) const {
    const auto& r = table_.records;
    const auto at = std::lower_bound(r.begin(), r.end(), id,
                                     [](const slot_record& s, uint32_t v) { return s.offset < v; });
    return at != r.end() && at->offset == id ? at - r.begin() : -1;
  }

  std::string token_name(uint32_t head) {
    uint8_t first[fmt::kMaxTokenLength + 2];
    const slot_record& r = table_.records[static_cast<size_t>(find(head))];
    const size_t n = std::min<size_t>(sizeof first, static_cast<uint32_t>(r.size));
    std::string token;
    if (file_.read(r.offset, first, n) && first[0] >= 128 &&
        velkor::token_from_bytes(first, n, token) && !token.empty()) {
      return "token entry " + std::to_string(head) + " \"" + printable(token) + "\"";
    }
    return "slot chain " + std::to_string(head);
  }

  void read_chains() {
    const auto& records = table_.records;
    std::vector<bool> linked(records.size(), false);
    for (const slot_record& r : records) {
      const int64_t next = r.in_use && r.next != fmt::kNoSlot ? find(r.next) : -1;
      if (next >= 0) linked[static_cast<size_t>(next)] = true;
    }
    // The chain that holds each slot, once walked.
    std::vector<uint32_t> holder(records.size(), fmt::kNoSlot);
    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> path_entries;
    for (size_t head = 0; head < records.size(); ++head) {
      if (!records[head].in_use || linked[head]) continue;
      const uint32_t id = records[head].offset;
      std::string broken;
      bytes.clear();
      uint32_t last = 0;
      int32_t walked = 0;
      for (int64_t at = static_cast<int64_t>(head);;) {
        const slot_record& r = records[static_cast<size_t>(at)];
        if (holder[static_cast<size_t>(at)] != fmt::kNoSlot) {
          broken = holder[static_cast<size_t>(at)] == id
                       ? "its chain loops at slot " + std::to_string(r.offset)
                       : "its chain runs into slot " + std::to_string(r.offset) + " of the chain " +
                             std::to_string(holder[static_cast<size_t>(at)]);
          break;
        }
        if (!r.in_use) {
          broken = "its chain reaches the idle slot " + std::to_string(r.offset);
          break;
        }
        holder[static_cast<size_t>(at)] = id;
        if (++walked > fmt::kMaxChainSlots) {
          broken = "its chain is longer than 65,536 slots";
          break;
        }
        const size_t before = bytes.size();
        bytes.resize(before + static_cast<uint32_t>(r.size));
        file_.read(r.offset, bytes.data() + before, static_cast<uint32_t>(r.size));
        last = static_cast<uint32_t>(r.size);
        if (r.next == fmt::kNoSlot) break;
        at = find(r.next);
        if (at < 0) {
          broken =
              "its chain links to " + std::to_string(r.next) +
              (table_.whole() || r.next < table_.tiled_end() ? ", which is no slot"
                                                             : ", a slot whose record was cut off");
          break;
        }
      }
      if (broken.empty()) {
        read_entry e = read_chain(bytes, last, token_limit_, [&](uint32_t t) {
          const int64_t at = find(t);
          return at >= 0 && records[static_cast<size_t>(at)].in_use &&
                 !linked[static_cast<size_t>(at)];
        });
        // A form that reads as both kinds is the path entry, whose token ids
        // all name chains: the bytes of a token entry hardly ever do.
        if (e.is_path) e.is_token = false;
        if (e.is_token) {
          tokens_.emplace(id, std::move(e.token));
          continue;
        }
        if (e.is_path) {
          path_entries.emplace_back(id, std::move(e.path.token_ids));
          path_entry_of_.emplace(static_cast<int32_t>(e.path.path_id), id);
          path_ids_.emplace(id, static_cast<int32_t>(e.path.path_id));
          continue;
        }
        broken = "its bytes are no sound entry";
      }
      lost_chains_.emplace(id, token_name(id) + ": " + broken);
    }
    // Slots in use that no walk reached: a chain that loops back to its
    // start, or the rest of one whose link was damaged.
    const size_t unreached = static_cast<size_t>(
        std::count_if(records.begin(), records.end(), [&](const slot_record& r) {
          return r.in_use && holder[static_cast<size_t>(find(r.offset))] == fmt::kNoSlot;
        }));
    if (unreached > 0) {
      lost_chains_.emplace(fmt::kNoSlot, grouped(unreached) +
                                             " slot(s) in use that no chain starts at (a loop, or "
                                             "the rest of a chain whose link was damaged)");
    }
    // Which paths lost tokens, as far as their entries tell.
    for (const auto& [id, token_ids] : path_entries) {
      for (const uint32_t t : token_ids) {
        if (lost_chains_.count(t) != 0) lost_by_path_[path_ids_[id]].push_back(t);
      }
    }
    drop_twins();
  }

  // Two entries of one token: the first in the file stays.
  void drop_twins() {
    std::map<std::string, uint32_t> first;
    for (auto it = tokens_.begin(); it != tokens_.end();) {
      const auto seen = first.emplace(it->second.token, it->first);
      if (!seen.second) {
        lost_chains_.emplace(it->first, "token entry " + std::to_string(it->first) + " \"" +
                                            printable(it->second.token) +
                                            "\": a second entry of the token in " +
                                            std::to_string(seen.first->second));
        it = tokens_.erase(it);
        continue;
      }
      postings_ += it->second.postings.size();
      ++it;
    }
  }

  void read_registry(const uint32_t* words) {
    std::vector<uint64_t> places;
    if (header_trusted_) places.push_back(words[fmt::kWordRegistryBegin]);
    // Behind the sections before it, when each holds what its count says.
    if (table_.whole()) {
      uint64_t p = table_.at + 4 + uint64_t{table_.count} * fmt::kSlotRecordBytes;
      uint32_t count = 0;
      for (int table = 0; table < 2 && file_.u32(p, &count); ++table) {
        p += 4 + uint64_t{count} * fmt::kTablePairBytes;
      }
      if (p + 4 <= file_.size()) places.push_back(p);
    }
    for (const uint64_t at : places) {
      name_list list = read_names(file_, at);
      if (list.whole || list.names.size() > names_.names.size()) names_ = std::move(list);
      if (names_.whole) break;
    }
    if (names_.whole) {
      say("registry: " + grouped(names_.names.size()) + " names, whole");
    } else if (places.empty() || !names_.found) {
      say("registry: not found (the file ends before it)");
    } else {
      say("registry: " + grouped(names_.names.size()) + " names; " + names_.damage);
    }
  }

  void report_losses() {
    if (lost_chains_.empty() && table_.whole()) {
      say("nothing was lost from the slots");
      return;
    }
    size_t shown = 0;
    for (const auto& [id, line] : lost_chains_) {
      if (shown++ < kShownLosses) say("not saved: " + line);
    }
    if (lost_chains_.size() > kShownLosses) {
      say("not saved: ... and " + grouped(lost_chains_.size() - kShownLosses) + " more chains");
    }
    if (!table_.whole()) {
      say("not saved: whatever lay in the " + grouped(table_.count - table_.readable) +
          " slots whose records were cut off (entries whose chains reach them are listed above)");
    }
    if (lost_by_path_.empty()) return;
    std::string line = "paths that lost tokens (add them again):";
    const std::map<int32_t, velkor::path_registry::record> known(names_.names.begin(),
                                                                 names_.names.end());
    for (const auto& lost : lost_by_path_) {
      const auto name = known.find(lost.first);
      line += " " + (name == known.end() ? "#" + std::to_string(lost.first) : name->second.path);
    }
    say(line);
  }

  file_bytes& file_;
  std::string name_;
  slot_table table_;
  bool header_trusted_ = false;
  int32_t slot_size_ = fmt::kDefaultSlotSize;
  int32_t token_limit_ = fmt::kDefaultSlotSize - 2;
  std::map<uint32_t, velkor::token_entry> tokens_;
  size_t postings_ = 0;
  std::map<int32_t, uint32_t> path_entry_of_;  // path id to the entry read
  std::map<uint32_t, int32_t> path_ids_;       // entry read to its path id
  std::map<uint32_t, std::string> lost_chains_;
  std::map<int32_t, std::vector<uint32_t>> lost_by_path_;
  name_list names_;
};

}  // namespace

int recover_command(const rewrite_options& o) {
  std::error_code ec;
  if (!fs::is_regular_file(to_path(o.file), ec)) return fail(o.file + ": no such file");
  if (fs::exists(to_path(o.out), ec)) return fail(o.out + " exists already");

  // A file the engine reads whole needs no salvage (a file whose save did
  // not finish reads as its last save, through its journal).
  std::string why;
  {
    staged_file staged(o.out);
    try {
      velkor::_CTokenIndexes index(o.file, true);
      index_writer writer(staged.path(),
                          static_cast<int32_t>(index.header_words()[fmt::kWordSlotSize]));
      copy_index(index, writer);
    } catch (const velkor::_exception& e) {
      why = describe(e);
    } catch (const write_error& e) {
      return fail(e.what());
    } catch (const std::runtime_error& e) {
      why = e.what();
    }
    if (why.empty() && staged.commit(&why)) {
      std::printf("%s reads whole: nothing was lost; wrote %s\n", o.file.c_str(), o.out.c_str());
      return kSuccess;
    }
  }
  std::printf("%s does not read whole (%s): salvaging\n", o.file.c_str(),
              why.substr(0, why.find('\n')).c_str());
  if (velkor::journal_is_hot(o.file)) {
    std::printf("note: %s-journal lies beside it; the file is salvaged as it lies\n",
                o.file.c_str());
  }

  file_bytes file(o.file);
  if (!file.opened()) return fail("cannot read " + o.file);
  salvage found(file, o.file);
  if (!found.read()) return fail(o.file + ": nothing could be salvaged");
  staged_file staged(o.out);
  try {
    index_writer writer(staged.path(), found.slot_size());
    found.write(writer);
  } catch (const std::runtime_error& e) {
    return fail(e.what());
  }
  std::string error;
  if (!staged.commit(&error)) return fail(error);
  std::printf("wrote %s (sound)\n", o.out.c_str());
  return kSuccess;
}

}  // namespace velkor_tool
