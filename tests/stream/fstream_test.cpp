// The file stream over the platform's file layer: the checked errors with
// their texts, and what the host sees of the platform (error codes are each
// platform's own); the conversion of paths for the Windows layer.
#include "stream/fstream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "stream/platform_file.h"
#include "stream/utf8_path.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace platform = velkor::platform;
using velkor::_fstream;
using velkor::platform::utf8_path_units;
using velkor_test::texts_equal;
using velkor_test::texts_of;

#if defined(_WIN32)
const std::string kSharingViolation = "32", kOpenFolder = "5";
#else
const std::string kSharingViolation = std::to_string(EWOULDBLOCK),
                  kOpenFolder = std::to_string(EISDIR);
#endif
constexpr uint32_t kRW = _fstream::kRead | _fstream::kWrite;
const char kAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be either a "
    "network failure, or a file I/O error !";

// No file is created by a refused open; without a path the platform is not
// called, and the code is the one before. A held file is refused to this
// process and to others.
TEST(FstreamTest, RefusedOpensReportTheModeAndThePlatformsCode) {
  velkor_test::temp_dir dir;
  const std::string missing = dir.file("x.idx"), held = dir.file("held");
  velkor_test::touch(held);
  _fstream holder(held.c_str(), kRW, true);
  const struct {
    std::string path;
    uint32_t mode;
    std::string code;
  } cases[] = {{missing, kRW, "2"},
               {missing, _fstream::kRead, "2"},
               {"", kRW, "1234"},
               {dir.path(), kRW, kOpenFolder},
               {held, _fstream::kRead, kSharingViolation}};
  for (const auto& c : cases) {
    platform::set_last_error_code(1234);
    VELKOR_CATCH(e, _fstream s(c.path.c_str(), c.mode, true));
    const std::string params = "FileName[" + c.path + "] OpenMode[" +
                               (c.mode == kRW ? "read|write" : "read") + "] ErrCode[" + c.code +
                               "]";
    EXPECT_TRUE(texts_equal(texts_of(e), {"_fstream.ErrOpenFile", "Failed to open file!",
                                          "_fstream::open()", params, ""}));
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(missing)));
#if !defined(_WIN32)
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(_fstream(held.c_str(), _fstream::kRead, false).is_open() ? 1 : 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
#endif
}

// A read past the end and a seek before the start raise checked errors.
TEST(FstreamTest, ShortReadsAndNegativeSeeksRaiseCheckedErrors) {
  velkor_test::temp_dir dir;
  const std::string path = dir.file("short");
  velkor_test::write_file(path, std::vector<uint8_t>(100, 7));
  char scratch[8];
  _fstream s(path.c_str(), kRW, true);
  platform::set_last_error_code(0);  // a short read is no platform failure
  s.seek(95, 0);
  VELKOR_CATCH(short_read, s.read(scratch, 8));
  EXPECT_TRUE(texts_equal(
      texts_of(short_read),
      {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
       "AvailableSize[0] RequiredSize[8] StreamName[" + path + "] ErrCode[0]", kAdvice}));
  VELKOR_CATCH(seek, s.seek(-1, 0));
  EXPECT_TRUE(texts_equal(texts_of(seek),
                          {"_stream.SeekErr", "Failed to seek in the stream!", "_fstream::seek()",
                           "SeekOffset[-1] CurStreamSize[100] FileName[" + path + "] ErrCode[" +
                               std::to_string(platform::negative_seek_code()) + "]",
                           ""}));
}

// Paths reach the Windows layer as UTF-8 and are converted to its units.
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
