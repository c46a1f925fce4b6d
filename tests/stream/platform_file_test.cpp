// What the host sees of the platform's file interface: error codes and file
// names are each platform's own, so the expected values differ by platform.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "stream/fstream.h"
#include "stream/platform_file.h"
#include "test_util.h"
#include "velkor_index.h"

namespace {

namespace fs = std::filesystem;
using velkor::_fstream;
namespace platform = velkor::platform;

#if defined(_WIN32)
constexpr int32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr int32_t kNegativeSeek = 131;     // ERROR_NEGATIVE_SEEK
constexpr int32_t kOpenFolder = 5;         // ERROR_ACCESS_DENIED
#else
constexpr int32_t kSharingViolation = EWOULDBLOCK;
constexpr int32_t kNegativeSeek = EINVAL;
constexpr int32_t kOpenFolder = EISDIR;
#endif

constexpr uint32_t kRW = _fstream::kRead | _fstream::kWrite;

class PlatformFileTest : public ::testing::Test {
 protected:
  fs::path folder() const { return fs::u8path(dir.path()); }

  // The names as the system holds them (16-bit units on Windows, bytes
  // elsewhere).
  std::vector<fs::path::string_type> names_in_folder() const {
    std::vector<fs::path::string_type> names;
    for (const auto& entry : fs::directory_iterator(folder())) {
      names.push_back(entry.path().filename().native());
    }
    return names;
  }

  velkor_test::temp_dir dir;
};

TEST_F(PlatformFileTest, Utf8PathNamesTheConvertedFile) {
  const struct {
    const char* utf8;
    fs::path native;
  } cases[] = {
#if defined(_WIN32)
      {"\xE4\xB8\xAD\xC3\xA9\xE0\xA4\xB9.idx", L"\u4E2D\u00E9\u0939.idx"},
      // One unit per sequence: U+1F600 keeps its low 16 bits.
      {"\xF0\x9F\x98\x80.idx", L"\xF600.idx"},
      // Conversion stops at a byte that cannot lead a sequence.
      {"ok\x80rest.idx", L"ok"},
#else
      // A byte path needs no conversion: the name is the bytes themselves.
      {"\xE4\xB8\xAD\xC3\xA9\xE0\xA4\xB9.idx", "\xE4\xB8\xAD\xC3\xA9\xE0\xA4\xB9.idx"},
      {"\xF0\x9F\x98\x80.idx", "\xF0\x9F\x98\x80.idx"},
      {"ok\x80rest.idx", "ok\x80rest.idx"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    const std::string path = dir.file(c.utf8);
    {
      _fstream created(path.c_str(), _fstream::kCreate, true);
      created.write("abc", 3);
      EXPECT_EQ(created.name(), path);
    }
    EXPECT_EQ(names_in_folder(), std::vector<fs::path::string_type>{c.native.native()});

    // The other way round: a file the system named opens by the UTF-8 path.
    fs::remove(folder() / c.native);
    velkor_test::write_file(dir.file("plain"), std::string("12345"));
    fs::rename(folder() / "plain", folder() / c.native);
    {
      _fstream opened(path.c_str(), _fstream::kRead, true);
      EXPECT_EQ(opened.size(), 5);
    }
    fs::remove(folder() / c.native);
  }
}

TEST_F(PlatformFileTest, RefusedOpensReportThePlatformsCode) {
  const std::string path = dir.file("held.idx");
  velkor_test::touch(path);
  idx_handle held = idx_open(path.c_str(), false);
  ASSERT_NE(held, nullptr);
  for (bool read_only : {false, true}) {
    EXPECT_EQ(idx_open(path.c_str(), read_only), nullptr);
    EXPECT_EQ(velkor_test::last_error_texts().params,
              "FileName[" + path + "] OpenMode[" + (read_only ? "read" : "read|write") +
                  "] ErrCode[" + std::to_string(kSharingViolation) + "]");
  }
  EXPECT_TRUE(idx_close(held));

  EXPECT_EQ(idx_open(dir.path().c_str(), false), nullptr);
  EXPECT_EQ(velkor_test::last_error_texts().params, "FileName[" + dir.path() +
                                                        "] OpenMode[read|write] ErrCode[" +
                                                        std::to_string(kOpenFolder) + "]");
}

TEST_F(PlatformFileTest, SeekResultsAreLow32BitsOfThePosition) {
  const std::string path = dir.file("ten");
  velkor_test::write_file(path, std::string("0123456789"));
  _fstream s(path.c_str(), _fstream::kRead, true);
  EXPECT_EQ(s._seek(0x7FFFFFFF, 0), 0x7FFFFFFF);
  // Past 2 GiB the position no longer fits a signed 32-bit number.
  EXPECT_EQ(s._seek(10, 1), static_cast<int32_t>(0x80000009u));
  EXPECT_EQ(s._seek(4, 0), 4);

  VELKOR_CATCH(e, s.seek(-1, 0));
  EXPECT_EQ(e.get_params(), "SeekOffset[-1] CurStreamSize[10] FileName[" + path + "] ErrCode[" +
                                std::to_string(kNegativeSeek) + "]");
  EXPECT_EQ(s.tell(), 4);
}

}  // namespace
