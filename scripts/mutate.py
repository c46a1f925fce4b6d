#!/usr/bin/env python3
"""Mutation harness: how many small faults of the engine the native suite finds.

Each mutation replaces one short, distinctive piece of source text (found by
its text, not by a line number, so that it survives unrelated edits). The
harness copies the work tree (the files git knows, tracked or not ignored)
into a folder of its own, builds it there once, then for each mutation alone:
applies it to the copy, builds incrementally, runs the native ctest suite
(stopping at the first failing test, each test under a time limit), and puts
the file back. The work tree itself is never written. The copy is restored
after every mutant, on Ctrl-C and on SIGTERM too, and made equal to the work
tree again at the start of every run.

A mutation whose text is not found exactly once is reported "not applied"; a
mutant that does not build is reported "does not build"; neither counts. The
score is killed / (killed + survived).

  python3 scripts/mutate.py                 # every mutation
  python3 scripts/mutate.py --list          # the list, and whether each applies
  python3 scripts/mutate.py --only H1,J2    # some of them
  python3 scripts/mutate.py --source DIR    # a checkout of an older commit
  VELKOR_MUTANT_DIR=/tmp/m python3 scripts/mutate.py   # where the copy lives
  python3 scripts/mutate.py --all --kills k.json      # every test that kills each

With --all each mutant runs the whole suite and records every failing test:
a gtest case, or a case of the Python suites (cli, python_binding) by its
class and name. --kills writes them as JSON; the summary names the tests
that alone kill some mutation. A test that no such list names is redundant
with respect to these mutations.

Not part of CI. With ccache installed (it is used when found), a full run
of the 102 mutations takes about 20 minutes on two otherwise idle cores (33
beside other builds): each mutant rebuilds what its file touches and runs
the suite until its first failing test, under a time limit per test.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class M:
    """One mutation: `search` replaced by `replace` in `path`. Where the code
    has changed, `also` gives further (search, replace) pairs for the same
    fault; the first whose text is found exactly once is applied."""

    def __init__(self, key, layer, path, what, search, replace, also=()):
        self.key, self.layer, self.path, self.what = key, layer, path, what
        self.pairs = [(search, replace)] + list(also)

    def edit(self, text):
        """The mutated text, or None when no pair applies."""
        for search, replace in self.pairs:
            if text.count(search) == 1:
                return text.replace(search, replace)
        return None


MUTATIONS = [
    # stream: the held file (positioned access, write-back of the size, journal hooks)
    M("H1", "stream", "src/stream/held_file.cpp", "write goes out before its old bytes are journaled",
      "  if (!keep_old(position, end)) return 0;\n  if (injected_fault()) return 0;\n"
      "  const int32_t put = platform::write_at(file_, position, in, count);\n",
      "  if (injected_fault()) return 0;\n"
      "  const int32_t put = platform::write_at(file_, position, in, count);\n"
      "  if (!keep_old(position, end)) return 0;\n"),
    M("H2", "stream", "src/stream/held_file.cpp", "old bytes never journaled before a write",
      "  if (!keep_old(position, end)) return 0;\n", ""),
    M("H4", "stream", "src/stream/held_file.cpp", "first page of a run is not marked journaled (kept twice)",
      "for (size_t p = page; p < run_end; ++p) journaled_[p] = true;",
      "for (size_t p = page + 1; p < run_end; ++p) journaled_[p] = true;"),
    M("H5", "stream", "src/stream/held_file.cpp", "a read-only open ignores the saved size in the journal",
      "      size_ = saved;\n", ""),
    M("H6", "stream", "src/stream/held_file.cpp", "stale tail is not cut before a write past it",
      "  if (end > valid_end_ && !drop_stale_tail()) return 0;\n", "", also=[("  if (end > valid_end_ && valid_end_ < disk_size_ && !clear_stale_before(position)) return 0;\n", "")]),
    # stream: the journal
    M("J1", "stream", "src/stream/journal.cpp", "record checksum not checked",
      "    if (decode_u32(head + 12) != sum) return true;\n", "    (void)sum;\n"),
    M("J2", "stream", "src/stream/journal.cpp", "journal header keeps a wrong saved size",
      "encode_u64(header + 8, static_cast<uint64_t>(saved_size));",
      "encode_u64(header + 8, static_cast<uint64_t>(saved_size + 1));"),
    M("J3", "stream", "src/stream/journal.cpp", "rollback resizes to a foreign journal's size",
      "  if (owner == identity && (injected_fault()", "  if ((injected_fault()"),
    M("J4", "stream", "src/stream/journal.cpp", "commit does not zero the header",
      "  if (!write_all(file_, 0, zeros, kHeaderBytes)) return false;",
      "  if (!write_all(file_, 0, zeros, 0)) return false;"),
    M("J5", "stream", "src/stream/journal.cpp", "records written over each other",
      "  end_ += static_cast<int64_t>(record.size());\n", "", also=[("  end_ += static_cast<int64_t>(bytes);\n", "")]),
    M("J6", "stream", "src/stream/journal.cpp", "record length not bounded",
      "if (offset < 0 || length > static_cast<uint32_t>(kMaxRecordBytes)) return true;",
      "if (offset < 0) return true;"),
    M("J7", "stream", "src/stream/journal.cpp", "every journal has the same salt",
      "  salt_ = draw_salt();", "  salt_ = draw_salt() & 0;"),
    M("J8", "stream", "src/stream/journal.cpp", "a long journal is kept whole",
      "  if (length_ > kKeptFileBytes && platform::resize_file", "  if (false && platform::resize_file"),
    # stream: serialization
    M("S1", "stream", "src/stream/serialize.cpp", "key may be 255", "key = runtime_rand() % 255;",
      "key = runtime_rand() % 256;"),
    M("S2", "stream", "src/stream/serialize.cpp", "longest string refused (off by one)",
      "  if (length > format::kMaxStringLength) {\n    throw string_error(\"_LoadLongStr\"",
      "  if (length >= format::kMaxStringLength) {\n    throw string_error(\"_LoadLongStr\""),
    M("S4", "stream", "src/stream/serialize.cpp", "lead byte 128 read as a plain token",
      "  if (form[0] >= 128) {\n", "  if (form[0] > 128) {\n"),
    M("S5", "stream", "src/stream/serialize.cpp", "whole records before a cut are dropped",
      "    consume(context, bytes, static_cast<int32_t>(left / record_size));\n", "",
      also=[("if (taken >= record_size) consume(context, held,", "if (taken == wanted) consume(context, held,")]),
    M("S6", "stream", "src/stream/serialize.cpp", "a plain token is read on past a zero byte",
      "    token = text_before_zero(bytes + 1, lead);\n",
      "    token.assign(reinterpret_cast<const char*>(bytes + 1), lead);\n"),
    # stream: the file stream
    M("F1", "stream", "src/stream/fstream.cpp", "a read-write open is not writable through the held file",
      "writable_ = (mode & (kCreate | kWrite)) != 0;", "writable_ = (mode & kCreate) != 0;"),
    M("F2", "stream", "src/stream/fstream.cpp", "position after a resize restored the wrong way",
      "  if (position < new_size) _seek(position, 0);\n", "  if (position > new_size) _seek(position, 0);\n"),
    M("F3", "stream", "src/stream/fstream.cpp", "seek to -1 allowed", "  if (target < 0) {\n",
      "  if (target < -1) {\n"),
    M("F4", "stream", "src/stream/platform_file_posix.cpp", "an exclusive open takes a shared lock",
      "::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB)", "::flock(fd, (shared ? LOCK_SH : LOCK_SH) | LOCK_NB)"),
    M("U1", "stream", "src/stream/utf8_path.cpp", "a path's sequence may run past its end",
      "if (length == 0 || length > total - at) break;", "if (length == 0) break;"),
    M("V1", "stream", "src/stream/fstream.cpp", "bytes are lent where a hot journal's old bytes lie over them",
      "if (!lending_ || held_ == nullptr || !held_->reads_as_file() || faults::active) return false;",
      "if (!lending_ || held_ == nullptr || faults::active) return false;"),
    M("V2", "stream", "src/stream/fstream.cpp", "a view lends bytes that lie before it",
      "  if (position_ < view_at_ || view_.bytes == nullptr) {\n",
      "  if (view_.bytes == nullptr) {\n"),
    M("V3", "index", "src/index/path_registry.cpp", "a registry parsed where it lies misses a time cut short",
      "size - at - 8 < int64_t{length} + 5", "size - at - 8 < int64_t{length} + 1"),
    M("V4", "index", "src/index/token_indexes.cpp", "a read-only open leaves the path table's count unchecked",
      "  read_records(from, count, {4, 4}, [](const uint8_t*, int32_t) {});\n",
      "  read_records(from, count * 0, {4, 4}, [](const uint8_t*, int32_t) {});\n"),
    M("V5", "storage", "src/storage/object_storage.cpp", "a read-only lookup takes the first greater record in its block",
      "        if (static_cast<int32_t>(block[at + half].offset) < static_cast<int32_t>(id)) {",
      "        if (static_cast<int32_t>(block[at + half].offset) <= static_cast<int32_t>(id)) {"),
    M("W1", "index", "src/index/token_table.h", "a save puts a new pair before the file's pairs of its hash",
      "      for (; i < base_.size() && base_[i].first <= hash; ++i) {",
      "      for (; i < base_.size() && base_[i].first < hash; ++i) {"),
    M("W2", "index", "src/index/token_table.h", "a save writes the erased pairs",
      "        if (!is_erased(i)) pairs.push_back(base_[i]);", "        pairs.push_back(base_[i]);"),
    M("Q1", "index", "src/index/path_table.h", "a pair set again after its erasure stays counted as erased",
      "      --erased_count_;\n", ""),
    M("Q2", "index", "src/index/path_table.h", "a merge keeps the erased pairs",
      "      if (!is_erased(at)) merged.push_back(base_[at]);", "      merged.push_back(base_[at]);"),
    # storage: object storage, chains, slot table
    M("O1", "storage", "src/storage/object_storage.cpp", "find_slot takes the next slot for an id that is none",
      "if (it == slots.end() || it->offset != id) return nullptr;", "if (it == slots.end()) return nullptr;"),
    M("O2", "storage", "src/storage/object_storage.cpp", "2 GiB limit off by one",
      "if (!(file_size < limit)) throw", "if (!(file_size <= limit)) throw"),
    M("O3", "storage", "src/storage/object_storage.cpp", "new slot smaller than the slot size",
      "const int32_t capacity = std::max(n, slot_size);", "const int32_t capacity = n;"),
    M("O4", "storage", "src/storage/object_storage.cpp", "idle list not rebuilt on load",
      "    if (slot.in_use == 0) idle_slots.push_back(slot.offset);\n", ""),
    M("O5", "storage", "src/storage/object_storage.cpp", "slot of size 0 accepted",
      "if (slot.size <= 0) throw storage_errors::invalid_slot_size();",
      "if (slot.size < 0) throw storage_errors::invalid_slot_size();", also=[("    if (slot.size <= 0) checks.bad_size = true;", "    if (slot.size < 0) checks.bad_size = true;")]),
    M("O6", "storage", "src/storage/object_storage.cpp", "appended slot not linked behind idle ones",
      "      if (last != nullptr) last->next = added.offset;\n", "      (void)last;\n"),
    M("O7", "storage", "src/storage/object_storage.cpp", "a save leaves the storage modified",
      "  to.write(bytes.data(), static_cast<int32_t>(bytes.size()));\n  modified = false;\n",
      "  to.write(bytes.data(), static_cast<int32_t>(bytes.size()));\n", also=[("    if (!bytes.empty()) to.write(bytes.data(), static_cast<int32_t>(bytes.size()));\n  }\n  modified = false;\n",
                     "    if (!bytes.empty()) to.write(bytes.data(), static_cast<int32_t>(bytes.size()));\n  }\n")]),
    M("O8", "storage", "src/storage/object_storage.cpp", "runs of kept forms overwrite the bytes between parts",
      "      gaps = gaps || int64_t{parts[last].offset} > end;\n", ""),
    M("O9", "storage", "src/storage/object_storage.cpp", "freed chain loses its kept form's bytes",
      "    if (kept->unwritten) write_image(kept->chain, kept->image);\n", ""),
    M("O10", "storage", "src/storage/object_storage.cpp", "slot record past the end of the file accepted",
      "if (int64_t{slot.offset} + slot.size > file_size) throw",
      "if (int64_t{slot.offset} + slot.size > file_size + 4096) throw", also=[("if (offset + slot.size > file_size) checks.past_file = true;",
                      "if (offset + slot.size > file_size + 4096) checks.past_file = true;")]),
    M("O11", "storage", "src/storage/object_storage.h", "loop detection one slot late",
      "if (static_cast<size_t>(count) >= slots.size()) throw", "if (static_cast<size_t>(count) > slots.size()) throw", also=[("if (static_cast<size_t>(count) >= slot_count()) throw",
                      "if (static_cast<size_t>(count) > slot_count()) throw")]),
    M("O12", "storage", "src/storage/object_storage.h", "chain limit off by one",
      "if (count > format::kMaxChainSlots) throw", "if (count >= format::kMaxChainSlots) throw"),
    M("O13", "storage", "src/storage/object_storage.h", "idle slot inside a chain not refused",
      "      if (chain[i].in_use == 0) {\n", "      if (false) {\n"),
    M("O14", "storage", "src/storage/object_storage.h", "rewrite keeps a stale link behind its last slot",
      "      last->next = kNoSlot;\n      modified = true;\n", "      modified = true;\n"),
    M("O15", "storage", "src/storage/object_storage.h", "a load gathers the holes of a sparse file",
      "std::min<int64_t>(stream->_size(), std::max<int64_t>(stream->real_size(), kMinLoadBound))",
      "stream->_size()"),
    M("O16", "storage", "src/storage/object_storage.h", "a key read misses the run of new objects",
      "  if (int64_t{slot->offset} + slot->size > run_.begin && int64_t{slot->offset} < run_.end()) {\n"
      "    write_run();\n  }\n", ""),
    M("O17", "storage", "src/storage/object_storage.h", "a new object joins a run it does not follow",
      "    if (!run_.bytes.empty() && int64_t{id} != run_.end()) write_run();\n", ""),
    M("O18", "storage", "src/storage/object_storage.h", "the save leaves the run of new objects unwritten",
      "  void write_forms() {\n    write_run();\n", "  void write_forms() {\n"),
    # storage: caches, stored forms, idle list
    M("C1", "storage", "src/storage/obj_mem_cache.h", "trim drops changed entries without writing them",
      "        if (victim.held) storage->_save_object_at(victim.id, victim.entry);\n", ""),
    M("C2", "storage", "src/storage/obj_mem_cache.h", "a change does not make an entry the newest",
      "    if (n.listed && n.newer != kNil) {\n      unlink(at);\n      append(at);\n    }\n", ""),
    M("C3", "storage", "src/storage/stored_forms.h", "forms not yet written may be let go of",
      "      if (c.at != kNone && !form_at(c.at).unwritten)\n", "      if (c.at != kNone)\n"),
    M("C4", "storage", "src/storage/idle_list.h", "the compaction of the idle list keeps one dropped entry",
      "ids_.erase(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(head_));",
      "ids_.erase(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(head_ - 1));"),
    # layout header
    M("L1", "format", "src/common/file_format.h", "token hash multiplier", "return h * 5u +", "return h * 7u +"),
    M("L3", "format", "src/common/file_format.h", "chain limit constant", "kMaxChainSlots = 0x10000;",
      "kMaxChainSlots = 0x10001;"),
    M("L4", "format", "src/common/file_format.h", "file size limit constant", "kFileSizeLimit = 0x7F7FFFFF;",
      "kFileSizeLimit = 0x7FFFFFFF;"),
    M("L5", "format", "src/common/file_format.h", "old magic of version 2", "kMagicV2 = 0x01324267;",
      "kMagicV2 = 0x01324268;"),
    M("L6", "format", "src/common/file_format.h", "u16 decoded with the wrong shift",
      "return static_cast<uint16_t>(in[0] | in[1] << 8);", "return static_cast<uint16_t>(in[0] | in[1] << 7);"),
    # index: load and save
    M("I1", "index", "src/index/token_indexes.cpp", "a file of 512 bytes is loaded",
      "stream->_size() <= kHeaderBytes) return false;", "stream->_size() < kHeaderBytes) return false;"),
    M("I2", "index", "src/index/token_indexes.cpp", "slot size word compared unsigned",
      "if (static_cast<int32_t>(header[kWordSlotSize]) < format::kDefaultSlotSize) {",
      "if (header[kWordSlotSize] < static_cast<uint32_t>(format::kDefaultSlotSize)) {"),
    M("I3", "index", "src/index/token_indexes.cpp", "ending magic not checked",
      "  if (read_u32(in) != header[kWordMagic]) throw index_errors::magic_missing();\n", ""),
    M("I4", "index", "src/index/token_indexes.cpp", "a save keeps answers from before it",
      "  answers_.clear();\n  trim_caches(0, 0);\n", "  trim_caches(0, 0);\n"),
    M("I5", "index", "src/index/token_indexes.cpp", "path table end word not set",
      "    header[kWordPathTableEnd] = position();\n", "", also=[("  header[kWordPathTableEnd] = position();\n", "")]),
    M("I6", "index", "src/index/token_indexes.cpp", "header padding not written",
      "  stream->_write(zeros.data(), pad);\n", ""),
    M("I7", "index", "src/index/token_indexes.cpp", "the journal is committed before the size is written back",
      "  stream->write_back();\n  stream->commit(kept_end);\n", "  stream->commit(kept_end);\n  stream->write_back();\n"),
    M("I8", "index", "src/index/token_indexes.cpp", "bytes behind the ending magic kept as meaningful",
      "  stream->set_kept_end(in._seek(0, 1));\n", ""),
    # index: tokens, postings, path entries
    M("P1", "index", "src/index/postings.cpp", "a posting may reach 65,535",
      "} else if (static_cast<uint32_t>(at->count) + count < kMaxCount) {",
      "} else if (static_cast<uint32_t>(at->count) + count <= kMaxCount) {"),
    M("P2", "index", "src/index/postings.cpp", "counts in one text wrap past 65,535",
      "if (out[seen[i]].count < kMaxCount) ++out[seen[i]].count;", "++out[seen[i]].count;"),
    M("P3", "index", "src/index/postings.cpp", "tokens cut one byte short",
      "> limit ? p + limit : end;", "> limit ? p + limit - 1 : end;"),
    M("P4", "index", "src/index/postings.cpp", "posting search off by one",
      "(base->path_id < path_id);", "(base->path_id <= path_id);"),
    M("P5", "index", "src/index/postings.cpp", "an appended posting out of order is not noted",
      "postings[n - 2].path_id > path_id && token_cache.mark(id)",
      "postings[n - 2].path_id < path_id && token_cache.mark(id)"),
    M("P6", "index", "src/index/postings.cpp", "counting sort skips its last byte",
      "  for (int pass = 0; pass < kPasses; ++pass) {\n    uint32_t* count",
      "  for (int pass = 0; pass < kPasses - 1; ++pass) {\n    uint32_t* count"),
    M("P7", "index", "src/index/postings.cpp", "short tokens' sort keys not left-aligned",
      "return n == 8 ? key : key << (8 * (8 - n));", "return key;"),
    M("P8", "index", "src/index/postings.cpp", "a path entry misses a single new token",
      "if (merged.size() > entry->token_ids.size()) {", "if (merged.size() > entry->token_ids.size() + 1) {"),
    M("P9", "index", "src/index/postings.cpp", "discard does not mark the changed token entry",
      "      if (!postings.empty()) {\n        token_cache._mark_modified(t);\n",
      "      if (!postings.empty()) {\n"),
    M("P10", "index", "src/index/postings.cpp", "an emptied token entry's slots are not freed",
      "  token_cache._drop_object(token_id);\n  storage->free_object(token_id);\n",
      "  token_cache._drop_object(token_id);\n"),
    M("P11", "index", "src/index/entries.cpp", "stored length of a token entry misses its count",
      "return static_cast<int64_t>(form) + 4 + kPostingBytes",
      "return static_cast<int64_t>(form) + kPostingBytes"),
    # index: registry, lookups, token table
    M("R1", "index", "src/index/registry.cpp", "path ids drawn with overlapping halves",
      "(high << 16) | (low & 0xFFFFu)", "(high << 15) | (low & 0xFFFFu)"),
    M("R2", "index", "src/index/path_registry.cpp", "a repeated registry id held as it lies",
      "records.back().id >= h.id", "records.back().id > h.id"),
    M("R3", "index", "src/index/lookups.cpp", "the enumeration ignores the callback's stop",
      "    if (!callback(static_cast<uint32_t>(id), record.path.c_str(), record.time, user_data)) break;\n",
      "    callback(static_cast<uint32_t>(id), record.path.c_str(), record.time, user_data);\n"),
    M("R4", "index", "src/index/lookups.cpp", "registering alone does not count as a change",
      "storage->modified || names_registry.dirty != 0 ||", "storage->modified ||"),
    M("R5", "index", "src/index/lookups.cpp", "cache limits below 64 taken as given",
      "token_limit_ = std::max(token_limit, kMinCacheLimit);", "token_limit_ = token_limit;"),
    M("R6", "index", "src/index/token_table.h", "a pair of the file's table erased by hash alone",
      "if (is_erased(i) || base_[i].second != id) continue;", "if (is_erased(i)) continue;"),
    # failures that only a failing platform call shows
    M("E1", "stream", "src/stream/stream.cpp", "a short write goes unnoticed",
      "  if (static_cast<uint32_t>(put) != static_cast<uint32_t>(count)) {\n    const int32_t code = platform::last_error_code();\n    throw stream_errors::write_error",
      "  if (put < 0) {\n    const int32_t code = platform::last_error_code();\n    throw stream_errors::write_error"),
    M("E2", "stream", "src/stream/stream.cpp", "a failed resize goes unnoticed",
      "  if (_resize(new_size) < 0) {", "  if (_resize(new_size) < -1) {"),
    M("E3", "stream", "src/stream/held_file.cpp", "a write goes ahead when its old bytes could not be journaled",
      "    if (!journal_->keep(begin, old.data(), length)) return false;\n", "    journal_->keep(begin, old.data(), length);\n", also=[("if (used > 0 && !journal_->keep_sealed(batch.data(), used)) {",
                     "if (used > 0 && (journal_->keep_sealed(batch.data(), used), false)) {")]),
    M("E4", "stream", "src/stream/journal.cpp", "the journal counts as begun when its header was not written",
      "  if (!write_all(file_, 0, header, kHeaderBytes)) return false;\n", "  write_all(file_, 0, header, kHeaderBytes);\n"),
    M("E5", "stream", "src/stream/held_file.cpp", "the size goes out though the stale tail stayed",
      "  if (!drop_stale_tail()) return false;\n  if (disk_size_ != size_) {", "  drop_stale_tail();\n  if (disk_size_ != size_) {", also=[("!clear_stale_before(std::min(size_, disk_size_))) {",
                     "(clear_stale_before(std::min(size_, disk_size_)), false)) {")]),
    M("E6", "storage", "src/storage/obj_mem_cache.h", "an entry counts as written back before its write succeeded",
      "        if (victim.held) storage->_save_object_at(victim.id, victim.entry);\n        victim.dirty = false;\n        --dirty_count;\n",
      "        victim.dirty = false;\n        --dirty_count;\n        if (victim.held) storage->_save_object_at(victim.id, victim.entry);\n"),
    M("E7", "stream", "src/stream/serialize.cpp", "a string read short goes unnoticed",
      "    if (got != step) stream.raise_read_error(count);\n", "    (void)got;\n"),
    M("E8", "stream", "src/stream/held_file.cpp", "bytes past the file's end count as valid before a write puts them there",
      "    valid_end_ = stop;\n  }\n  return true;", "  }\n  valid_end_ = std::max(valid_end_, position);\n  return true;"),
    M("E9", "stream", "src/stream/held_file.cpp", "pages gathered for the journal stay marked kept when a later read fails",
      "      if (injected_fault()) return fail();\n", "      if (injected_fault()) return false;\n"),
    # api: call frame, last error
    M("A1", "api", "src/api/exports.cpp", "the call frame does not clear the last error",
      "R call_frame(idx_handle handle, R failure, Op&& op) {\n  velkor::clear_last_error();\n",
      "R call_frame(idx_handle handle, R failure, Op&& op) {\n"),
    M("A2", "api", "src/api/exports.cpp", "default delimiter", "owned_or(delimiter, \" \")",
      "owned_or(delimiter, \",\")"),
    M("A3", "api", "src/api/exports.cpp", "a query with nothing found keeps the earlier answer",
      "  if (!buffer.empty()) buffer[0] = '\\0';\n", ""),
    M("A4", "api", "src/api/last_error.cpp", "comment not recorded", "  r.comment = e.get_comment();\n", ""),
    M("A5", "api", "src/api/last_error.cpp", "unknown error id", "r.id = \"._ExceptionUnknown\";",
      "r.id = \"_ExceptionUnknown\";"),
    # the command-line tool
    M("T1", "tool", "tools/velkor-index/read_commands.cpp", "search ranks the lowest score first",
      "return std::make_tuple(-a.doc.score, a.path, a.doc.path_id) <\n           std::make_tuple(-b.doc.score,",
      "return std::make_tuple(a.doc.score, a.path, a.doc.path_id) <\n           std::make_tuple(b.doc.score,"),
    M("T2", "tool", "tools/velkor-index/ranking.cpp", "search --any asks for every word",
      "if (any || std::find(counts.begin()", "if ((any && false) || std::find(counts.begin()"),
    M("T3", "tool", "tools/velkor-index/index_writer.cpp", "compact leaves an idle slot behind the entries",
      "if (slots_.empty()) add_slot({}, 0);", "add_slot({}, 0);"),
    M("T4", "tool", "tools/velkor-index/recover.cpp", "recover passes over the first chain",
      "for (size_t head = 0; head < records.size(); ++head) {\n      if (!records[head].in_use",
      "for (size_t head = 1; head < records.size(); ++head) {\n      if (!records[head].in_use"),
    M("T5", "tool", "tools/velkor-index/read_commands.cpp", "search --json names its match count otherwise",
      '.key("matches")', '.key("match")'),
    M("T6", "tool", "tools/velkor-index/write_commands.cpp", "a NUL one byte past the sniffed bytes makes a file binary",
      "std::min(text.size(), kSniffBytes)", "std::min(text.size(), kSniffBytes + 1)"),
    M("T7", "tool", "tools/velkor-index/write_commands.cpp", "the last sniffed byte is not looked at",
      "std::min(text.size(), kSniffBytes)", "std::min(text.size(), kSniffBytes - 1)"),
    M("T8", "tool", "tools/velkor-index/write_commands.cpp", "re-adding a file adds its new counts to the old",
      "if (known != kNoId && idx_discard(", "if (false && idx_discard("),
    M("T9", "tool", "tools/velkor-index/write_commands.cpp", "a failed add leaves its copy of the index behind",
      "    if (!committed_) {\n      std::error_code ignored;", "    if (false) {\n      std::error_code ignored;"),
    M("T10", "tool", "tools/velkor-index/ranking.cpp", "search weighs counts with another k1",
      "constexpr double kK1 = 1.2;", "constexpr double kK1 = 1.5;"),
    M("A6", "api", "src/common/decimal.h", "100,000,000 written with the four-digit tail",
      "  if (v < 100000000) return four(", "  if (v <= 100000000) return four("),
    # the format checker, which the model and crash tests trust
    M("K1", "checker", "tools/format_check/format_check.cpp", "an idle slot inside a chain passes the check",
      "      if (s.in_use != 1) {\n        report(format(\"chain of %s: slot %u is idle\"",
      "      if (false) {\n        report(format(\"chain of %s: slot %u is idle\""),
    M("K2", "checker", "tools/format_check/format_check.cpp", "a token's hash is not compared with its table pair",
      "    if (token_hash(token) != hash) {\n", "    if (false) {\n"),
    # the Python binding
    M("B1", "binding", "bindings/python/velkor_index/_binding.py", "query answers read as (count, path id)",
      "zip(numbers[0::2], numbers[1::2])", "zip(numbers[1::2], numbers[0::2])"),
    M("B2", "binding", "bindings/python/velkor_index/_binding.py", "a search string taken as one word",
      "            words = words.split()\n", "            words = [words]\n"),
    M("B3", "binding", "bindings/python/velkor_index/_binding.py", "a repeated search word counted twice",
      "if key and key not in seen:", "if key:"),
    M("B4", "binding", "bindings/python/velkor_index/_binding.py", "an error's id and message swapped",
      'for n in ("id", "msg", "where", "params", "comment")]',
      'for n in ("msg", "id", "where", "params", "comment")]'),
    M("B5", "binding", "bindings/python/velkor_index/_binding.py", "a save of a read-only index passes silently",
      '        raise ValueError("a read-only index cannot be saved")\n', "        return\n"),
]


CURRENT = []  # the command running now, ended with the harness


def run(cmd, cwd, timeout=None, log=None):
    with open(log, "w") if log else open(os.devnull, "w") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        CURRENT.append(proc)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return "timeout"
        finally:
            CURRENT.remove(proc)


def sync_copy(source, copy):
    """Makes `copy` hold the files of `source` that git knows, and no others
    (a test file removed from the work tree must not run on in the copy);
    files already equal keep their times, so that the copy's build stays
    incremental."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=source, capture_output=True, check=True).stdout.decode().split("\0")
    known = set(filter(None, listed))
    for stale in [p for p in copy.rglob("*") if p.is_file() and p.relative_to(copy).as_posix() not in known]:
        stale.unlink()
    for name in filter(None, listed):
        src, dst = source / name, copy / name
        if not src.is_file():
            continue
        data = src.read_bytes()
        if dst.is_file() and dst.read_bytes() == data:
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        dst.write_bytes(data)
        shutil.copymode(src, dst)


