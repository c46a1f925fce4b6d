#include "stream/serialize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
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
    write_u32(s, static_cast<uint32_t>(-2));
    write_u16(s, 0x1234);
    write_u8(s, 0xAB);
  });
  EXPECT_EQ(b, (bytes{0xF6, 0x65, 0x32, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x34, 0x12, 0xAB}));
  reader r(b);
  EXPECT_EQ(read_u32(r.s), 20080118u);
  EXPECT_EQ(static_cast<int32_t>(read_u32(r.s)), -2);
  EXPECT_EQ(read_u16(r.s), 0x1234);
  EXPECT_EQ(read_u8(r.s), 0xAB);
  platform::set_last_error_code(0);
  VELKOR_CATCH(e, read_u16(r.s));
  EXPECT_EQ(e.get_params(), read_error_params(2));
}

TEST(SerializeTest, StringFormIsLengthKeyAndScrambledBytes) {
  const bytes empty = saved([](_stream& s) { save_string(s, ""); });
  ASSERT_EQ(empty.size(), 5u);
  EXPECT_EQ(bytes(empty.begin(), empty.begin() + 4), (bytes{0, 0, 0, 0}));
  EXPECT_GE(empty[4], 1);
  EXPECT_LE(empty[4], 254);

  const bytes abc = saved([](_stream& s) { save_string(s, "abc"); });
  ASSERT_EQ(abc.size(), 8u);
  const uint8_t k = abc[4];
  EXPECT_EQ(abc, (bytes{3, 0, 0, 0, k, uint8_t('a' ^ k), uint8_t('b' ^ k), uint8_t('c' ^ k)}));

  for (const bytes& b : {empty, abc}) {
    reader r(b);
    std::string s = "old";
    load_string(r.s, s);
    EXPECT_EQ(s, b.size() == 5 ? "" : "abc");
    EXPECT_EQ(r.a.position, static_cast<int32_t>(b.size()));
  }
}

TEST(SerializeTest, ReadersAcceptEveryKey) {
  for (int key : {0, 1, 0x7F, 200, 254, 255}) {
    const uint8_t k = static_cast<uint8_t>(key);
    const uint8_t a = 'a' ^ k, b = 'b' ^ k, c = 'c' ^ k;
    reader string_form({3, 0, 0, 0, k, a, b, c});
    reader token_form({253, k, a, b, c});
    std::string s, t;
    load_string(string_form.s, s);
    load_token(token_form.s, t);
    EXPECT_EQ(s, "abc") << key;
    EXPECT_EQ(t, "abc") << key;
  }
}

TEST(SerializeTest, LongestStringRoundTrips) {
  const std::string longest(kMaxStringLength, 'q');
  reader r(saved([&](_stream& s) { save_string(s, longest); }));
  EXPECT_EQ(r.a.buffer.size(), kMaxStringLength + 5);
  std::string back;
  load_string(r.s, back);
  EXPECT_EQ(back, longest);
}

TEST(SerializeTest, TooLongStringIsRefusedBeforeAnythingIsWritten) {
  const std::string too_long(kMaxStringLength + 1, 'q');
  reader r(counting_bytes(7));
  r.s.seek(3, 0);
  VELKOR_CATCH(e, save_string(r.s, too_long));
  EXPECT_TRUE(
      texts_equal(texts_of(e), {"_SaveLongStr", "String too long to save!", "stream<<string",
                                "StrLen[10485761] StreamSize[7], StreamPos[3]", ""}));
  EXPECT_EQ(r.a.buffer, counting_bytes(7));
  EXPECT_EQ(r.a.position, 3);
}

TEST(SerializeTest, TooLongStoredLengthIsRefusedBeforeTheKey) {
  const struct {
    bytes length;
    const char* params;
  } cases[] = {{{0xFF, 0xFF, 0xFF, 0xFF}, "StrLen[-1] StreamSize[9], StreamPos[4]"},
               {{0x01, 0x00, 0xA0, 0x00}, "StrLen[10485761] StreamSize[9], StreamPos[4]"}};
  for (const auto& c : cases) {
    bytes content = c.length;
    content.insert(content.end(), {7, 'a', 'b', 'c', 'd'});
    reader r(content);
    std::string s;
    VELKOR_CATCH(e, load_string(r.s, s));
    EXPECT_TRUE(texts_equal(
        texts_of(e), {"_LoadLongStr", "String too long to load!", "stream>>string", c.params, ""}));
    EXPECT_EQ(r.a.position, 4);
  }
}

// A damaged length that passes the limit must end in the read error when the
// stream runs out, not in an allocation of the length read.
TEST(SerializeTest, StoredLengthBeyondTheStreamRaisesReadError) {
  for (uint32_t length : {5000u, kMaxStringLength}) {
    bytes content(4);
    encode_u32(content.data(), length);
    content.insert(content.end(), {9, 'a', 'b', 'c'});
    reader r(content);
    std::string s = "old";
    platform::set_last_error_code(0);
    VELKOR_CATCH(e, load_string(r.s, s));
    EXPECT_EQ(e.get_id(), "_stream.ReadErr");
    EXPECT_EQ(e.get_params(), read_error_params(static_cast<int32_t>(length)));
    EXPECT_EQ(s, "old");
  }
}

