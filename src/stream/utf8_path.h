// The conversion of an index file's path, given as UTF-8 bytes, into the
// 16-bit units that a wide-character file interface takes.
#ifndef VELKOR_STREAM_UTF8_PATH_H_
#define VELKOR_STREAM_UTF8_PATH_H_

#include <string>

namespace velkor {
namespace platform {

// Decodes `path` one sequence at a time, each sequence giving one unit (the
// low 16 bits of its value; no surrogate pairs). The lead byte alone fixes
// the length (1 to 6 bytes); following bytes contribute their low six bits
// without being checked. Decoding stops, keeping the units so far, at a
// byte 0x80..0xBF in lead position and at a sequence that runs past the
// terminating zero. A null path gives no units.
std::u16string utf8_path_units(const char* path);

}  // namespace platform
}  // namespace velkor

#endif  // VELKOR_STREAM_UTF8_PATH_H_
