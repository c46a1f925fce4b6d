// 'velkor-index compact': the same index in a new file without idle slots.
//
// The index is read through the engine (a read-only open, which also reads
// a file with an unfinished save as its last save) and written anew by
// index_writer, beside the target; the checker must find the new file sound
// before it is renamed over the target.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "common/exception.h"
#include "format_check/format_check.h"
#include "maintenance.h"
#include "tool_commands.h"

namespace fs = std::filesystem;

namespace velkor_tool {

namespace {

// Findings shown when a new file is not sound; the rest are counted.
constexpr size_t kShownFindings = 5;

}  // namespace

std::string describe(const velkor::_exception& e) {
  std::string text = e.get_id().empty() ? std::string("(no id)") : e.get_id();
  text += ": " + e.get_msg();
  if (!e.get_where().empty()) text += " [" + e.get_where() + "]";
  if (!e.get_params().empty()) text += " " + e.get_params();
  return text;
}

std::string grouped(unsigned long long n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

staged_file::staged_file(const std::string& target)
    : target_(target), path_(target + ".tmp-" + std::to_string(::getpid())) {}

staged_file::~staged_file() {
  if (!committed_) {
    std::error_code ignored;
    fs::remove(to_path(path_), ignored);
  }
}

bool staged_file::commit(std::string* error) {
  const std::vector<std::string> findings = velkor::check_index_file(path_);
  if (!findings.empty()) {
    *error = "the new file is not sound (" + std::to_string(findings.size()) + " finding(s)):";
    for (size_t i = 0; i < findings.size() && i < kShownFindings; ++i) {
      *error += "\n  " + findings[i];
    }
    return false;
  }
  std::error_code ec;
  fs::rename(to_path(path_), to_path(target_), ec);
  if (ec) {
    *error = target_ + ": " + ec.message();
    return false;
  }
  committed_ = true;
  return true;
}

void copy_index(velkor::_CTokenIndexes& index, index_writer& writer) {
  using velkor::_CTokenIndexes;
  std::vector<std::pair<uint32_t, int32_t>> by_entry;
  by_entry.reserve(index.paths().size());
  for (const auto& [path_id, entry_id] : index.paths()) by_entry.emplace_back(entry_id, path_id);
  std::sort(by_entry.begin(), by_entry.end());

  // Entries are dropped from the caches once copied, so memory holds one
  // document's entries at a time besides the tables.
  auto& tokens = index.token_entries();
  auto& paths = index.path_entries();
  const _CTokenIndexes::_CPredTokenEntryFilter any_token("");
  const token_loader load = [&](uint32_t old_id, velkor::token_entry& out) {
    const velkor::token_entry* entry = tokens._get_object(old_id, any_token);
    if (entry == nullptr) {
      throw std::runtime_error("token entry " + std::to_string(old_id) + " is missing");
    }
    out = *entry;
    tokens._drop_object(old_id);
  };
  // A snapshot of the token table, in its order.
  const std::multimap<uint32_t, uint32_t> table = index.tokens();
  id_map written;
  written.reserve(table.size());
  std::vector<uint32_t> token_ids;
  for (const auto& [entry_id, path_id] : by_entry) {
    const velkor::path_entry* entry = paths._get_object(
        entry_id, _CTokenIndexes::_CPredPathEntryFilter(static_cast<uint32_t>(path_id)));
    if (entry == nullptr) {
      throw std::runtime_error("the path entry of path id " + std::to_string(path_id) +
                               " is missing");
    }
    token_ids = entry->token_ids;
    paths._drop_object(entry_id);
    write_document(writer, written, path_id, token_ids, load);
  }
  // Entries that no path entry names: none in a sound file.
  velkor::token_entry entry;
  for (const auto& pair : table) {
    if (written.count(pair.second) != 0) continue;
    load(pair.second, entry);
    written.emplace(pair.second, writer.add_token(entry));
  }
  int32_t id = 0;
  velkor::path_registry::record name;
  for (bool first = true; index.registry().next(id, first, &id, &name); first = false) {
    writer.add_name(id, name);
  }
  writer.finish();
}

int compact_command(const rewrite_options& o) {
  const std::string& target = o.out.empty() ? o.file : o.out;
  std::error_code ec;
  if (!fs::is_regular_file(to_path(o.file), ec)) return fail(o.file + ": no such index file");
  if (!o.out.empty() && fs::exists(to_path(o.out), ec)) {
    return fail(o.out + " exists already");
  }
  const uintmax_t size_before = fs::file_size(to_path(o.file), ec);
  staged_file staged(target);
  size_t slots_before = 0, idle_before = 0, slots = 0, tokens = 0, paths = 0, names = 0;
  try {
    velkor::_CTokenIndexes index(o.file, true);
    slots_before = index.object_storage()->slots.size();
    idle_before = index.object_storage()->idle_slots.size();
    index_writer writer(staged.path(),
                        static_cast<int32_t>(index.header_words()[velkor::format::kWordSlotSize]));
    copy_index(index, writer);
    slots = writer.slot_count();
    tokens = writer.token_count();
    paths = writer.path_count();
    names = writer.name_count();
  } catch (const velkor::_exception& e) {
    return fail(o.file + ": " + describe(e) +
                " (velkor-index check tells what is wrong; recover salvages what it can)");
  } catch (const std::runtime_error& e) {
    return fail(o.file + ": " + e.what());
  }
  std::string error;
  if (!staged.commit(&error)) {
    if (!velkor::check_index_file(o.file).empty()) {
      error += "\n" + o.file + " itself is not sound: velkor-index recover salvages what it holds";
    }
    return fail(error);
  }
  if (o.out.empty()) {
    // A journal left beside FILE by a save that did not finish holds the
    // old file's last save, which the copy was read as: the new file needs
    // none, and the checker would read the new file through it.
    fs::remove(to_path(o.file + "-journal"), ec);
  }
  const uintmax_t size_after = fs::file_size(to_path(target), ec);
  std::printf("compacted %s%s: %s to %s bytes, %s slots (%s idle) to %s\n", o.file.c_str(),
              o.out.empty() ? "" : (" into " + o.out).c_str(), grouped(size_before).c_str(),
              grouped(size_after).c_str(), grouped(slots_before).c_str(),
              grouped(idle_before).c_str(), grouped(slots).c_str());
  std::printf("%s tokens, %s paths indexed, %s paths registered\n", grouped(tokens).c_str(),
              grouped(paths).c_str(), grouped(names).c_str());
  return kSuccess;
}

}  // namespace velkor_tool
