#include "format_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/file_format.h"
#include "index/entries.h"
#include "stream/journal.h"
#include "stream/platform_file.h"

namespace velkor {

namespace {

// The layout's numbers, as the engine writes them.
constexpr uint32_t kMagic = format::kMagic;
constexpr uint32_t kNone = format::kNoSlot;
constexpr uint32_t kDataBegin = format::kDataBegin;
constexpr int32_t kMinSlotSize = format::kDefaultSlotSize;
constexpr int32_t kMaxTokenLength = format::kMaxTokenLength;
constexpr uint32_t kMaxChainSlots = format::kMaxChainSlots;
constexpr uint32_t kMaxStringLength = format::kMaxStringLength;
constexpr uint64_t kSlotRecordBytes = format::kSlotRecordBytes;

const char* const kWordNames[12] = {"magic",
                                    "slot size",
                                    "data begin",
                                    "data end",
                                    "slot table begin",
                                    "slot table end",
                                    "token table begin",
                                    "token table end",
                                    "path table begin",
                                    "path table end",
                                    "registry begin",
                                    "registry end"};

std::string format(const char* pattern, ...) {
  char buffer[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, args);
  va_end(args);
  return buffer;
}

uint32_t le32(const uint8_t* p) { return decode_u32(p); }

struct journal_bytes {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

// Random access to the bytes being checked.
class source {
 public:
  virtual ~source() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly n bytes at offset; false when they are not all there.
  virtual bool read(uint64_t offset, void* out, std::size_t n) = 0;
};

class memory_source : public source {
 public:
  memory_source(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, std::size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    if (n > 0) std::memcpy(out, data_ + offset, n);
    return true;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
};

class file_source : public source {
 public:
  explicit file_source(const std::string& path) : in_(path, std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    const std::streamoff end = in_.tellg();
    size_ = end < 0 ? 0 : static_cast<uint64_t>(end);
    opened_ = end >= 0;
  }
  bool opened() const { return opened_; }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, std::size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    // The check reads small fields in file order, then chains whose slots
    // lie all over the file: both are served from blocks read once, as
    // long as the blocks kept stay under kMaxBlocks.
    auto* to = static_cast<uint8_t*>(out);
    while (n > 0) {
      const uint64_t number = offset / kBlock;
      const std::vector<uint8_t>* block = block_at(number);
      if (block == nullptr) return false;
      const std::size_t at = static_cast<std::size_t>(offset - number * kBlock);
      const std::size_t part = std::min(n, block->size() - at);
      std::memcpy(to, block->data() + at, part);
      to += part;
      offset += part;
      n -= part;
    }
    return true;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 16;
  // 64 MiB: a file of that size is read once.
  static constexpr std::size_t kMaxBlocks = 1024;

  const std::vector<uint8_t>* block_at(uint64_t number) {
    const auto found = blocks_.find(number);
    if (found != blocks_.end()) return &found->second;
    const uint64_t offset = number * kBlock;
    std::vector<uint8_t> block(
        static_cast<std::size_t>(std::min<uint64_t>(kBlock, size_ - offset)));
    if (!read_direct(offset, block.data(), block.size())) return nullptr;
    if (order_.size() < kMaxBlocks) {
      order_.push_back(number);
    } else {
      blocks_.erase(order_[next_]);
      order_[next_] = number;
      next_ = (next_ + 1) % kMaxBlocks;
    }
    return &blocks_.emplace(number, std::move(block)).first->second;
  }

  bool read_direct(uint64_t offset, void* out, std::size_t n) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(n));
    return in_.gcount() == static_cast<std::streamsize>(n);
  }