UNITTEST_FAILURE = re.compile(r"^(?:FAIL|ERROR): (\w+) \((?:\w+\.)*?(\w+)\.\w+\)")


def failed_tests(log, cases=False):
    """The failing ctest entries; with `cases`, an entry that runs a Python
    suite is replaced by its failing cases, as Class.test."""
    names, python, on = [], set(), False
    for line in Path(log).read_text(errors="replace").splitlines():
        found = UNITTEST_FAILURE.match(line)
        if cases and found:
            python.add(f"{found.group(2)}.{found.group(1)}")
        if "The following tests FAILED" in line:
            on = True
        elif on and " - " in line:
            names.append(line.split(" - ", 1)[1].split(" (")[0].strip())
    if cases and python:
        names = [n for n in names if n not in ("cli", "python_binding", "python_install")] + sorted(python)
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", help="comma-separated keys")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--timeout", type=int, default=180, help="seconds per test")
    parser.add_argument("--report", help="file for the result table")
    parser.add_argument("--source", help="git checkout to mutate instead of this work tree (an older commit)")
    parser.add_argument("--all", action="store_true", help="run every test of each mutant, not only to the first failure")
    parser.add_argument("--kills", help="file for the JSON of the failing tests of each mutant (with --all)")
    args = parser.parse_args()

    base = Path(os.environ.get("VELKOR_MUTANT_DIR", ROOT / "build-mutants"))
    copy, build = base / "tree", base / "build"
    chosen = MUTATIONS
    if args.only:
        keys = set(args.only.split(","))
        chosen = [m for m in MUTATIONS if m.key in keys]

    if args.list:
        for m in chosen:
            applies = m.edit(((Path(args.source) if args.source else ROOT) / m.path).read_text())
            print(f"{m.key:4} {m.layer:8} {m.path:36} {'applies' if applies else 'NOT APPLIED'}  {m.what}")
        return 0

    copy.mkdir(parents=True, exist_ok=True)
    sync_copy(Path(args.source).resolve() if args.source else ROOT, copy)
    touched = {}

    def restore(*_):
        for path, text in touched.items():
            path.write_text(text)
        touched.clear()

    def on_signal(signum, _frame):
        for proc in CURRENT:
            os.killpg(proc.pid, signal.SIGTERM)
        restore()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    flags = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2",
             "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2"]
    if shutil.which("ccache"):
        flags += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    ctest = ["ctest", "--test-dir", str(build), "-j2", "--timeout", str(args.timeout)]
    ctest += ["--output-on-failure"] if args.all else ["--stop-on-failure"]
    started = time.time()
    if run(["cmake", "-S", str(copy), "-B", str(build)] + flags, copy, log=base / "configure.log") != 0 or \
            run(["cmake", "--build", str(build), "-j2"], copy, log=base / "build.log") != 0:
        print(f"the unmutated copy does not build: {base / 'build.log'}")
        return 2
    if run(ctest, copy, log=base / "baseline.log") != 0:
        print(f"the unmutated suite fails: {base / 'baseline.log'}")
        return 2
    print(f"baseline built and passed in {time.time() - started:.0f} s", flush=True)

    rows, killed, survived, kills = [], 0, 0, {}
    try:
        for m in chosen:
            path = copy / m.path
            text = path.read_text()
            t0 = time.time()
            mutated = m.edit(text)
            if mutated is None:
                outcome = "not applied"
            else:
                touched[path] = text
                path.write_text(mutated)
                log = base / f"mutant-{m.key}.log"
                if run(["cmake", "--build", str(build), "-j2"], copy, log=log) != 0:
                    outcome = "does not build"
                else:
                    code = run(ctest, copy, log=log)
                    if code == 0:
                        outcome = "SURVIVED"
                        survived += 1
                    else:
                        killed += 1
                        names = failed_tests(log, args.all)
                        kills[m.key] = names
                        shown = names if args.all else names[:3]
                        outcome = "killed by " + (", ".join(shown) if names else str(code))
                restore()
            row = f"{m.key:4} {m.layer:8} {m.what[:58]:58} {outcome}  ({time.time() - t0:.0f} s)"
            rows.append(row)
            print(row, flush=True)
    finally:
        restore()
        # The copy's build goes back to the unmutated engine for the next run.
        run(["cmake", "--build", str(build), "-j2"], copy)
    applied = killed + survived
    summary = (f"score {killed}/{applied}" + (f" = {100.0 * killed / applied:.1f}%" if applied else "") +
               f"; {len(chosen) - applied} not counted; {time.time() - started:.0f} s")
    print(summary)
    if args.all:
        alone = {}
        for key, names in kills.items():
            if len(names) == 1:
                alone.setdefault(names[0], []).append(key)
        for name in sorted(alone):
            print(f"only {name} kills {', '.join(alone[name])}")
    if args.kills:
        Path(args.kills).write_text(json.dumps(kills, indent=1) + "\n")
    if args.report:
        Path(args.report).write_text("\n".join(rows + [summary]) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
