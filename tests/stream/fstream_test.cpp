// The file stream over the platform's file layer: the checked errors with
// their texts, and what the host sees of the platform (error codes are each
// platform's own).
#include "stream/fstream.h"

#include <gtest/gtest.h>

#include <cerrno>
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

namespace fs = std::filesystem;
namespace faults = velkor::faults;
namespace platform = velkor::platform;
using velkor::_fstream;
using velkor_test::error_texts;
using velkor_test::texts_equal;
using velkor_test::texts_of;

#if defined(_WIN32)
const std::string kSharingViolation = "32";  // ERROR_SHARING_VIOLATION
const std::string kOpenFolder = "5";         // ERROR_ACCESS_DENIED
#else
const std::string kSharingViolation = std::to_string(EWOULDBLOCK);
const std::string kOpenFolder = std::to_string(EISDIR);
#endif

constexpr uint32_t kRW = _fstream::kRead | _fstream::kWrite;
const char kTransferAdvice[] =
    "If you're working with file-sharing, please try again. Otherwise there might be either a "
    "network failure, or a file I/O error !";

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

// {P}: the path; no file is created by a refused open.
TEST_F(FstreamTest, RefusedOpensReportTheModeAndThePlatformsCode) {
  const std::string missing = dir.file("x.idx");
  const std::string held = make_file("held", 10);
  _fstream holder(held.c_str(), kRW, true);
  const struct {
    std::string path;
    uint32_t mode;
    std::string params;
  } cases[] = {
      {missing, kRW, "FileName[{P}] OpenMode[read|write] ErrCode[2]"},
      {missing, _fstream::kRead, "FileName[{P}] OpenMode[read] ErrCode[2]"},
      // Without a path the platform is not called: the code is the one before.
      {"", kRW, "FileName[] OpenMode[read|write] ErrCode[1234]"},
      {dir.path(), kRW, "FileName[{P}] OpenMode[read|write] ErrCode[" + kOpenFolder + "]"},
      {held, kRW, "FileName[{P}] OpenMode[read|write] ErrCode[" + kSharingViolation + "]"},
      {held, _fstream::kRead, "FileName[{P}] OpenMode[read] ErrCode[" + kSharingViolation + "]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    platform::set_last_error_code(1234);
    VELKOR_CATCH(e, _fstream s(c.path.c_str(), c.mode, true));
    EXPECT_TRUE(
        texts_equal(texts_of(e), {"_fstream.ErrOpenFile", "Failed to open file!",
                                  "_fstream::open()", replace_all(c.params, "{P}", c.path), ""}));
    _fstream quiet(c.path.c_str(), c.mode, false);
    EXPECT_FALSE(quiet.is_open());
    EXPECT_STREQ(quiet.name(), "");
  }
  platform::set_last_error_code(1234);
  VELKOR_CATCH(null_path, _fstream s(nullptr, _fstream::kRead, true));
  EXPECT_EQ(null_path.get_params(), "FileName[] OpenMode[read] ErrCode[1234]");
  EXPECT_FALSE(fs::exists(fs::u8path(missing)));
#if !defined(_WIN32)
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _fstream other_process(held.c_str(), _fstream::kRead, false);
    _exit(other_process.is_open() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
#endif
  // Reopening with an empty path closes what was open: the file is free again.
  EXPECT_FALSE(holder._open("", kRW));
  EXPECT_FALSE(holder.is_open());
  _fstream again(held.c_str(), kRW, false);
  EXPECT_TRUE(again.is_open());
}

// Disarms the fault seam however the test leaves.
struct fault_scope {
  fault_scope(faults::io_op op, int64_t k) { faults::arm(op, k); }
  ~fault_scope() { faults::disarm(); }
};

char scratch[8];

TEST_F(FstreamTest, FailedTransfersRaiseCheckedErrors) {
  using io = faults::io_op;
  const struct {
    int64_t k;  // the platform call that fails; 0: none
    io op;
    std::function<void(_fstream&)> call;
    error_texts expected;  // {P}: the path, {E}: the platform's I/O error code
  } cases[] = {
      {1,
       io::write,
       [](_fstream& s) { s.write("0123456789", 10); },
       {"_stream.WriteErr", "Failed to write data to the stream!", "_stream::write()",
        "CurStreamSize[100] DataSize[10] StreamName[{P}] ErrCode[{E}]", kTransferAdvice}},
      {1,
       io::read,
       [](_fstream& s) { s.read(scratch, 4); },
       {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
        "AvailableSize[100] RequiredSize[4] StreamName[{P}] ErrCode[{E}]", kTransferAdvice}},
      {0,
       io::read,
       [](_fstream& s) { s.seek(95, 0), s.read(scratch, 8); },
       {"_stream.ReadErr", "Failed to read data from the stream!", "_stream::read()",
        "AvailableSize[0] RequiredSize[8] StreamName[{P}] ErrCode[0]", kTransferAdvice}},
      {1,
       io::resize,
       [](_fstream& s) { s.resize(50); },
       {"_stream.ResizeErr", "Failed to change stream size!", "_stream::resize()",
        "CurStreamSize[100] NewSize[50] StreamName[{P}] ErrCode[{E}]",
        "If you're working with file-sharing, please try again. Otherwise there might be a "
        "network failure, or a file I/O error, and or file size out of disk space error!"}},
      {0,
       io::read,
       [](_fstream& s) { s.seek(-5, 0); },
       {"_stream.SeekErr", "Failed to seek in the stream!", "_fstream::seek()",
        "SeekOffset[-5] CurStreamSize[100] FileName[{P}] ErrCode[{N}]", ""}},
  };
  const std::string code = std::to_string(platform::io_error_code());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.params);
    const std::string path = make_file("faulty", 100);
    _fstream s(path.c_str(), kRW, true);
    error_texts expected = c.expected;
    expected.params = replace_all(replace_all(expected.params, "{P}", path), "{E}", code);
    expected.params =
        replace_all(expected.params, "{N}", std::to_string(platform::negative_seek_code()));
    {
      platform::set_last_error_code(0);  // a short read is no platform failure
      fault_scope fault(c.op, c.k);
      VELKOR_CATCH(e, c.call(s));
      EXPECT_TRUE(texts_equal(texts_of(e), expected));
      EXPECT_EQ(faults::injected(), c.k);
    }
    // Nothing is rolled back, and the stream stays usable.
    EXPECT_EQ(s.size(), 100);
    s.seek(0, 0);
    s.write("z", 1);
  }
}

}  // namespace
