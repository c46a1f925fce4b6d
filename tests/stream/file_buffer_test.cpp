// The write-back buffer against a plain byte array: random writes, reads and
// size changes through a buffer of three pages, so that eviction, write-behind
// and the zeros behind a truncation are exercised all the time; after every
// write-back the file itself must hold exactly the array.
#include "stream/file_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "stream/fault_injection.h"
#include "stream/platform_file.h"
#include "test_util.h"

namespace {

using velkor::file_buffer;
namespace platform = velkor::platform;
namespace faults = velkor::faults;

constexpr int64_t kPage = file_buffer::kPageSize;

class FileBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("buffered.bin");
    velkor_test::write_file(path_, std::vector<uint8_t>(static_cast<size_t>(kPage + 100), 7));
    model_.assign(static_cast<size_t>(kPage + 100), 7);
    ASSERT_TRUE(
        platform::open_file(path_.c_str(), platform::kModeRead | platform::kModeWrite, &file_));
  }
  void TearDown() override { platform::close_file(file_); }

  // What the file holds now, read through the same handle (Windows lets no
  // second open in while the file is held).
  std::vector<uint8_t> on_disk() const {
    std::vector<uint8_t> bytes(static_cast<size_t>(platform::file_size(file_)));
    const int32_t got =
        platform::read_at(file_, 0, bytes.data(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(static_cast<int32_t>(bytes.size()), got);
    return bytes;
  }

  velkor_test::temp_dir dir_;
  std::string path_;
  platform::file_handle file_ = platform::kNoFile;
  std::vector<uint8_t> model_;
};

TEST_F(FileBufferTest, AgreesWithAByteArrayThroughEvictionTruncationAndWriteBack) {
  file_buffer buffer(file_, static_cast<int64_t>(model_.size()), 3, 2);
  std::mt19937 rng(11);
  auto pick = [&](int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint32_t>(n + 1)); };
  for (int step = 0; step < 1500; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int64_t size = static_cast<int64_t>(model_.size());
    ASSERT_EQ(size, buffer.size());
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2: {  // a write, at times past the end
        const int64_t at = pick(size + kPage / 2);
        std::vector<uint8_t> bytes(static_cast<size_t>(pick(2 * kPage + 10)));
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(static_cast<int32_t>(bytes.size()),
                  buffer.write(at, bytes.data(), static_cast<int32_t>(bytes.size())));
        if (model_.size() < static_cast<size_t>(at) + bytes.size()) {
          model_.resize(static_cast<size_t>(at) + bytes.size(), 0);
        }
        std::copy(bytes.begin(), bytes.end(), model_.begin() + at);
        break;
      }
      case 3:
      case 4: {  // a read, at times across the end
        const int64_t at = pick(size + 10);
        std::vector<uint8_t> bytes(static_cast<size_t>(pick(2 * kPage)));
        const int32_t got = buffer.read(at, bytes.data(), static_cast<int32_t>(bytes.size()));
        const int64_t expected =
            std::clamp<int64_t>(size - at, 0, static_cast<int64_t>(bytes.size()));
        ASSERT_EQ(expected, got);
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.begin() + got, model_.begin() + at));
        break;
      }
      case 5: {  // truncate or extend; truncated bytes come back as zeros
        const int64_t to = pick(size + kPage);
        buffer.resize(to);
        model_.resize(static_cast<size_t>(to), 0);
        break;
      }
      default: {
        int32_t failed_bytes = -1;
        ASSERT_TRUE(buffer.write_back(&failed_bytes));
        ASSERT_FALSE(buffer.has_modified_pages());
        ASSERT_TRUE(on_disk() == model_);
      }
    }
  }
}

TEST_F(FileBufferTest, FailedWriteBackKeepsThePagesForTheNextTry) {
  file_buffer buffer(file_, static_cast<int64_t>(model_.size()));
  const std::vector<uint8_t> bytes(static_cast<size_t>(3 * kPage), 9);
  ASSERT_EQ(static_cast<int32_t>(bytes.size()),
            buffer.write(10, bytes.data(), static_cast<int32_t>(bytes.size())));
  model_.resize(static_cast<size_t>(10 + 3 * kPage));
  std::copy(bytes.begin(), bytes.end(), model_.begin() + 10);
  for (int64_t k = 1; k <= 5; ++k) {
    SCOPED_TRACE("failing transfer " + std::to_string(k));
    faults::arm(faults::io_op::buffer_io, k);
    int32_t failed_bytes = -1;
    const bool written = buffer.write_back(&failed_bytes);
    faults::disarm();
    if (written) break;
    EXPECT_EQ(platform::io_error_code(), platform::last_error_code());
    EXPECT_TRUE(buffer.has_modified_pages());
  }
  int32_t failed_bytes = -1;
  ASSERT_TRUE(buffer.write_back(&failed_bytes));
  EXPECT_TRUE(on_disk() == model_);
}

#ifndef _WIN32
// A write that the system cuts short (a full disk, a file size limit) may
// leave part of a page in the file past the end the buffer knew. Should a
// truncation then drop that page, a later growth must still read zeros
// there, through the buffer and in the file.
TEST_F(FileBufferTest, APageWrittenInPartBeforeATruncationLeavesOnlyZeros) {
  file_buffer buffer(file_, static_cast<int64_t>(model_.size()), 3, 2);
  const std::vector<uint8_t> marks(100, 0xAB);
  ASSERT_EQ(100, buffer.write(4 * kPage, marks.data(), 100));

  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old_limit));
  rlimit limit = old_limit;
  limit.rlim_cur = static_cast<rlim_t>(4 * kPage + 50);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  int32_t failed_bytes = -1;
  const bool written = buffer.write_back(&failed_bytes);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(written);
  EXPECT_EQ(100, failed_bytes);

  buffer.resize(2 * kPage);
  const uint8_t tail[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(10, buffer.write(5 * kPage, tail, 10));
  model_.resize(static_cast<size_t>(5 * kPage + 10), 0);
  std::copy(tail, tail + 10, model_.begin() + 5 * kPage);
  ASSERT_TRUE(buffer.write_back(&failed_bytes));
  EXPECT_TRUE(on_disk() == model_);
  std::vector<uint8_t> seen(300, 0xFF);
  ASSERT_EQ(300, buffer.read(4 * kPage, seen.data(), 300));
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](uint8_t b) { return b == 0; }));
}
#endif

}  // namespace
