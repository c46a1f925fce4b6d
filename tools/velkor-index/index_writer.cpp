#include "index_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/file_format.h"
#include "stream/memstream.h"
#include "tool_commands.h"

namespace velkor_tool {

namespace fmt = velkor::format;

index_writer::index_writer(const std::string& file, int32_t slot_size)
    : file_(file),
      out_(to_path(file), std::ios::binary | std::ios::trunc),
      slot_size_(slot_size),
      end_(fmt::kDataBegin) {
  if (!out_) throw write_error("cannot write " + file + ": " + std::strerror(errno));
  // The header is written last, over these zeros.
  const std::vector<uint8_t> zeros(fmt::kHeaderBytes, 0);
  put(zeros.data(), zeros.size());
}

void index_writer::put(const void* bytes, size_t n) {
  out_.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n));
  if (!out_) throw write_error("cannot write " + file_ + ": " + std::strerror(errno));
}

uint32_t index_writer::add_slot(const std::vector<uint8_t>& form, uint8_t in_use) {
  const uint64_t size = std::max<uint64_t>(form.size(), static_cast<uint64_t>(slot_size_));
  // The engine refuses to grow a file past this, and ids are below 2^31.
  if (end_ + size >= static_cast<uint64_t>(fmt::kFileSizeLimit)) {
    throw write_error(file_ + ": the index would pass the 2 GiB limit");
  }
  put(form.data(), form.size());
  const std::vector<uint8_t> pad(static_cast<size_t>(size - form.size()), 0);
  put(pad.data(), pad.size());
  const uint32_t id = end_;
  slots_.push_back({id, static_cast<uint32_t>(size), in_use});
  end_ += static_cast<uint32_t>(size);
  return id;
}

uint32_t index_writer::add_token(const velkor::token_entry& entry) {
  velkor::_memadapter form;
  form.buffer.swap(scratch_);
  form.buffer.clear();
  {
    velkor::_memstream stream(&form);
    entry.save(stream);
  }
  const uint32_t id = add_slot(form.buffer, 1);
  scratch_.swap(form.buffer);
  token_pairs_.emplace_back(velkor::token_hash(entry.token), id);
  return id;
}

uint32_t index_writer::add_path(velkor::path_entry entry) {
  std::sort(entry.token_ids.begin(), entry.token_ids.end(), [](uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a) < static_cast<int32_t>(b);
  });
  velkor::_memadapter form;
  {
    velkor::_memstream stream(&form);
    entry.save(stream);
  }
  const uint32_t id = add_slot(form.buffer, 1);
  path_pairs_.emplace_back(static_cast<int32_t>(entry.path_id), id);
  return id;
}

void index_writer::add_name(int32_t id, velkor::path_registry::record record) {
  names_.add(id, std::move(record));
}

void index_writer::finish() {
  if (slots_.empty() && names_.size() == 0) {
    // No index at all: an empty file opens as a new, empty index.
    out_.close();
    out_.open(to_path(file_), std::ios::binary | std::ios::trunc);
    out_.close();
    if (out_.fail()) throw write_error("cannot write " + file_);
    return;
  }
  if (slots_.empty()) add_slot({}, 0);

  // Equal hashes keep the order in which their entries were written, as
  // the table of a bulk build keeps the order of creation.
  std::stable_sort(token_pairs_.begin(), token_pairs_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(path_pairs_.begin(), path_pairs_.end());

  uint32_t words[fmt::kHeaderWords] = {};
  words[fmt::kWordMagic] = fmt::kMagic;
  words[fmt::kWordSlotSize] = static_cast<uint32_t>(slot_size_);
  words[fmt::kWordDataBegin] = fmt::kDataBegin;
  words[fmt::kWordDataEnd] = end_;

  std::vector<uint8_t> sections;
  auto u32 = [&sections](uint32_t v) {
    uint8_t bytes[4];
    velkor::encode_u32(bytes, v);
    sections.insert(sections.end(), bytes, bytes + 4);
  };
  auto here = [&] { return end_ + static_cast<uint32_t>(sections.size()); };

  words[fmt::kWordSlotTableBegin] = here();
  u32(static_cast<uint32_t>(slots_.size()));
  for (const slot& s : slots_) {
    u32(s.offset);
    u32(s.size);
    sections.push_back(s.in_use);
    u32(fmt::kNoSlot);
  }
  words[fmt::kWordSlotTableEnd] = words[fmt::kWordTokenTableBegin] = here();
  u32(static_cast<uint32_t>(token_pairs_.size()));
  for (const auto& pair : token_pairs_) {
    u32(pair.first);
    u32(pair.second);
  }
  words[fmt::kWordTokenTableEnd] = words[fmt::kWordPathTableBegin] = here();
  u32(static_cast<uint32_t>(path_pairs_.size()));
  for (const auto& pair : path_pairs_) {
    u32(static_cast<uint32_t>(pair.first));
    u32(pair.second);
  }
  words[fmt::kWordPathTableEnd] = words[fmt::kWordRegistryBegin] = here();
  {
    velkor::_memadapter registry;
    {
      velkor::_memstream stream(&registry);
      names_.save(stream);
    }
    sections.insert(sections.end(), registry.buffer.begin(), registry.buffer.end());
  }
  words[fmt::kWordRegistryEnd] = here();
  u32(fmt::kMagic);
  put(sections.data(), sections.size());

  uint8_t header[fmt::kHeaderWords * 4];
  for (int i = 0; i < fmt::kHeaderWords; ++i) velkor::encode_u32(header + 4 * i, words[i]);
  out_.seekp(0);
  put(header, sizeof header);
  out_.close();
  if (out_.fail()) throw write_error("cannot write " + file_ + ": " + std::strerror(errno));
}

void write_document(index_writer& writer, id_map& written, int32_t path_id,
                    const std::vector<uint32_t>& old_token_ids, const token_loader& load) {
  std::vector<uint32_t> ids = old_token_ids;
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  std::vector<std::pair<uint32_t, velkor::token_entry>> fresh;
  for (const uint32_t old_id : ids) {
    if (written.count(old_id) != 0) continue;
    fresh.emplace_back(old_id, velkor::token_entry());
    load(old_id, fresh.back().second);
  }
  // Indexing a text makes its new entries in byte order of their tokens.
  std::sort(fresh.begin(), fresh.end(),
            [](const auto& a, const auto& b) { return a.second.token < b.second.token; });
  for (const auto& [old_id, entry] : fresh) written.emplace(old_id, writer.add_token(entry));
  velkor::path_entry path;
  path.path_id = static_cast<uint32_t>(path_id);
  path.token_ids.reserve(ids.size());
  for (const uint32_t old_id : ids) path.token_ids.push_back(written.at(old_id));
  writer.add_path(std::move(path));
}

}  // namespace velkor_tool
