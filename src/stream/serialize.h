// How values are laid on a stream. Fixed-width integers are little-endian
// with no tag or padding. Strings are a 4-byte length, a one-byte scrambling
// key and the bytes XOR the key. Tokens are one length byte (256 - length),
// the key and the scrambled bytes; a length byte of 1..127 marks a plain,
// unscrambled token that is read but never written.
#ifndef VELKOR_STREAM_SERIALIZE_H_
#define VELKOR_STREAM_SERIALIZE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "common/file_format.h"
#include "stream/stream.h"

namespace velkor {

void write_u32(_stream& stream, uint32_t value);
uint32_t read_u32(_stream& stream);
void write_u8(_stream& stream, uint8_t value);
uint8_t read_u8(_stream& stream);

// XORs each byte with `key`; its own inverse.
void scramble(uint8_t* bytes, std::size_t count, uint8_t key);
// A scrambling key of 1..254 from the runtime's generator.
uint8_t draw_key();

// Reads `count` records of fixed-size fields (sizes in `fields`) in bounded
// batches, handing each batch to `consume(bytes, records)`. A stream that
// ends early raises the read error that reading field by field would have
// raised (the size of the field in which the bytes ran out), with the stream
// left at its end; no memory is taken ahead of the bytes that arrive.
void read_records(_stream& stream, int32_t count, const int32_t* fields, int field_count,
                  void (*consume)(void* context, const uint8_t* bytes, int32_t records),
                  void* context);

// How many of `count` records of `record_size` bytes the bytes left behind
// the stream's position can hold: room to reserve for a section, never for
// what a damaged count claims beyond the file.
size_t records_room(_stream& stream, int32_t count, int32_t record_size);

template <class F>
void read_records(_stream& stream, int32_t count, std::initializer_list<int32_t> fields,
                  F&& consume) {
  read_records(
      stream, count, fields.begin(), static_cast<int>(fields.size()),
      [](void* context, const uint8_t* bytes, int32_t records) {
        (*static_cast<std::remove_reference_t<F>*>(context))(bytes, records);
      },
      &consume);
}

void save_string(_stream& stream, const std::string& s);
void load_string(_stream& stream, std::string& s);
// Reads a string form as load_string does (the same reads, the same errors)
// but leaves its bytes scrambled: they replace `bytes`, and the key is
// returned.
uint8_t load_string_scrambled(_stream& stream, std::vector<uint8_t>& bytes);
void save_token(_stream& stream, const std::string& token);
void load_token(_stream& stream, std::string& token);
// The token whose stored form starts `bytes` (n of them), as load_token
// reads it; false when the form is longer than n or its length byte is 0
// (load_token then tells what is wrong).
bool token_from_bytes(const uint8_t* bytes, std::size_t n, std::string& token);

}  // namespace velkor

#endif  // VELKOR_STREAM_SERIALIZE_H_