  std::ifstream in_;
  // Blocks by number, and their numbers in the order read (the oldest goes
  // first once kMaxBlocks are kept).
  std::unordered_map<uint64_t, std::vector<uint8_t>> blocks_;
  std::vector<uint64_t> order_;
  std::size_t next_ = 0;
  uint64_t size_ = 0;
  bool opened_ = false;
};

// The last save of a file whose journal is hot: the file's bytes up to the
// saved size (zeros where it was cut shorter) under the journal's old bytes.
class journaled_source : public source {
 public:
  journaled_source(file_source& file, uint64_t saved_size, std::vector<journal_bytes> kept)
      : file_(file), size_(saved_size), kept_(std::move(kept)) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, std::size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    auto* bytes = static_cast<uint8_t*>(out);
    const uint64_t on_file =
        file_.size() > offset ? std::min<uint64_t>(file_.size() - offset, n) : 0;
    if (on_file > 0 && !file_.read(offset, bytes, static_cast<std::size_t>(on_file))) return false;
    std::memset(bytes + on_file, 0, static_cast<std::size_t>(n - on_file));
    for (const journal_bytes& k : kept_) {
      const uint64_t from = std::max<uint64_t>(offset, k.offset);
      const uint64_t to = std::min<uint64_t>(offset + n, k.offset + k.bytes.size());
      if (from < to) {
        std::memcpy(bytes + (from - offset), k.bytes.data() + (from - k.offset),
                    static_cast<std::size_t>(to - from));
      }
    }
    return true;
  }

 private:
  file_source& file_;
  uint64_t size_;
  std::vector<journal_bytes> kept_;
};

// Reads fields one after another; after the first short read every further
// read fails too.
class cursor {
 public:
  cursor(source& from, uint64_t position) : from_(from), position_(position) {}
  bool u32(uint32_t& value) {
    uint8_t bytes[4];
    if (!take(bytes, 4)) return false;
    value = le32(bytes);
    return true;
  }
  bool u8(uint8_t& value) { return take(&value, 1); }
  bool take(void* out, std::size_t n) {
    if (!ok_ || !from_.read(position_, out, n)) return ok_ = false;
    position_ += n;
    return true;
  }
  uint64_t position() const { return position_; }
  uint64_t left() const { return position_ < from_.size() ? from_.size() - position_ : 0; }

 private:
  source& from_;
  uint64_t position_;
  bool ok_ = true;
};

// Reads fields out of the gathered bytes of one stored entry.
class entry_reader {
 public:
  explicit entry_reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool u32(uint32_t& value) {
    if (left() < 4) return false;
    value = le32(bytes_.data() + position_);
    position_ += 4;
    return true;
  }
  bool u8(uint8_t& value) {
    if (left() < 1) return false;
    value = bytes_[position_++];
    return true;
  }
  const uint8_t* take(std::size_t n) {
    if (left() < n) return nullptr;
    const uint8_t* at = bytes_.data() + position_;
    position_ += n;
    return at;
  }
  std::size_t left() const { return bytes_.size() - position_; }
  std::size_t position() const { return position_; }

 private:
  const std::vector<uint8_t>& bytes_;
  std::size_t position_ = 0;
};

struct slot_record {
  uint32_t offset;
  int32_t size;
  uint8_t in_use;
  uint32_t next;
};

struct decoded_token {
  bool ok = false;
  std::vector<posting> postings;
};

struct decoded_path {
  bool ok = false;
  std::vector<uint32_t> token_ids;
};

class checker {
 public:
  checker(source& from, const check_options& options) : from_(from), options_(options) {}

  std::vector<std::string> run() {
    if (from_.size() <= kDataBegin) return {};
    if (check_header()) {
      check_sections();
      check_slots();
      check_entries();
      check_registry();
    }
    if (dropped_ > 0) findings_.push_back(format("... and %zu more findings", dropped_));
    return std::move(findings_);
  }

 private:
  void report(std::string line) {
    if (findings_.size() < kMaxFindings) {
      findings_.push_back(std::move(line));
    } else {
      ++dropped_;
    }
  }

