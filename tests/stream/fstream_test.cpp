#include "stream/fstream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "stream/fault_injection.h"
#include "stream/platform_file.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using velkor::_fstream;
using velkor_test::error_texts;
using velkor_test::texts_equal;
using velkor_test::texts_of;
namespace faults = velkor::faults;
namespace platform = velkor::platform;

constexpr uint32_t kRW = _fstream::kRead | _fstream::kWrite;
const char kTransferAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be either a "
    "network failure, or a file I/O error !";
const char kResizeAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be a network "
    "failure, or a file I/O error, and or file size out of disk space error!";

std::vector<uint8_t> counting_bytes(int n) {
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  return bytes;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class FstreamTest : public ::testing::Test {
 protected:
  // A file holding the bytes 0, 1, 2, ... (`size` of them).
  std::string make_file(const std::string& name, int size) {
    const std::string path = dir.file(name);
    velkor_test::write_file(path, counting_bytes(size));
    return path;
  }

  velkor_test::temp_dir dir;
};

// A file held exclusively is buffered, a shared one goes to the platform
// each time; both must behave alike.
constexpr uint32_t kShareModes[] = {0, _fstream::kReadShare};

TEST_F(FstreamTest, SeeksFromEachOrigin) {
  for (const uint32_t share : kShareModes) {
    SCOPED_TRACE(share);
    _fstream s(make_file("a", 100).c_str(), _fstream::kRead | share, true);
    EXPECT_EQ(s.is_buffered(), share == 0);
    EXPECT_EQ(s._seek(0, 2), 100);
    EXPECT_EQ(s._seek(10, 2), 90);
    EXPECT_EQ(s._seek(5, 1), 95);
    EXPECT_EQ(s._size(), 100);
    EXPECT_EQ(s._seek(0, 1), 95);
    EXPECT_LT(s._seek(-1, 0), 0);
    EXPECT_EQ(s.tell(), 95);
    EXPECT_EQ(s._seek(250, 0), 250);
    EXPECT_EQ(s.size(), 100);
    // Without write access the platform refuses writes and size changes.
    EXPECT_EQ(s._write("x", 1), 0);
    EXPECT_LT(s._resize(10), 0);
    EXPECT_EQ(s.size(), 100);
  }
}

TEST_F(FstreamTest, InvalidOriginRaisesBareMessage) {
  _fstream s(make_file("a", 10).c_str(), _fstream::kRead, true);
  const error_texts expected{"", "Invalid parameters seeking in stream", "", "", ""};
  for (int origin : {3, -1}) {
    VELKOR_CATCH(raw, s._seek(0, origin));
    EXPECT_TRUE(texts_equal(texts_of(raw), expected)) << origin;
    VELKOR_CATCH(checked, s.seek(0, origin));
    EXPECT_TRUE(texts_equal(texts_of(checked), expected)) << origin;
  }
}

TEST_F(FstreamTest, ShortCheckedReadTransfersWhatIsLeftAndRaises) {
  for (const uint32_t share : kShareModes) {
    SCOPED_TRACE(share);
    const std::string path = make_file("r", 100);
    _fstream s(path.c_str(), _fstream::kRead | share, true);
    s.seek(95, 0);
    uint8_t buffer[8] = {};
    platform::set_last_error_code(0);  // a short read is no platform failure
    VELKOR_CATCH(e, s.read(buffer, 8));
    EXPECT_TRUE(texts_equal(
        texts_of(e),
        {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
         "AvailableSize[0] RequiredSize[8] StreamName[" + path + "] ErrCode[0]", kTransferAdvice}));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{95, 96, 97, 98, 99}));
    EXPECT_EQ(s.tell(), 100);
  }
}

