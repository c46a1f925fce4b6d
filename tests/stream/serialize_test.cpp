#include "stream/serialize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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

// The bytes that `write` puts on a fresh memory stream.
bytes saved(const std::function<void(_stream&)>& write) {
  _memadapter a;
  {
    _memstream s(&a);
    write(s);
  }
  return a.buffer;
}

// A memory stream over given bytes, positioned at 0.
struct reader {
  explicit reader(bytes content) : s(&a) { a.buffer = std::move(content); }
  _memadapter a;
  _memstream s;
};

bytes counting_bytes(int n) {
  bytes out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  return out;
}

std::string read_error_params(int32_t required) {
  return "AvailableSize[0] RequiredSize[" + std::to_string(required) +
         "] StreamName[MemoryStream] ErrCode[0]";
}

TEST(SerializeTest, IntegersAreLittleEndianAtFixedWidth) {
  const bytes b = saved([](_stream& s) {
    write_u32(s, 20080118);
    write_u16(s, 0x1234);
    write_u8(s, 0xAB);
  });
  EXPECT_EQ(b, (bytes{0xF6, 0x65, 0x32, 0x01, 0x34, 0x12, 0xAB}));
  reader r(b);
  EXPECT_EQ(read_u32(r.s), 20080118u);
  EXPECT_EQ(read_u16(r.s), 0x1234);
  EXPECT_EQ(read_u8(r.s), 0xAB);
  platform::set_last_error_code(0);
  VELKOR_CATCH(e, read_u16(r.s));
  EXPECT_EQ(e.get_params(), read_error_params(2));
}

// String form: u32 length, key, bytes ^ key. Token form: 256 - length, key,
// bytes ^ key; a lead byte below 128 is a plain, unscrambled token.
TEST(SerializeTest, StringAndTokenFormsRoundTrip) {
  const bytes abc = saved([](_stream& s) { save_string(s, "abc"); });
  ASSERT_EQ(abc.size(), 8u);
  const uint8_t k = abc[4];
  EXPECT_GE(k, 1);
  EXPECT_LE(k, 254);
  EXPECT_EQ(abc, (bytes{3, 0, 0, 0, k, uint8_t('a' ^ k), uint8_t('b' ^ k), uint8_t('c' ^ k)}));
  EXPECT_EQ(saved([](_stream& s) { save_string(s, ""); }).size(), 5u);

  for (int length : {1, 2, 30, 128}) {
    const std::string token(static_cast<size_t>(length), 'T');
    const bytes b = saved([&](_stream& s) { save_token(s, token); });
    ASSERT_EQ(b.size(), static_cast<size_t>(length) + 2) << length;
    EXPECT_EQ(b[0], 256 - length);
    EXPECT_EQ(b[2] ^ b[1], 'T');
    reader r(b);
    std::string back;
    load_token(r.s, back);
    EXPECT_EQ(back, token);
  }

  // Readers take every key, including the two that writers never draw.
  for (int key : {0, 1, 200, 255}) {
    const uint8_t k = static_cast<uint8_t>(key), a = 'a' ^ k, b = 'b' ^ k;
    reader string_form({2, 0, 0, 0, k, a, b});
    reader token_form({254, k, a, b});
    std::string s, t;
    load_string(string_form.s, s);
    load_token(token_form.s, t);
    EXPECT_EQ(s, "ab") << key;
    EXPECT_EQ(t, "ab") << key;
  }

  bytes plain{127};
  plain.insert(plain.end(), 127, 'p');
  plain.push_back(0x77);
  reader r(plain);
  std::string token;
  load_token(r.s, token);
  EXPECT_EQ(token, std::string(127, 'p'));
  EXPECT_EQ(read_u8(r.s), 0x77);
}

const char kPlainWithZero[] = {4, 'a', 0, 'c', 'd'};

TEST(SerializeTest, ZeroByteCutsTheTextButNotTheField) {
  const std::string with_zero("ab\0cd", 5);
  const struct {
    const char* form;
    std::function<void(_stream&)> save;
    std::function<void(_stream&, std::string&)> load;
    const char* loaded;
  } cases[] = {
      {"string", [&](_stream& s) { save_string(s, with_zero); }, load_string, "ab"},
      {"token", [&](_stream& s) { save_token(s, with_zero); }, load_token, "ab"},
      {"plain token", [](_stream& s) { s.write(kPlainWithZero, 5); }, load_token, "a"},
  };
  for (const auto& c : cases) {
    reader r(saved([&](_stream& s) {
      c.save(s);
      write_u32(s, 0xDEADBEEF);
    }));
    std::string text;
    c.load(r.s, text);
    EXPECT_EQ(text, c.loaded) << c.form;
    EXPECT_EQ(read_u32(r.s), 0xDEADBEEFu) << c.form;
  }
}

