#include "index/entries.h"

#include <algorithm>
#include <cstring>

#include "stream/serialize.h"

namespace velkor {

namespace {

constexpr int32_t kPostingBytes = 6;

// The stored form of a posting is its packed layout on a little-endian
// machine; elsewhere the fields are swapped one by one.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
constexpr bool kStoredAsHeld = false;
#else
constexpr bool kStoredAsHeld = true;
#endif

}  // namespace

void token_entry::save(_stream& stream) const {
  save_token(stream, token);
  write_u32(stream, static_cast<uint32_t>(postings.size()));
  if (postings.empty()) return;
  const int32_t size = static_cast<int32_t>(postings.size()) * kPostingBytes;
  if (kStoredAsHeld) return stream.write(postings.data(), size);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  uint8_t* out = bytes.data();
  for (const posting& p : postings) {
    encode_u32(out, static_cast<uint32_t>(p.path_id));
    encode_u16(out + 4, p.count);
    out += kPostingBytes;
  }
  stream.write(bytes.data(), size);
}

void token_entry::load(_stream& stream) {
  load_token(stream, token);
  const int32_t count = static_cast<int32_t>(read_u32(stream));
  postings.clear();
  read_records(stream, count, {4, 2}, [this](const uint8_t* r, int32_t records) {
    // A short read may hand over no whole record at all.
    if (records <= 0) return;
    const size_t at = postings.size();
    // Room for one more: an entry loaded for indexing takes a posting next.
    const size_t size = at + static_cast<size_t>(records);
    if (postings.capacity() < size) postings.reserve(size + 1);
    postings.resize(size);
    posting* out = postings.data() + at;
    if (kStoredAsHeld) {
      std::memcpy(out, r, static_cast<size_t>(records) * kPostingBytes);
      return;
    }
    for (int32_t i = 0; i < records; ++i, r += kPostingBytes) {
      out[i] = {static_cast<int32_t>(decode_u32(r)), decode_u16(r + 4)};
    }
  });
}

void token_entry::load_key(_stream& stream, std::string& key) { load_token(stream, key); }

bool token_entry::key_from(const uint8_t* bytes, size_t n, std::string& key) {
  return token_from_bytes(bytes, n, key);
}

int64_t token_entry::stored_length(const uint8_t* bytes, size_t n) {
  if (n < 1) return -1;
  // A lead byte of 0 fails at once; 1..127 is a plain token, 128..255 a
  // scrambled one with its key.
  const size_t lead = bytes[0];
  if (lead == 0) return 1;
  const size_t form = lead >= 128 ? 2 + (256 - lead) : 1 + lead;
  if (n < form + 4) return -1;
  const int32_t count = static_cast<int32_t>(decode_u32(bytes + form));
  return static_cast<int64_t>(form) + 4 + kPostingBytes * static_cast<int64_t>(std::max(count, 0));
}

void path_entry::save(_stream& stream) const {
  write_u32(stream, path_id);
  write_u32(stream, static_cast<uint32_t>(token_ids.size()));
  if (token_ids.empty()) return;
  std::vector<uint8_t> bytes(token_ids.size() * 4);
  for (size_t i = 0; i < token_ids.size(); ++i) encode_u32(bytes.data() + 4 * i, token_ids[i]);
  stream.write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void path_entry::load(_stream& stream) {
  path_id = read_u32(stream);
  const int32_t count = static_cast<int32_t>(read_u32(stream));
  token_ids.clear();
  read_records(stream, count, {4}, [this](const uint8_t* r, int32_t records) {
    const size_t at = token_ids.size();
    token_ids.resize(at + static_cast<size_t>(records));
    for (int32_t i = 0; i < records; ++i, r += 4)
      token_ids[at + static_cast<size_t>(i)] = decode_u32(r);
  });
}

void path_entry::load_key(_stream& stream, uint32_t& key) { key = read_u32(stream); }

bool path_entry::key_from(const uint8_t* bytes, size_t n, uint32_t& key) {
  if (n < 4) return false;
  key = decode_u32(bytes);
  return true;
}

int64_t path_entry::stored_length(const uint8_t* bytes, size_t n) {
  if (n < 8) return -1;
  const int32_t count = static_cast<int32_t>(decode_u32(bytes + 4));
  return 8 + 4 * static_cast<int64_t>(std::max(count, 0));
}

}  // namespace velkor