  // Header words and the zero bytes behind them. False when the file is no
  // index at all (too short for a header, or a foreign magic word).
  bool check_header() {
    uint8_t bytes[kDataBegin];
    if (!from_.read(0, bytes, kDataBegin)) {
      report("file too short for its 512-byte header");
      return false;
    }
    for (int i = 0; i < 12; ++i) words_[i] = le32(bytes + 4 * i);
    if (words_[0] != kMagic) {
      report(format("header word 0 (magic) is 0x%08X, not 0x%08X", words_[0], kMagic));
      return false;
    }
    slot_size_ = static_cast<int32_t>(words_[1]);
    if (slot_size_ < kMinSlotSize) {
      report(format("header word 1 (slot size) is %d, below %d", slot_size_, kMinSlotSize));
      slot_size_ = kMinSlotSize;
    }
    token_limit_ = std::min(slot_size_ - 2, kMaxTokenLength);
    if (words_[2] != kDataBegin) {
      report(format("header word 2 (data begin) is %u, not %u", words_[2], kDataBegin));
    }
    for (int end = 5; end <= 9; end += 2) {
      if (words_[end] != words_[end + 1]) {
        report(format("header word %d (%s) is %u but word %d (%s) is %u", end, kWordNames[end],
                      words_[end], end + 1, kWordNames[end + 1], words_[end + 1]));
      }
    }
    for (int begin = 4; begin <= 10; begin += 2) {
      if (words_[begin] > words_[begin + 1]) {
        report(format("header word %d (%s) is %u, behind word %d (%s) %u", begin, kWordNames[begin],
                      words_[begin], begin + 1, kWordNames[begin + 1], words_[begin + 1]));
      }
    }
    std::size_t nonzero = 0;
    std::size_t first = 0;
    for (std::size_t i = 48; i < kDataBegin; ++i) {
      if (bytes[i] != 0 && nonzero++ == 0) first = i;
    }
    if (nonzero > 0) {
      report(format("%zu of the 464 bytes behind the header words are not zero, the first at %zu",
                    nonzero, first));
    }
    return true;
  }

  // Reads a section's count; false (with a finding) when the records cannot
  // all be in the file.
  bool section_count(cursor& at, const char* section, uint64_t record_bytes, int32_t& count) {
    uint32_t raw = 0;
    if (!at.u32(raw)) {
      report(format("%s section at %u runs past the end of the file", section,
                    static_cast<unsigned>(at.position())));
      return false;
    }
    count = static_cast<int32_t>(raw);
    if (count < 0) {
      report(format("%s section count %d is negative", section, count));
      count = 0;
    }
    if (static_cast<uint64_t>(count) * record_bytes > at.left()) {
      report(format("%s section of %d records runs past the end of the file", section, count));
      return false;
    }
    return true;
  }

  void section_end(const cursor& at, int end_word, const char* section) {
    if (at.position() != words_[end_word]) {
      report(format("%s section ends at %llu, but header word %d (%s) says %u", section,
                    static_cast<unsigned long long>(at.position()), end_word, kWordNames[end_word],
                    words_[end_word]));
    }
  }

