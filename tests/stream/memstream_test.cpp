#include "stream/memstream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/platform_file.h"
#include "test_util.h"

namespace {

using velkor::_memadapter;
using velkor::_memstream;
using velkor_test::texts_equal;
using velkor_test::texts_of;
using bytes = std::vector<uint8_t>;

bytes counting_bytes(int n) {
  bytes out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  return out;
}

TEST(MemstreamTest, SeeksAreClampedToTheBuffer) {
  _memadapter a;
  a.buffer = counting_bytes(10);
  _memstream s(&a);
  const struct {
    int32_t offset, origin, result;
  } steps[] = {{-5, 0, 0}, {1000, 0, 10}, {3, 2, 7},          {-20, 1, 0},      {-4, 2, 10},
               {20, 2, 0}, {4, 1, 4},     {INT32_MAX, 1, 10}, {INT32_MIN, 1, 0}};
  for (const auto& step : steps) {
    EXPECT_EQ(s._seek(step.offset, step.origin), step.result) << step.offset << ", " << step.origin;
    EXPECT_EQ(a.position, step.result);
    EXPECT_EQ(a.buffer.size(), 10u);
  }
}

TEST(MemstreamTest, WritesExtendAndResizeZeroFills) {
  _memadapter a;
  a.buffer = counting_bytes(10);
  _memstream s(&a);
  s._seek(8, 0);
  EXPECT_EQ(s._write("WXYZ", 4), 4);
  bytes expected = counting_bytes(8);
  expected.insert(expected.end(), {'W', 'X', 'Y', 'Z'});
  EXPECT_EQ(a.buffer, expected);
  EXPECT_EQ(a.position, 12);
  EXPECT_EQ(s._write(nullptr, 3), 3);  // a null source writes nothing
  EXPECT_EQ(a.buffer, expected);

  EXPECT_EQ(s._resize(4), 4);
  EXPECT_EQ(a.position, 4);  // pulled in with the end
  EXPECT_EQ(s._resize(20), 20);
  EXPECT_EQ(a.position, 4);
  expected = counting_bytes(4);
  expected.resize(20, 0);
  EXPECT_EQ(a.buffer, expected);
  EXPECT_EQ(s._resize(-3), 0);
  EXPECT_TRUE(a.buffer.empty());
}

TEST(MemstreamTest, ShortReadsAndTheCheckedErrors) {
  _memadapter a;
  a.buffer = counting_bytes(10);
  _memstream s(&a);
  uint8_t buffer[8] = {};
  s._seek(5, 0);
  EXPECT_EQ(s._read(buffer, 8), 5);
  EXPECT_EQ(bytes(buffer, buffer + 5), (bytes{5, 6, 7, 8, 9}));
  EXPECT_EQ(s._read(buffer, 8), 0);
  s._seek(0, 0);
  EXPECT_EQ(s._read(buffer, -1), 0);
  EXPECT_EQ(a.position, 0);

  s._seek(5, 0);
  velkor::platform::set_last_error_code(0);  // the memory stream never sets it
  VELKOR_CATCH(e, s.read(buffer, 8));
  EXPECT_TRUE(texts_equal(
      texts_of(e),
      {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
       "AvailableSize[0] RequiredSize[8] StreamName[MemoryStream] ErrCode[0]",
       "If you're working with file-sharing, please try again. Otherwise there might be either a "
       "network failure, or a file I/O error !"}));

  s._seek(1, 0);
  const char source[1] = {'x'};  // never read: the write fails before copying
  VELKOR_CATCH(w, s.write(source, INT32_MAX));
  EXPECT_EQ(w.get_id(), "_stream.WriteErr");
  EXPECT_EQ(w.get_params(),
            "CurStreamSize[10] DataSize[2147483647] StreamName[MemoryStream] ErrCode[0]");
  EXPECT_EQ(a.buffer, counting_bytes(10));

  VELKOR_CATCH(null_adapter, _memstream bad(nullptr));
  EXPECT_TRUE(texts_equal(texts_of(null_adapter),
                          {"_memstream.CtorFailure",
                           "Couldn't construct a memory stream with a null adapter!", "", "", ""}));
}

TEST(MemstreamTest, DestructorRewindsAndKeepsTheBytes) {
  _memadapter a;
  {
    _memstream s(&a);
    s.write("hello", 5);
  }
  EXPECT_EQ(a.position, 0);
  EXPECT_EQ(a.buffer, (bytes{'h', 'e', 'l', 'l', 'o'}));
}

// An invalid origin is a programming error, not a stream failure: it is not
// a _exception, so the exported boundary records it as unknown.
TEST(MemstreamTest, InvalidOriginIsAPlainStdException) {
  _memadapter a;
  _memstream s(&a);
  for (int origin : {3, -1}) {
    for (bool checked : {false, true}) {
      try {
        checked ? s.seek(0, origin) : s._seek(0, origin);
        ADD_FAILURE() << "no exception for origin " << origin;
      } catch (const velkor::_exception&) {
        ADD_FAILURE() << "a _exception for origin " << origin;
      } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Invalid parameters!");
      }
    }
  }
}

}  // namespace
