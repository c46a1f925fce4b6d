// The index file's layout: every reader and writer of the format (the
// engine, the checker, the tools, the tests) takes its numbers from here.
//
//   offset 0     header: 12 words of u32, then zero bytes up to 512
//   512          slot region: slots end to end; each stored object (token
//                entry, path entry) is a chain of linked slots
//   data end     slot table    u32 N; N x { u32 offset, u32 size, u8 in use,
//                              u32 next }
//                token table   u32 N; N x { u32 token hash, u32 entry id },
//                              by ascending hash
//                path table    u32 N; N x { u32 path id, u32 entry id }, by
//                              ascending signed path id
//                registry      u32 N; N x { u32 path id, string, u32 time },
//                              by ascending signed path id
//                ending magic  u32, equal to header word 0
//
// Fixed-length numbers are encoded least-significant byte first. A string
// is u32 length, u8 key and the bytes each XOR the key; a token is one
// length byte (256 - length, or 1..127 for a plain token read but never
// written), the key and the scrambled bytes.
//
//   token entry  token; u32 N; N x { u32 path id, u16 count }
//   path entry   u32 path id; u32 N; N x u32 token entry id
#ifndef VELKOR_COMMON_FILE_FORMAT_H_
#define VELKOR_COMMON_FILE_FORMAT_H_

#include <cstdint>

namespace velkor {
namespace format {

constexpr uint32_t kMagic = 0x013265F6;  // 20080118
// Magic words of earlier versions of the file, refused as such.
constexpr uint32_t kMagicV1 = 0x01321BC1;
constexpr uint32_t kMagicV2 = 0x01324267;

constexpr int kHeaderWords = 12;
constexpr int32_t kHeaderBytes = 512;
// A file of this many bytes or fewer holds no index: it opens as a new one.
constexpr int32_t kEmptyFileBytes = kHeaderBytes;

enum header_word : int {
  kWordMagic = 0,
  kWordSlotSize = 1,
  kWordDataBegin = 2,
  kWordDataEnd = 3,
  kWordSlotTableBegin = 4,
  kWordSlotTableEnd = 5,
  kWordTokenTableBegin = 6,
  kWordTokenTableEnd = 7,
  kWordPathTableBegin = 8,
  kWordPathTableEnd = 9,
  kWordRegistryBegin = 10,
  kWordRegistryEnd = 11,
};

constexpr uint32_t kDataBegin = 512;
constexpr int32_t kDefaultSlotSize = 32;
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr uint32_t kNoId = 0xFFFFFFFFu;
// A walk refuses chains longer than this.
constexpr int32_t kMaxChainSlots = 0x10000;
// A new slot is refused unless the file's size is below this minus the
// request: 2 GiB - 8 MiB - 1.
constexpr int32_t kFileSizeLimit = 0x7F7FFFFF;

constexpr int32_t kSlotRecordBytes = 13;
constexpr int32_t kTablePairBytes = 8;
constexpr int32_t kPostingBytes = 6;

// The longest string the string form holds: 10 MiB.
constexpr uint32_t kMaxStringLength = 0xA00000;
// The token form holds at most 128 bytes.
constexpr int32_t kMaxTokenLength = 128;

}  // namespace format

inline void encode_u16(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t decode_u16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

inline void encode_u32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t decode_u32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

inline void encode_u64(uint8_t* out, uint64_t v) {
  encode_u32(out, static_cast<uint32_t>(v));
  encode_u32(out + 4, static_cast<uint32_t>(v >> 32));
}
inline uint64_t decode_u64(const uint8_t* in) {
  return uint64_t{decode_u32(in)} | uint64_t{decode_u32(in + 4)} << 32;
}

// h = h * 5 + byte (read as signed 8-bit), from 0, modulo 2^32.
inline uint32_t token_hash_step(uint32_t h, char c) {
  return h * 5u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
}

}  // namespace velkor

#endif  // VELKOR_COMMON_FILE_FORMAT_H_
