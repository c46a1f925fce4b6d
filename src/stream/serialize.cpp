#include "stream/serialize.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/exception.h"
#include "common/runtime_rand.h"

namespace velkor {

namespace {

// Strings from a damaged file are read in steps of this size, so that a
// length field never makes us allocate more than the stream really holds.
constexpr int32_t kReadStep = 1 << 16;

_exception string_error(const char* id, const char* msg, const char* where, int32_t length,
                        _stream& stream) {
  const int32_t size = stream.size();
  const int32_t position = stream.tell();
  return _exception(id, msg, where,
                    format_params(kParamsCapacity, "StrLen[%d] StreamSize[%d], StreamPos[%d]",
                                  length, size, position),
                    "");
}

// Reads `count` bytes as one checked read would, growing the buffer only as
// the bytes arrive; a short read raises the read error for the whole count.
void read_bytes_bounded(_stream& stream, std::vector<uint8_t>& out, int32_t count) {
  out.clear();
  int32_t done = 0;
  while (done < count) {
    const int32_t step = std::min(kReadStep, count - done);
    out.resize(static_cast<size_t>(done) + static_cast<size_t>(step));
    const int32_t got = stream._read(out.data() + done, step);
    if (got != step) stream.raise_read_error(count);
    done += step;
  }
}

std::string text_before_zero(const uint8_t* bytes, size_t count) {
  if (count == 0) return std::string();  // an empty buffer may have no storage at all
  const void* zero = std::memchr(bytes, 0, count);
  const size_t length =
      zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes) : count;
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

size_t records_room(_stream& stream, int32_t count, int32_t record_size) {
  const int64_t left = static_cast<int64_t>(stream._size()) - stream._seek(0, 1);
  if (count <= 0 || left <= 0 || record_size <= 0) return 0;
  return static_cast<size_t>(std::min<int64_t>(count, left / record_size));
}

void read_records(_stream& stream, int32_t count, const int32_t* fields, int field_count,
                  void (*consume)(void* context, const uint8_t* bytes, int32_t records),
                  void* context) {
  int32_t record_size = 0;
  for (int i = 0; i < field_count; ++i) record_size += fields[i];
  if (count <= 0 || record_size <= 0) return;
  auto raise_within_record = [&](int32_t within) {
    int32_t field = fields[0];
    for (int i = 0; i < field_count; ++i) {
      field = fields[i];
      if (within < field) break;
      within -= field;
    }
    stream.raise_read_error(field);
  };
  // A memory stream's bytes are decoded where they lie.
  const int64_t wanted = int64_t{count} * record_size;
  const uint8_t* held = nullptr;
  int64_t taken = 0;
  if (stream.take_held(wanted, &held, &taken)) {
    if (taken >= record_size) consume(context, held, static_cast<int32_t>(taken / record_size));
    if (taken < wanted) raise_within_record(static_cast<int32_t>(taken % record_size));
    return;
  }
  const int32_t batch_records = std::max<int32_t>(1, kReadStep / record_size);
  std::vector<uint8_t> batch;
  int32_t done = 0;
  while (done < count) {
    const int32_t records = std::min(batch_records, count - done);
    const int32_t bytes = records * record_size;
    batch.resize(static_cast<size_t>(bytes));
    const int32_t got = std::max(stream._read(batch.data(), bytes), 0);
    if (got != bytes) {
      if (got >= record_size) consume(context, batch.data(), got / record_size);
      raise_within_record(got % record_size);
    }
    consume(context, batch.data(), records);
    done += records;
  }
}

void write_u32(_stream& stream, uint32_t value) {
  uint8_t bytes[4];
  encode_u32(bytes, value);
  stream.write(bytes, 4);
}

uint32_t read_u32(_stream& stream) {
  uint8_t bytes[4];
  stream.read(bytes, 4);
  return decode_u32(bytes);
}

void write_u8(_stream& stream, uint8_t value) { stream.write(&value, 1); }

uint8_t read_u8(_stream& stream) {
  uint8_t value;
  stream.read(&value, 1);
  return value;
}

void scramble(uint8_t* bytes, std::size_t count, uint8_t key) {
  for (std::size_t i = 0; i < count; ++i) bytes[i] ^= key;
}

uint8_t draw_key() {
  uint32_t key;
  do {
    key = runtime_rand() % 255;
  } while (key == 0);
  return static_cast<uint8_t>(key);
}

void save_string(_stream& stream, const std::string& s) {
  const int32_t length = static_cast<int32_t>(s.size());
  if (s.size() > format::kMaxStringLength) {
    throw string_error("_SaveLongStr", "String too long to save!", "stream<<string", length,
                       stream);
  }
  const uint8_t key = draw_key();
  std::vector<uint8_t> bytes(s.begin(), s.end());
  scramble(bytes.data(), bytes.size(), key);
  write_u32(stream, static_cast<uint32_t>(length));
  write_u8(stream, key);
  stream.write(bytes.data(), length);
}

uint8_t load_string_scrambled(_stream& stream, std::vector<uint8_t>& bytes) {
  const uint32_t length = read_u32(stream);
  if (length > format::kMaxStringLength) {
    throw string_error("_LoadLongStr", "String too long to load!", "stream>>string",
                       static_cast<int32_t>(length), stream);
  }
  const uint8_t key = read_u8(stream);
  read_bytes_bounded(stream, bytes, static_cast<int32_t>(length));
  return key;
}

void load_string(_stream& stream, std::string& s) {
  std::vector<uint8_t> bytes;
  const uint8_t key = load_string_scrambled(stream, bytes);
  scramble(bytes.data(), bytes.size(), key);
  s = text_before_zero(bytes.data(), bytes.size());
}

void save_token(_stream& stream, const std::string& token) {
  const uint8_t key = draw_key();
  const size_t length = std::min<size_t>(token.size(), 256);
  uint8_t bytes[256];
  std::memcpy(bytes, token.data(), length);
  scramble(bytes, length, key);
  write_u8(stream, static_cast<uint8_t>((256 - token.size()) & 0xFF));
  write_u8(stream, key);
  stream.write(bytes, static_cast<int32_t>(length));
}

void load_token(_stream& stream, std::string& token) {
  // The stored form field by field, then decoded as from bytes in hand.
  uint8_t form[2 + 128];
  form[0] = read_u8(stream);
  if (form[0] == 0) throw _exception("_BadTokenSize", "Bad token length!", "stream>>token", "", "");
  size_t head = 1;
  size_t length = form[0];
  if (form[0] >= 128) {
    form[head++] = read_u8(stream);
    length = 256 - size_t{form[0]};
  }
  stream.read(form + head, static_cast<int32_t>(length));
  token_from_bytes(form, head + length, token);
}

bool token_from_bytes(const uint8_t* bytes, std::size_t n, std::string& token) {
  if (n < 1 || bytes[0] == 0) return false;
  const uint8_t lead = bytes[0];
  if (lead < 128) {
    if (n < 1 + size_t{lead}) return false;
    token = text_before_zero(bytes + 1, lead);
    return true;
  }
  const size_t length = 256 - size_t{lead};
  if (n < 2 + length) return false;
  uint8_t plain[128];
  std::memcpy(plain, bytes + 2, length);
  scramble(plain, length, bytes[1]);
  token = text_before_zero(plain, length);
  return true;
}

}  // namespace velkor
