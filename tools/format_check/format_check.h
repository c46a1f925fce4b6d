// Checks a saved index file completely and says, one readable line per
// finding, what is wrong with it. An empty list means the file is sound.
//
// What is checked:
//   header      magic, slot size >= 32, data begin 512, data end equal to the
//               end of the slot records, each section's end word equal to the
//               next section's begin word, the last end word at the ending
//               magic, zero bytes from 48 to 512;
//   sections    slot table, token table, path table and path-name registry
//               read from where the header points, back to back, then the
//               ending magic;
//   slots       records tiling the region from 512 without gap or overlap,
//               each at least the slot size, in-use byte 0 or 1, idle slots
//               unlinked;
//   chains      every token and path entry's chain: in-use slots only, no
//               cycle, no slot shared with another chain, at most 65,536
//               slots, every slot carrying part of the stored form; idle
//               slots are exactly those outside every chain;
//   entries     every entry decodes; a token entry's hash matches its table
//               pair, no token has two entries, postings strictly ascend by
//               signed path id with counts above 0; a path entry holds the
//               path id of its pair and strictly ascending token ids;
//   references  every posting is backed by the path entry of its path id,
//               and every token id of a path entry names a token entry with
//               a posting for that path id;
//   registry    ids strictly ascending, paths not empty, no path twice.
//
// The check never trusts a count or an offset from the file: it reads only
// bytes that are there, so memory and time stay bounded by the file's size.
// Findings are capped (kMaxFindings); the last line then says how many more
// there were.
#ifndef VELKOR_TOOLS_FORMAT_CHECK_H_
#define VELKOR_TOOLS_FORMAT_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velkor {

struct check_options {
  // Slots in use that no chain reaches. They are lost space, not damage: a
  // call that fails after it allocated slots (a failed write or resize) never
  // links them to an entry, and nothing frees them later.
  bool report_orphan_slots = true;
  // Postings and path entries that disagree. Indexing and discarding change
  // token entries one by one and the path entry last, so a call that fails
  // half-way leaves them disagreeing; with false, the check accepts that
  // state (everything else is still checked).
  bool report_cross_references = true;
};

constexpr std::size_t kMaxFindings = 1000;

// Checks the index file at `path` (read through plain file I/O, never
// whole). A file that cannot be read yields one finding saying so.
std::vector<std::string> check_index_file(const std::string& path,
                                          const check_options& options = check_options());

// Whether the journal beside the index file at `path` is hot: a save of it
// did not complete, and the next open restores the last one.
bool journal_is_hot(const std::string& path);

// Checks an index file held in memory.
std::vector<std::string> check_index_bytes(const uint8_t* data, std::size_t size,
                                           const check_options& options = check_options());

}  // namespace velkor

#endif  // VELKOR_TOOLS_FORMAT_CHECK_H_