TEST(SerializeTest, TokenLeadByteIs256MinusLength) {
  const struct {
    int length;
    uint8_t lead;
  } cases[] = {{30, 226}, {1, 255}, {128, 128}, {2, 254}};
  for (const auto& c : cases) {
    std::string token;
    for (int i = 0; i < c.length; ++i) token += static_cast<char>('A' + i % 50);
    const bytes b = saved([&](_stream& s) { save_token(s, token); });
    ASSERT_EQ(b.size(), static_cast<size_t>(c.length) + 2) << c.length;
    EXPECT_EQ(b[0], c.lead);
    EXPECT_GE(b[1], 1);
    EXPECT_LE(b[1], 254);
    for (int i = 0; i < c.length; ++i) {
      EXPECT_EQ(b[static_cast<size_t>(2 + i)] ^ b[1], static_cast<uint8_t>(token[i]));
    }
    reader r(b);
    std::string back;
    load_token(r.s, back);
    EXPECT_EQ(back, token);
  }
}

TEST(SerializeTest, PlainTokenLayoutHasNoKey) {
  reader r({3, 'a', 'b', 'c', 0x77});
  std::string token;
  load_token(r.s, token);
  EXPECT_EQ(token, "abc");
  EXPECT_EQ(read_u8(r.s), 0x77);

  bytes longest{127};
  longest.insert(longest.end(), 127, 'p');
  reader l(longest);
  load_token(l.s, token);
  EXPECT_EQ(token, std::string(127, 'p'));
}

TEST(SerializeTest, ZeroLeadByteIsBadTokenSize) {
  reader r({0, 'a', 'b', 'c'});
  std::string token = "old";
  VELKOR_CATCH(e, load_token(r.s, token));
  EXPECT_TRUE(
      texts_equal(texts_of(e), {"_BadTokenSize", "Bad token length!", "stream>>token", "", ""}));
  EXPECT_EQ(r.a.position, 1);
  EXPECT_EQ(token, "old");
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

TEST(SerializeTest, KeysCoverOneTo254AndFollowTheSeed) {
  std::srand(1);
  std::set<int> keys;
  for (int i = 0; i < 5000; ++i) keys.insert(saved([](_stream& s) { save_string(s, ""); })[4]);
  EXPECT_EQ(keys.size(), 254u);
  EXPECT_EQ(*keys.begin(), 1);
  EXPECT_EQ(*keys.rbegin(), 254);

  const auto workload = [](_stream& s) {
    for (int i = 0; i < 20; ++i) {
      save_string(s, "docs/readme.txt");
      save_token(s, "token");
    }
  };
  std::srand(42);
  const bytes first = saved(workload);
  std::srand(42);
  EXPECT_EQ(saved(workload), first);
}

TEST(ReadRecordsTest, ShortStreamRaisesForTheFieldThatRanOut) {
  const struct {
    int available;     // bytes in the stream
    int32_t required;  // RequiredSize of the error, 0 for none
    int records;       // whole records handed over
  } cases[] = {{21, 0, 3}, {25, 0, 3}, {14, 4, 2}, {16, 4, 2}, {18, 2, 2},
               {20, 1, 2}, {0, 4, 0},  {3, 4, 0},  {6, 1, 0}};
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
      EXPECT_EQ(e.get_id(), "_stream.ReadErr");
      EXPECT_EQ(e.get_params(), read_error_params(c.required));
      EXPECT_EQ(r.a.position, c.available);
    }
    EXPECT_EQ(seen, counting_bytes(c.records * 7));
  }
}

TEST(ReadRecordsTest, ManyRecordsCrossBatchBoundaries) {
  const int count = 20000;  // 160,000 bytes: several batches
  for (int missing : {0, 3}) {
    SCOPED_TRACE(missing);
    bytes content(static_cast<size_t>(count) * 8);
    for (int i = 0; i < count; ++i) encode_u32(&content[static_cast<size_t>(i) * 8], i);
    content.resize(content.size() - static_cast<size_t>(missing));
    reader r(content);
    int next = 0;
    bool in_order = true;
    auto consume = [&](const uint8_t* data, int32_t records) {
      for (int32_t i = 0; i < records; ++i)
        in_order &= decode_u32(data + i * 8) == uint32_t(next++);
    };
    if (missing == 0) {
      read_records(r.s, count, {4, 2, 2}, consume);
      EXPECT_EQ(next, count);
    } else {
      platform::set_last_error_code(0);
      // 5 bytes of the last record arrived: its 2-byte middle field ran out.
      VELKOR_CATCH(e, read_records(r.s, count, {4, 2, 2}, consume));
      EXPECT_EQ(e.get_params(), read_error_params(2));
      EXPECT_EQ(next, count - 1);
    }
    EXPECT_TRUE(in_order);
  }
}

}  // namespace