  void check_sections() {
    int32_t count = 0;
    cursor slots(from_, words_[4]);
    if (section_count(slots, "slot table", kSlotRecordBytes, count)) {
      slots_.reserve(static_cast<std::size_t>(count));
      for (int32_t i = 0; i < count; ++i) {
        slot_record r{};
        uint32_t size = 0;
        slots.u32(r.offset);
        slots.u32(size);
        slots.u8(r.in_use);
        slots.u32(r.next);
        r.size = static_cast<int32_t>(size);
        slots_.push_back(r);
      }
      slots_read_ = true;
      section_end(slots, 5, "slot table");
      if (count == 0) report("slot table section holds no slot; a saved index holds at least one");
    }

    cursor tokens(from_, words_[6]);
    if (section_count(tokens, "token table", 8, count)) {
      for (int32_t i = 0; i < count; ++i) {
        uint32_t hash = 0;
        uint32_t id = 0;
        tokens.u32(hash);
        tokens.u32(id);
        token_pairs_.emplace_back(hash, id);
      }
      section_end(tokens, 7, "token table");
    }

    cursor paths(from_, words_[8]);
    if (section_count(paths, "path table", 8, count)) {
      for (int32_t i = 0; i < count; ++i) {
        uint32_t path_id = 0;
        uint32_t id = 0;
        paths.u32(path_id);
        paths.u32(id);
        path_pairs_.emplace_back(static_cast<int32_t>(path_id), id);
      }
      section_end(paths, 9, "path table");
    }

    cursor names(from_, words_[10]);
    // A record is at least an id, an empty string form and a time.
    if (!section_count(names, "path-name registry", 13, count)) return;
    for (int32_t i = 0; i < count; ++i) {
      uint32_t id = 0;
      uint32_t length = 0;
      uint8_t key = 0;
      if (!names.u32(id) || !names.u32(length)) {
        report("path-name registry section runs past the end of the file");
        return;
      }
      if (length > kMaxStringLength || length > names.left()) {
        report(format("registry record %d: path length %u is beyond %s", i, length,
                      length > kMaxStringLength ? "10 MiB" : "the end of the file"));
        return;
      }
      names.u8(key);
      std::string path(length, '\0');
      names.take(&path[0], length);
      for (char& c : path) c = static_cast<char>(c ^ key);
      uint32_t time = 0;
      if (!names.u32(time)) {
        report("path-name registry section runs past the end of the file");
        return;
      }
      registry_.emplace_back(static_cast<int32_t>(id), std::move(path));
    }
    section_end(names, 11, "path-name registry");
    uint32_t ending = 0;
    if (!names.u32(ending)) {
      report("ending magic missing: the file ends behind the registry section");
    } else if (ending != kMagic) {
      report(format("ending magic is 0x%08X, not 0x%08X", ending, kMagic));
    }
  }

  // The slot records tile the region from 512 on; each in-use byte is 0 or
  // 1; idle slots carry no link.
  void check_slots() {
    if (!slots_read_) return;
    uint64_t expected = kDataBegin;
    bool tiled = true;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const slot_record& s = slots_[i];
      if (s.offset != expected && tiled) {
        report(format("slot record %zu at %u: expected offset %llu (%s)", i, s.offset,
                      static_cast<unsigned long long>(expected),
                      s.offset > expected ? "gap" : "overlap"));
        tiled = false;
      }
      if (s.size <= 0) {
        report(format("slot %u has size %d", s.offset, s.size));
      } else if (s.size < slot_size_) {
        report(format("slot %u has size %d, below the slot size %d", s.offset, s.size, slot_size_));
      }
      if (s.in_use > 1) report(format("slot %u has in-use byte %u", s.offset, s.in_use));
      if (s.in_use == 0 && s.next != kNone) {
        report(format("idle slot %u links to %u", s.offset, s.next));
      }
      expected = static_cast<uint64_t>(s.offset) + static_cast<uint64_t>(std::max(s.size, 0));
      auto inserted = index_of_.emplace(s.offset, i);
      if (!inserted.second) report(format("two slot records at offset %u", s.offset));
    }
    const uint64_t data_end = slots_.empty() ? kDataBegin : expected;
    if (data_end != words_[3]) {
      report(format("header word 3 (data end) is %u, but the slots end at %llu", words_[3],
                    static_cast<unsigned long long>(data_end)));
    }
    if (words_[4] != words_[3]) {
      report(
          format("slot table section at %u, not at the end of slot data %u", words_[4], words_[3]));
    }
    if (data_end > from_.size()) report("slots run past the end of the file");
  }

  // Walks the chain of one entry and gathers its bytes; false when the chain
  // is broken (reported).
  // The name of an entry in findings; `path` tells which kind.
  static std::string entry_name(uint32_t id, bool path) {
    return format(path ? "path entry %u" : "token entry %u", id);
  }

