#include "stream/utf8_path.h"

#include <cstdint>
#include <cstring>

namespace velkor {
namespace platform {

namespace {

// Length of the sequence that `lead` starts, or 0 for a continuation byte.
size_t sequence_length(uint8_t lead) {
  if (lead <= 0x7F) return 1;
  if (lead <= 0xBF) return 0;
  if (lead <= 0xDF) return 2;
  if (lead <= 0xEF) return 3;
  if (lead <= 0xF7) return 4;
  if (lead <= 0xFB) return 5;
  return 6;
}

}  // namespace

std::u16string utf8_path_units(const char* path) {
  std::u16string units;
  if (path == nullptr) return units;
  const auto* bytes = reinterpret_cast<const uint8_t*>(path);
  const size_t total = std::strlen(path);
  size_t at = 0;
  while (at < total) {
    const uint8_t lead = bytes[at];
    const size_t length = sequence_length(lead);
    if (length == 0 || length > total - at) break;
    uint32_t value = length == 1 ? lead : lead & (0xFFu >> (length + 1));
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (bytes[at + i] & 0x3Fu);
    units.push_back(static_cast<char16_t>(value & 0xFFFFu));
    at += length;
  }
  return units;
}

}  // namespace platform
}  // namespace velkor
