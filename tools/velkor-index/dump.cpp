// 'velkor-index dump': the file's header, sections and slot chains, read
// through the engine's own structures.
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"
#include "index/token_indexes.h"
#include "tool_commands.h"

namespace velkor_tool {

namespace {

using velkor::_CObjectStorage;
using velkor::_CStgSlotItem;
using velkor::_CTokenIndexes;

const char* const kWordNames[] = {"magic",      "slot size",      "data begin",  "data end",
                                  "slot table", "slot table end", "token table", "token table end",
                                  "path table", "path table end", "registry",    "registry end"};

std::string chain_text(_CObjectStorage& storage, uint32_t first) {
  std::vector<_CStgSlotItem> chain;
  _CObjectStorage::__CPredCollectLinkedSlotItem collect(&chain);
  try {
    storage.__go_through_slot_link(first, collect);
  } catch (const velkor::_exception& e) {
    return std::string("<") + e.get_msg() + ">";
  }
  std::string text;
  for (const _CStgSlotItem& slot : chain) {
    if (!text.empty()) text += " -> ";
    text += std::to_string(slot.offset) + "(" + std::to_string(slot.size) + ")";
  }
  return text;
}

std::string printable(const std::string& token) {
  std::string out;
  for (const char c : token) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

}  // namespace

int dump_file(const std::string& file, bool entries) {
  std::unique_ptr<_CTokenIndexes> index;
  try {
    index.reset(new _CTokenIndexes(file, true));
  } catch (const velkor::_exception& e) {
    std::fprintf(stderr, "velkor-index: cannot open %s: %s: %s [%s] %s\n", file.c_str(),
                 e.get_id().c_str(), e.get_msg().c_str(), e.get_where().c_str(),
                 e.get_params().c_str());
    return 1;
  }
  _CObjectStorage& storage = *index->object_storage();
  std::printf("file %s, %d bytes\n", file.c_str(), index->_count_of(0));
  storage.hold_slots();
  if (storage.slots.empty() && index->tokens().empty()) {
    std::printf("empty index (no saved data)\n");
    return 0;
  }
  std::printf("\nheader\n");
  const uint32_t* words = index->header_words();
  for (int i = 0; i < velkor::format::kHeaderWords; ++i) {
    std::printf("  %2d %-16s %10u  0x%08X\n", i, kWordNames[i], words[i], words[i]);
  }
  std::printf("\nsections\n");
  std::printf("  slot table   at %10u, %8u bytes, %zu slots\n", words[4], words[5] - words[4],
              storage.slots.size());
  std::printf("  token table  at %10u, %8u bytes, %zu pairs\n", words[6], words[7] - words[6],
              index->tokens().size());
  std::printf("  path table   at %10u, %8u bytes, %zu pairs\n", words[8], words[9] - words[8],
              index->paths().size());
  std::printf("  registry     at %10u, %8u bytes, %zu paths\n", words[10], words[11] - words[10],
              index->registry().size());

  std::printf("\nslots (offset size in_use next)\n");
  for (const _CStgSlotItem& slot : storage.slots) {
    std::printf("  %10u %8d %d %10d\n", slot.offset, slot.size, slot.in_use,
                static_cast<int32_t>(slot.next));
  }
  std::printf("\nidle slots:");
  for (const uint32_t id : storage.idle_slots) std::printf(" %u", id);
  std::printf("\n\ntoken entries (hash -> entry: chain)\n");
  const _CTokenIndexes::_CPredTokenEntryFilter any_token("");
  for (const auto& pair : index->tokens()) {
    std::printf("  %10u -> %u: %s\n", pair.first, pair.second,
                chain_text(storage, pair.second).c_str());
    if (!entries) continue;
    try {
      const velkor::token_entry* entry = index->token_entries()._get_object(pair.second, any_token);
      if (entry == nullptr) {
        std::printf("      <no entry>\n");
        continue;
      }
      std::printf("      \"%s\":", printable(entry->token).c_str());
      for (const velkor::posting& p : entry->postings) std::printf(" %d*%u", p.path_id, p.count);
      std::printf("\n");
    } catch (const velkor::_exception& e) {
      std::printf("      <%s>\n", e.get_msg().c_str());
    }
  }
  std::printf("\npath entries (path id -> entry: chain)\n");
  const _CTokenIndexes::_CPredPathEntryFilter any_path(0xFFFFFFFFu);
  for (const auto& pair : index->paths()) {
    std::printf("  %11d -> %u: %s\n", pair.first, pair.second,
                chain_text(storage, pair.second).c_str());
    if (!entries) continue;
    try {
      const velkor::path_entry* entry = index->path_entries()._get_object(pair.second, any_path);
      if (entry == nullptr) {
        std::printf("      <no entry>\n");
        continue;
      }
      std::printf("      path %d, tokens:", static_cast<int32_t>(entry->path_id));
      for (const uint32_t t : entry->token_ids) std::printf(" %u", t);
      std::printf("\n");
    } catch (const velkor::_exception& e) {
      std::printf("      <%s>\n", e.get_msg().c_str());
    }
  }
  std::printf("\nregistry (path id, time, path)\n");
  int32_t id = 0;
  velkor::path_registry::record name;
  for (bool first = true; index->registry().next(id, first, &id, &name); first = false) {
    std::printf("  %11d %11d %s\n", id, name.time, printable(name.path).c_str());
  }
  return 0;
}

}  // namespace velkor_tool