  bool gather(uint32_t first, bool path, std::vector<uint8_t>& bytes,
              std::vector<int32_t>& capacities) {
    bytes.clear();
    capacities.clear();
    const std::string owner = entry_name(first, path);
    uint32_t id = first;
    std::unordered_set<uint32_t>& seen = seen_;
    seen.clear();
    for (uint32_t walked = 0;; ++walked) {
      if (walked == kMaxChainSlots) {
        report(format("chain of %s is longer than %u slots", owner.c_str(), kMaxChainSlots));
        return false;
      }
      const auto found = index_of_.find(id);
      if (found == index_of_.end()) {
        report(format("chain of %s: %u is no slot", owner.c_str(), id));
        return false;
      }
      if (!seen.insert(id).second) {
        report(format("chain of %s comes back to slot %u", owner.c_str(), id));
        return false;
      }
      const slot_record& s = slots_[found->second];
      if (s.in_use != 1) {
        report(format("chain of %s: slot %u is idle", owner.c_str(), id));
        return false;
      }
      // Owners are kept as the first slot, with the top bit for a path entry.
      const uint64_t code = (uint64_t{path} << 32) | first;
      auto claimed = owners_.emplace(id, code);
      if (!claimed.second) {
        report(format("chain of %s: slot %u belongs to %s", owner.c_str(), id,
                      entry_name(static_cast<uint32_t>(claimed.first->second),
                                 (claimed.first->second >> 32) != 0)
                          .c_str()));
        return false;
      }
      if (s.size > 0 && s.offset < from_.size() && budget_ > 0) {
        const uint64_t there =
            std::min<uint64_t>(static_cast<uint64_t>(s.size), from_.size() - s.offset);
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(there, budget_));
        const std::size_t at = bytes.size();
        bytes.resize(at + n);
        if (!from_.read(s.offset, bytes.data() + at, n)) bytes.resize(at);
        budget_ -= n;
      }
      capacities.push_back(s.size);
      if (s.next == kNone) return true;
      id = s.next;
    }
  }

  // Every slot of a chain holds part of the stored form: the form reaches
  // into the chain's last slot.
  void check_fill(const std::string& owner, std::size_t stored, const std::vector<int32_t>& caps) {
    uint64_t before_last = 0;
    for (std::size_t i = 0; i + 1 < caps.size(); ++i) before_last += static_cast<uint32_t>(caps[i]);
    if (caps.size() > 1 && stored <= before_last) {
      report(format("chain of %s has %zu slots, but its %zu bytes need fewer", owner.c_str(),
                    caps.size(), stored));
    }
  }

  decoded_token decode_token(uint32_t hash, uint32_t id, std::string& token) {
    decoded_token out;
    const std::string owner = entry_name(id, false);
    std::vector<uint8_t>& bytes = bytes_;
    std::vector<int32_t>& caps = caps_;
    if (!gather(id, false, bytes, caps)) return out;
    entry_reader r(bytes);
    uint8_t lead = 0;
    if (!r.u8(lead) || lead == 0) {
      report(format("%s: bad token length byte", owner.c_str()));
      return out;
    }
    std::size_t length = lead >= 128 ? 256u - lead : lead;
    uint8_t key = 0;
    if (lead >= 128 && !r.u8(key)) {
      report(format("%s: token runs past its chain", owner.c_str()));
      return out;
    }
    const uint8_t* raw = r.take(length);
    if (raw == nullptr) {
      report(format("%s: token runs past its chain", owner.c_str()));
      return out;
    }
    token.assign(reinterpret_cast<const char*>(raw), length);
    for (char& c : token) c = static_cast<char>(c ^ key);
    if (token.find('\0') != std::string::npos) {
      report(format("%s: token holds a zero byte", owner.c_str()));
      token.resize(token.find('\0'));
    }
    if (r.position() > static_cast<std::size_t>(caps.front())) {
      report(format("%s: token does not fit its first slot", owner.c_str()));
    }
    if (token.empty() || token.size() > static_cast<std::size_t>(token_limit_)) {
      report(
          format("%s: token of %zu bytes (limit %d)", owner.c_str(), token.size(), token_limit_));
    }
    if (token_hash(token) != hash) {
      report(format("%s: token hash is %u, but its table pair says %u", owner.c_str(),
                    token_hash(token), hash));
    }
    uint32_t raw_count = 0;
    if (!r.u32(raw_count)) {
      report(format("%s: posting count runs past its chain", owner.c_str()));
      return out;
    }
    const int32_t count = static_cast<int32_t>(raw_count);
    if (count <= 0) {
      report(format("%s: posting count %d; an entry without postings is erased", owner.c_str(),
                    count));
      return out;
    }
    if (static_cast<uint64_t>(count) * 6 > r.left()) {
      report(format("%s: %d postings run past its chain", owner.c_str(), count));
      return out;
    }
    out.postings.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      const uint8_t* p = r.take(6);
      const posting post{static_cast<int32_t>(le32(p)), static_cast<uint16_t>(p[4] | p[5] << 8)};
      if (!out.postings.empty() && post.path_id <= out.postings.back().path_id) {
        report(
            format("%s: posting %d (path id %d) does not ascend", owner.c_str(), i, post.path_id));
      }
      if (post.count == 0) {
        report(format("%s: posting for path id %d has count 0", owner.c_str(), post.path_id));
      }
      out.postings.push_back(post);
    }
    check_fill(owner, r.position(), caps);
    out.ok = true;
    return out;
  }

  decoded_path decode_path(int32_t path_id, uint32_t id) {
    decoded_path out;
    const std::string owner = entry_name(id, true);
    std::vector<uint8_t>& bytes = bytes_;
    std::vector<int32_t>& caps = caps_;
    if (!gather(id, true, bytes, caps)) return out;
    entry_reader r(bytes);
    uint32_t stored_id = 0;
    uint32_t raw_count = 0;
    if (!r.u32(stored_id) || !r.u32(raw_count)) {
      report(format("%s runs past its chain", owner.c_str()));
      return out;
    }
    if (static_cast<int32_t>(stored_id) != path_id) {
      report(format("%s holds path id %d, but its table pair says %d", owner.c_str(),
                    static_cast<int32_t>(stored_id), path_id));
    }
    const int32_t count = static_cast<int32_t>(raw_count);
    if (count <= 0) {
      report(
          format("%s: token id count %d; a path entry lists at least one", owner.c_str(), count));
      return out;
    }
    if (static_cast<uint64_t>(count) * 4 > r.left()) {
      report(format("%s: %d token ids run past its chain", owner.c_str(), count));
      return out;
    }
    out.token_ids.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      uint32_t t = 0;
      r.u32(t);
      if (!out.token_ids.empty() &&
          static_cast<int32_t>(t) <= static_cast<int32_t>(out.token_ids.back())) {
        report(format("%s: token id %d (%u) does not ascend", owner.c_str(), i, t));
      }
      out.token_ids.push_back(t);
    }
    check_fill(owner, r.position(), caps);
    out.ok = true;
    return out;
  }

  void check_entries() {
    if (!slots_read_) return;
    // Bytes gathered from chains: a sound file gathers each slot once, so
    // twice the file's size bounds the work on any input.
    budget_ = 2 * from_.size();

    std::map<std::string, uint32_t> by_token;
    std::unordered_map<uint32_t, decoded_token> token_entries;
    for (std::size_t i = 0; i < token_pairs_.size(); ++i) {
      const uint32_t hash = token_pairs_[i].first;
      const uint32_t id = token_pairs_[i].second;
      if (i > 0 && hash < token_pairs_[i - 1].first) {
        report(format("token table pair %zu: hash %u is below the one before it", i, hash));
      }
      if (token_entries.count(id) != 0) {
        report(format("token table names token entry %u twice", id));
        continue;
      }
      std::string token;
      decoded_token entry = decode_token(hash, id, token);
      if (entry.ok) {
        const auto twin = by_token.emplace(token, id);
        if (!twin.second) {
          report(format("token entries %u and %u hold the same token", twin.first->second, id));
        }
      }
      token_entries.emplace(id, std::move(entry));
    }

    std::map<int32_t, std::pair<uint32_t, decoded_path>> path_entries;
    for (std::size_t i = 0; i < path_pairs_.size(); ++i) {
      const int32_t path_id = path_pairs_[i].first;
      const uint32_t id = path_pairs_[i].second;
      if (i > 0 && path_id <= path_pairs_[i - 1].first) {
        report(format("path table pair %zu: path id %d does not ascend", i, path_id));
        if (path_entries.count(path_id) != 0) continue;
      }
      path_entries.emplace(path_id, std::make_pair(id, decode_path(path_id, id)));
    }

    if (options_.report_orphan_slots) {
      for (const slot_record& s : slots_) {
        if (s.in_use == 1 && owners_.count(s.offset) == 0) {
          report(format("slot %u is in use but in no chain", s.offset));
        }
      }
    }
    if (!options_.report_cross_references) return;

    // Every (path id, token entry) pair that one side names, sorted: a
    // pair that the other side lacks is a cross-reference that fails. Two
    // sorted lists are walked once instead of searching an entry for every
    // posting.
    using ref = std::pair<int32_t, uint32_t>;
    std::vector<ref> from_tokens;
    std::vector<ref> from_paths;
    for (const auto& t : token_entries) {
      if (!t.second.ok) continue;
      for (const posting& p : t.second.postings) {
        // A copy: the packed field itself may lie at any address.
        const int32_t path_id = p.path_id;
        from_tokens.emplace_back(path_id, t.first);
      }
    }
    for (const auto& path : path_entries) {
      if (!path.second.second.ok) continue;
      for (const uint32_t t : path.second.second.token_ids) from_paths.emplace_back(path.first, t);
    }
    std::sort(from_tokens.begin(), from_tokens.end());
    std::sort(from_paths.begin(), from_paths.end());
    const auto lacks = [](const std::vector<ref>& other, std::size_t& j, const ref& r) {
      while (j < other.size() && other[j] < r) ++j;
      return j == other.size() || other[j] != r;
    };
    std::size_t j = 0;
    for (const ref& r : from_tokens) {
      if (!lacks(from_paths, j, r)) continue;
      const auto path = path_entries.find(r.first);
      if (path == path_entries.end()) {
        report(
            format("token entry %u lists path id %d, which has no path entry", r.second, r.first));
      } else if (path->second.second.ok) {
        report(format("token entry %u lists path id %d, whose path entry %u does not list it",
                      r.second, r.first, path->second.first));
      }
    }
    j = 0;
    for (const ref& r : from_paths) {
      if (!lacks(from_tokens, j, r)) continue;
      const uint32_t path_entry = path_entries.find(r.first)->second.first;
      const auto token = token_entries.find(r.second);
      if (token == token_entries.end()) {
        report(format("path entry %u (path id %d) lists %u, which is no token entry", path_entry,
                      r.first, r.second));
      } else if (token->second.ok) {
        report(
            format("path entry %u (path id %d) lists token entry %u, which has no posting "
                   "for it",
                   path_entry, r.first, r.second));
      }
    }
  }

  void check_registry() {
    std::map<std::string, int32_t> by_path;
    for (std::size_t i = 0; i < registry_.size(); ++i) {
      const int32_t id = registry_[i].first;
      const std::string& path = registry_[i].second;
      if (i > 0 && id <= registry_[i - 1].first) {
        report(format("registry record %zu: path id %d does not ascend", i, id));
      }
      if (path.empty()) report(format("registry record for path id %d has an empty path", id));
      if (path.find('\0') != std::string::npos) {
        report(format("registry record for path id %d: path holds a zero byte", id));
      }
      const auto twin = by_path.emplace(path, id);
      if (!twin.second && !path.empty()) {
        report(
            format("path ids %d and %d are registered for the same path", twin.first->second, id));
      }
    }
  }

  source& from_;
  check_options options_;
  std::vector<std::string> findings_;
  std::size_t dropped_ = 0;
  uint32_t words_[12] = {};
  int32_t slot_size_ = kMinSlotSize;
  int32_t token_limit_ = kMinSlotSize - 2;
  bool slots_read_ = false;
  std::vector<slot_record> slots_;
  std::unordered_map<uint32_t, std::size_t> index_of_;
  std::unordered_map<uint32_t, uint64_t> owners_;
  // Scratch of gather() and its callers.
  std::unordered_set<uint32_t> seen_;
  std::vector<uint8_t> bytes_;
  std::vector<int32_t> caps_;
  std::vector<std::pair<uint32_t, uint32_t>> token_pairs_;
  std::vector<std::pair<int32_t, uint32_t>> path_pairs_;
  std::vector<std::pair<int32_t, std::string>> registry_;
  uint64_t budget_ = 0;
};

