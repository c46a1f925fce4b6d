#include "stream/utf8_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using velkor::platform::utf8_path_units;

TEST(Utf8PathTest, EachSequenceGivesOneUnitAndInvalidInputStops) {
  const struct {
    const char* bytes;
    std::u16string units;
  } cases[] = {
      {"C:\\x/y.idx", u"C:\\x/y.idx"},
      {"\xE4\xB8\xAD", u"\u4E2D"},
      {"a\xC3\xA9"
       "b\xE4\xB8\xAD"
       "c",
       u"a\u00E9b\u4E2Dc"},
      // Above U+FFFF only the low 16 bits are kept: no surrogate pairs.
      {"\xF0\x9F\x98\x80", u"\xF600"},
      // Five- and six-byte forms decode like the others.
      {"\xF8\x80\x80\x81\x82", u"B"},
      {"\xFC\x80\x80\x80\x81\xBF", u"\x7F"},
      // Following bytes are taken for their low six bits, unchecked.
      {"\xC3\x41", u"\xC1"},
      {"\xE4\xF8\xED"
       "z",
       u"\x4E2D"
       "z"},
      // Invalid input stops with the units so far.
      {nullptr, u""},
      // A continuation byte cannot lead a sequence.
      {"ab\x80"
       "cd",
       u"ab"},
      {"\xC3\xA9\xA9", u"\u00E9"},
      // A sequence may not run past the terminating zero.
      {"ab\xE4\xB8", u"ab"},
      {"x\xFC\x80\x80\x80\x80", u"x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_path_units(c.bytes), c.units)
        << testing::PrintToString(c.bytes ? c.bytes : "(null)");
  }
}

}  // namespace
