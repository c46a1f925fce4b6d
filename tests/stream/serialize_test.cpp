// The stored forms of strings and tokens, sound and damaged.
#include "stream/serialize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stream/memstream.h"
#include "stream/platform_file.h"
#include "test_util.h"

namespace {

using namespace velkor;
using velkor_test::texts_equal;
using velkor_test::texts_of;
using bytes = std::vector<uint8_t>;

// A memory stream over given bytes, positioned at 0.
struct reader {
  explicit reader(bytes content) : s(&a) { a.buffer = std::move(content); }
  _memadapter a;
  _memstream s;
};

// String form: u32 length, key, bytes ^ key. Token form: 256 - length, key,
// bytes ^ key; a lead byte below 128 is a plain, unscrambled token. A zero
// byte ends the text, not the field. (The golden file pins what is written.)
TEST(SerializeTest, StoredFormsRoundTrip) {
  for (int length : {1, 128}) {
    const std::string token(static_cast<size_t>(length), 'T');
    _memadapter out;
    {
      _memstream s(&out);
      save_token(s, token);
    }
    const bytes& b = out.buffer;
    ASSERT_EQ(b.size(), static_cast<size_t>(length) + 2) << length;
    EXPECT_EQ(b[0], 256 - length);
    reader r(b);
    std::string back;
    load_token(r.s, back);
    EXPECT_EQ(back, token);
  }
  // Readers take every key, including the two that writers never draw.
  for (int key : {0, 200, 255}) {
    const uint8_t k = static_cast<uint8_t>(key), a = 'a' ^ k, z = 0 ^ k, b = 'b' ^ k;
    reader string_form({3, 0, 0, 0, k, a, z, b, 0x77});
    reader token_form({253, k, a, z, b, 0x77});
    std::string s, t;
    load_string(string_form.s, s);
    load_token(token_form.s, t);
    EXPECT_EQ(s, "a") << key;
    EXPECT_EQ(t, "a") << key;
    EXPECT_EQ(read_u8(string_form.s), 0x77);
    EXPECT_EQ(read_u8(token_form.s), 0x77);
  }
  bytes plain{127};
  plain.insert(plain.end(), 127, 'p');
  plain[5] = 0;
  plain.push_back(0x77);
  reader r(plain);
  std::string token;
  load_token(r.s, token);
  EXPECT_EQ(token, "pppp");
  EXPECT_EQ(read_u8(r.s), 0x77);
}

TEST(SerializeTest, BadLengthsAreRefusedWithTheirTexts) {
  for (const bytes& length : {bytes{0xFF, 0xFF, 0xFF, 0xFF}, bytes{0x01, 0x00, 0xA0, 0x00}}) {
    bytes content = length;
    content.insert(content.end(), {7, 'a', 'b', 'c', 'd'});
    reader stored(content);
    std::string s;
    VELKOR_CATCH(e, load_string(stored.s, s));
    const std::string shown = length[0] == 0xFF ? "-1" : "10485761";
    EXPECT_TRUE(
        texts_equal(texts_of(e), {"_LoadLongStr", "String too long to load!", "stream>>string",
                                  "StrLen[" + shown + "] StreamSize[9], StreamPos[4]", ""}));
  }
  // A damaged length within the limit ends in the read error when the
  // stream runs out, not in an allocation of the length read.
  reader beyond({0x00, 0x00, 0xA0, 0x00, 9, 'a', 'b', 'c'});
  std::string old = "old";
  platform::set_last_error_code(0);
  VELKOR_CATCH(read, load_string(beyond.s, old));
  EXPECT_EQ(read.get_params(), "AvailableSize[0] RequiredSize[" +
                                   std::to_string(format::kMaxStringLength) +
                                   "] StreamName[MemoryStream] ErrCode[0]");
  EXPECT_EQ(old, "old");

  reader zero({0, 'a', 'b', 'c'});
  VELKOR_CATCH(token, load_token(zero.s, old));
  EXPECT_TRUE(texts_equal(texts_of(token),
                          {"_BadTokenSize", "Bad token length!", "stream>>token", "", ""}));
  EXPECT_EQ(old, "old");
}

}  // namespace