// Reads the journal beside the index at `path`, if there is one, without
// holding it: an index that holds it may be open meanwhile, as the file
// itself may be. `hot` tells whether it holds this file's last save (a
// journal left by a file replaced since says nothing of this one); `kept`,
// when given, gets its old bytes. False when it cannot be read.
bool read_left_journal(const std::string& path, bool* hot, int64_t* saved_size,
                       std::vector<journal_bytes>* kept) {
  *hot = false;
  std::ifstream journal_file(path + "-journal", std::ios::binary);
  if (!journal_file) return true;
  uint64_t owner = 0;
  const bool read = journal::parse(
      [&journal_file](int64_t at, uint8_t* bytes, int32_t count, bool* whole) {
        journal_file.clear();
        journal_file.seekg(static_cast<std::streamoff>(at), std::ios::beg);
        journal_file.read(reinterpret_cast<char*>(bytes), count);
        *whole = journal_file.gcount() == count;
        return true;
      },
      hot, saved_size, &owner,
      [kept](int64_t offset, const uint8_t* bytes, int32_t count) {
        if (kept != nullptr) {
          kept->push_back(journal_bytes{static_cast<uint64_t>(offset),
                                        std::vector<uint8_t>(bytes, bytes + count)});
        }
        return true;
      });
  *hot = *hot && owner == platform::path_identity(path.c_str());
  return read;
}

}  // namespace