TEST_F(FstreamTest, ResizeKeepsPositionBelowNewEndElseMovesToIt) {
  const struct {
    int32_t position, new_size, result;
  } cases[] = {{10, 50, 10}, {60, 50, 50}, {50, 50, 50}, {10, 150, 10}, {120, 150, 120}, {0, 0, 0}};
  for (const auto& c : cases) {
    for (const uint32_t share : kShareModes) {
      SCOPED_TRACE(testing::Message() << c.position << " -> " << c.new_size << " share " << share);
      const std::string path = make_file("resize", 100);
      {
        _fstream s(path.c_str(), kRW | share, true);
        s._seek(c.position, 0);
        EXPECT_EQ(s._resize(c.new_size), c.result);
        EXPECT_EQ(s.tell(), c.result);
        EXPECT_EQ(s.size(), c.new_size);
      }
      std::vector<uint8_t> expected = counting_bytes(100);
      expected.resize(static_cast<size_t>(c.new_size), 0);
      EXPECT_EQ(velkor_test::read_file(path), expected);
    }
  }
}

TEST_F(FstreamTest, CreateTruncatesOrMakesTheFileAndAllowsWriting) {
  const std::string existing = make_file("c", 100);
  const std::string missing = dir.file("new");
  for (const std::string& path : {existing, missing}) {
    {
      // "create" alone still opens for reading and writing.
      _fstream s(path.c_str(), _fstream::kCreate, true);
      EXPECT_EQ(s.size(), 0);
      s.write("abc", 3);
      s.seek(0, 0);
      char back[3];
      s.read(back, 3);
      EXPECT_EQ(std::string(back, 3), "abc");
    }
    EXPECT_EQ(velkor_test::read_file(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
}

TEST_F(FstreamTest, MissingFileIsNotCreatedAndReportsOpenError) {
  const std::string path = dir.file("x.idx");
  const struct {
    uint32_t mode;
    const char* words;
  } cases[] = {{kRW, "read|write"}, {_fstream::kRead, "read"}, {_fstream::kWrite, "write"}};
  for (const auto& c : cases) {
    VELKOR_CATCH(e, _fstream s(path.c_str(), c.mode, true));
    EXPECT_TRUE(texts_equal(texts_of(e),
                            {"_fstream.ErrOpenFile", "Failed to open file!", "_fstream::open()",
                             "FileName[" + path + "] OpenMode[" + c.words + "] ErrCode[2]", ""}));
    _fstream quiet(path.c_str(), c.mode, false);
    EXPECT_FALSE(quiet.is_open());
    EXPECT_STREQ(quiet.name(), "");
    EXPECT_FALSE(quiet.open(path.c_str(), c.mode, false));
  }
  EXPECT_FALSE(velkor_test::file_exists(path));
}

TEST_F(FstreamTest, EmptyOrNullPathFailsWithoutPlatformCall) {
  for (const char* path : {static_cast<const char*>(nullptr), ""}) {
    // A platform call would have replaced this code (or created a file).
    platform::set_last_error_code(1234);
    VELKOR_CATCH(e, _fstream s(path, _fstream::kCreate | _fstream::kRead, true));
    EXPECT_TRUE(texts_equal(texts_of(e),
                            {"_fstream.ErrOpenFile", "Failed to open file!", "_fstream::open()",
                             "FileName[] OpenMode[create|read] ErrCode[1234]", ""}));
  }
  // Reopening with an empty path closes what was open: the file is free again.
  const std::string held = make_file("held", 4);
  _fstream s(held.c_str(), kRW, true);
  EXPECT_FALSE(s._open("", kRW));
  EXPECT_FALSE(s.is_open());
  EXPECT_STREQ(s.name(), "");
  _fstream other(held.c_str(), kRW, false);
  EXPECT_TRUE(other.is_open());
}

TEST_F(FstreamTest, HeldFileRefusesSecondOpenUntilReleased) {
  const std::string path = make_file("held", 10);
  {
    _fstream first(path.c_str(), kRW, true);
    EXPECT_EQ(first.name(), path);
    for (uint32_t mode : {_fstream::kRead, kRW, _fstream::kCreate,
                          _fstream::kRead | _fstream::kReadShare | _fstream::kWriteShare}) {
      _fstream second(path.c_str(), mode, false);
      EXPECT_FALSE(second.is_open()) << _fstream::mode_words(mode);
    }
    // The refused "create" must not have truncated the held file (measured
    // without opening it: on Windows nobody may open a held file).
    EXPECT_EQ(std::filesystem::file_size(path), 10u);
#if !defined(_WIN32)
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      _fstream other_process(path.c_str(), _fstream::kRead, false);
      _exit(other_process.is_open() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
#endif
  }
  _fstream again(path.c_str(), kRW, false);
  EXPECT_TRUE(again.is_open());
}

TEST_F(FstreamTest, SharedOpensCoexistButKeepExclusiveOpenersOut) {
  const std::string path = make_file("shared", 10);
  const uint32_t shared = _fstream::kRead | _fstream::kReadShare | _fstream::kWriteShare;
  _fstream first(path.c_str(), shared, true);
  _fstream second(path.c_str(), shared, false);
  EXPECT_TRUE(second.is_open());
  _fstream exclusive(path.c_str(), _fstream::kRead, false);
  EXPECT_FALSE(exclusive.is_open());
}

TEST(FstreamModeWordsTest, SetBitsInFixedOrder) {
  const struct {
    uint32_t mode;
    const char* words;
  } cases[] = {
      {0, ""},
      {_fstream::kRead, "read"},
      {_fstream::kRead | _fstream::kWrite, "read|write"},
      {_fstream::kWriteShare | _fstream::kCreate, "create|wshare"},
      {0x30007, "create|read|write|rshare|wshare"},
      {0x8 | 0x40000 | 0x80000000u, ""},
      {0xFFFFFFFFu, "create|read|write|rshare|wshare"},
  };
  for (const auto& c : cases) EXPECT_EQ(_fstream::mode_words(c.mode), c.words) << c.mode;
}

// Disarms the fault seam however the test leaves.
struct fault_scope {
  fault_scope(faults::io_op op, int64_t k) { faults::arm(op, k); }
  ~fault_scope() { faults::disarm(); }
};

TEST_F(FstreamTest, PlatformFailuresRaiseCheckedErrors) {
  const struct {
    faults::io_op op;
    int64_t k;
    std::function<void(_fstream&)> call;
    error_texts expected;  // {P}: the path, {E}: the platform's I/O error code
    uint32_t mode = kRW;
  } cases[] = {
      {faults::io_op::write,
       1,
       [](_fstream& s) { s.write("0123456789", 10); },
       {"_stream.WriteErr", "Failed to write data to the stream!", "_stream::write()",
        "CurStreamSize[100] DataSize[10] StreamName[{P}] ErrCode[{E}]", kTransferAdvice}},
      {faults::io_op::read,
       1,
       [](_fstream& s) {
         char buffer[4];
         s.read(buffer, 4);
       },
       {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
        "AvailableSize[100] RequiredSize[4] StreamName[{P}] ErrCode[{E}]", kTransferAdvice}},
      {faults::io_op::resize,
       1,
       [](_fstream& s) { s.resize(50); },
       {"_stream.ResizeErr", "Failed to change stream size!", "_stream::resize()",
        "CurStreamSize[100] NewSize[50] StreamName[{P}] ErrCode[{E}]", kResizeAdvice}},
      {faults::io_op::seek,
       1,
       [](_fstream& s) { s.seek(5, 0); },
       {"_stream.SeekErr", "Failed to seek in the stream!", "_fstream::seek()",
        "SeekOffset[5] CurStreamSize[100] FileName[{P}] ErrCode[{E}]", ""}},
      // The second seek of the size operation is the one that goes to the end;
      // only a shared file asks the platform for its size.
      {faults::io_op::seek,
       2,
       [](_fstream& s) { s.size(); },
       {"_stream.SizeErr", "Failed to get size of stream!", "_fstream::size()",
        "FileName[{P}] ErrCode[{E}]", ""},
       kRW | _fstream::kReadShare},
  };
  const std::string code = std::to_string(platform::io_error_code());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.id);
    const std::string path = make_file("faulty", 100);
    _fstream s(path.c_str(), c.mode, true);
    error_texts expected = c.expected;
    expected.params = replace_all(replace_all(expected.params, "{P}", path), "{E}", code);
    {
      fault_scope fault(c.op, c.k);
      VELKOR_CATCH(e, c.call(s));
      EXPECT_TRUE(texts_equal(texts_of(e), expected));
      EXPECT_EQ(faults::injected(), 1);
    }
    // Nothing is rolled back, and the stream stays usable.
    EXPECT_EQ(s.size(), 100);
    s.seek(0, 0);
    s.write("z", 1);
  }
}

}  // namespace