TEST(SerializeTest, BadLengthsAreRefusedWithTheirTexts) {
  // The longest string is taken; one byte more is refused before anything
  // is written.
  const std::string longest(kMaxStringLength, 'q');
  reader r(saved([&](_stream& s) { save_string(s, longest); }));
  std::string back;
  load_string(r.s, back);
  EXPECT_EQ(back, longest);
  reader target(counting_bytes(7));
  target.s.seek(3, 0);
  VELKOR_CATCH(save, save_string(target.s, longest + "q"));
  EXPECT_TRUE(
      texts_equal(texts_of(save), {"_SaveLongStr", "String too long to save!", "stream<<string",
                                   "StrLen[10485761] StreamSize[7], StreamPos[3]", ""}));
  EXPECT_EQ(target.a.buffer, counting_bytes(7));

  const struct {
    bytes length;
    const char* params;
  } too_long[] = {{{0xFF, 0xFF, 0xFF, 0xFF}, "StrLen[-1] StreamSize[9], StreamPos[4]"},
                  {{0x01, 0x00, 0xA0, 0x00}, "StrLen[10485761] StreamSize[9], StreamPos[4]"}};
  for (const auto& c : too_long) {
    bytes content = c.length;
    content.insert(content.end(), {7, 'a', 'b', 'c', 'd'});
    reader stored(content);
    std::string s;
    VELKOR_CATCH(e, load_string(stored.s, s));
    EXPECT_TRUE(texts_equal(
        texts_of(e), {"_LoadLongStr", "String too long to load!", "stream>>string", c.params, ""}));
  }

  // A damaged length within the limit ends in the read error when the
  // stream runs out, not in an allocation of the length read.
  reader beyond({0x00, 0x00, 0xA0, 0x00, 9, 'a', 'b', 'c'});
  std::string old = "old";
  platform::set_last_error_code(0);
  VELKOR_CATCH(read, load_string(beyond.s, old));
  EXPECT_EQ(read.get_params(), read_error_params(static_cast<int32_t>(kMaxStringLength)));
  EXPECT_EQ(old, "old");

  reader zero({0, 'a', 'b', 'c'});
  VELKOR_CATCH(token, load_token(zero.s, old));
  EXPECT_TRUE(
      texts_equal(texts_of(token), {"_BadTokenSize", "Bad token length!", "stream>>token", "", ""}));
  EXPECT_EQ(old, "old");
}

// Records of three fields (4, 2 and 1 bytes) read in batches: a short stream
// fails on the field that ran out, after handing over the whole records.
TEST(ReadRecordsTest, ShortStreamRaisesForTheFieldThatRanOut) {
  const struct {
    int available;     // bytes in the stream
    int32_t required;  // RequiredSize of the error, 0 for none
    int records;       // whole records handed over
  } cases[] = {{21, 0, 3}, {25, 0, 3}, {14, 4, 2}, {18, 2, 2}, {20, 1, 2}, {0, 4, 0}, {6, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.available);
    reader r(counting_bytes(c.available));
    bytes seen;
    auto consume = [&](const uint8_t* data, int32_t records) {
      seen.insert(seen.end(), data, data + records * 7);
    };
    if (c.required == 0) {
      read_records(r.s, 3, {4, 2, 1}, consume);
      EXPECT_EQ(r.a.position, 21);
    } else {
      platform::set_last_error_code(0);
      VELKOR_CATCH(e, read_records(r.s, 3, {4, 2, 1}, consume));
      EXPECT_EQ(e.get_params(), read_error_params(c.required));
    }
    EXPECT_EQ(seen, counting_bytes(c.records * 7));
  }
}

TEST(ReadRecordsTest, ManyRecordsCrossBatchBoundaries) {
  const int count = 20000;  // 160,000 bytes: several batches
  bytes content(static_cast<size_t>(count) * 8);
  for (int i = 0; i < count; ++i) encode_u32(&content[static_cast<size_t>(i) * 8], i);
  content.resize(content.size() - 3);
  reader r(content);
  int next = 0;
  bool in_order = true;
  auto consume = [&](const uint8_t* data, int32_t records) {
    for (int32_t i = 0; i < records; ++i) in_order &= decode_u32(data + i * 8) == uint32_t(next++);
  };
  platform::set_last_error_code(0);
  // 5 bytes of the last record arrived: its 2-byte middle field ran out.
  VELKOR_CATCH(e, read_records(r.s, count, {4, 2, 2}, consume));
  EXPECT_EQ(e.get_params(), read_error_params(2));
  EXPECT_EQ(next, count - 1);
  EXPECT_TRUE(in_order);
}

}  // namespace