bool journal_is_hot(const std::string& path) {
  bool hot = false;
  int64_t saved_size = 0;
  return read_left_journal(path, &hot, &saved_size, nullptr) && hot;
}

std::vector<std::string> check_index_file(const std::string& path, const check_options& options) {
  file_source from(path);
  if (!from.opened()) return {"cannot read " + path};
  const std::string journal_path = path + "-journal";
  bool hot = false;
  int64_t saved_size = 0;
  std::vector<journal_bytes> kept;
  if (!read_left_journal(path, &hot, &saved_size, &kept)) return {"cannot read " + journal_path};
  if (!hot) return checker(from, options).run();
  // The file is torn; what it holds as an index is the last save, which
  // the next open restores. That is what is checked.
  std::vector<std::string> findings = {"a save did not complete: " + journal_path +
                                       " holds the last completed save, which the "
                                       "next open restores; the checks below are of that save"};
  journaled_source last_save(from, static_cast<uint64_t>(saved_size), std::move(kept));
  for (std::string& finding : checker(last_save, options).run()) {
    findings.push_back(std::move(finding));
  }
  return findings;
}

std::vector<std::string> check_index_bytes(const uint8_t* data, std::size_t size,
                                           const check_options& options) {
  memory_source from(data, size);
  return checker(from, options).run();
}

}  // namespace velkor
