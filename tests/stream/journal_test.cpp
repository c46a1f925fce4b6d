// The journal beside an index file: what it holds after a session that was
// cut short, what reading it back accepts, and transfers that fail half-way.
#include "stream/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "stream/fault_injection.h"
#include "stream/fstream.h"
#include "stream/platform_file.h"
#include "test_util.h"

namespace {

using velkor::journal;
namespace platform = velkor::platform;

struct left_journal {
  bool hot = false;
  int64_t saved_size = 0;
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> records;
};

// Read from the file's bytes.
left_journal read_left(const std::string& index_path) {
  const std::vector<uint8_t> file = velkor_test::read_file(index_path + "-journal");
  left_journal left;
  uint64_t owner = 0;
  EXPECT_TRUE(journal::parse(
      [&file](int64_t at, uint8_t* bytes, int32_t count, bool* whole) {
        const int64_t there = std::clamp<int64_t>(static_cast<int64_t>(file.size()) - at, 0, count);
        std::copy_n(file.begin() + std::min<int64_t>(at, static_cast<int64_t>(file.size())), there,
                    bytes);
        *whole = there == count;
        return true;
      },
      &left.hot, &left.saved_size, &owner,
      [&left](int64_t offset, const uint8_t* bytes, int32_t count) {
        left.records.emplace_back(offset, std::vector<uint8_t>(bytes, bytes + count));
        return true;
      }));
  return left;
}

// A journal of a 1000-byte save with two records: 100 bytes of 1 at 0, 50
// of 2 at 4096.
void keep_two_records(journal& j) {
  ASSERT_TRUE(j.start(1000, 7));
  ASSERT_TRUE(j.keep(0, std::vector<uint8_t>(100, 1).data(), 100));
  ASSERT_TRUE(j.keep(4096, std::vector<uint8_t>(50, 2).data(), 50));
}

TEST(JournalTest, RecordsCutShortOrDamagedEndTheJournal) {
  velkor_test::temp_dir dir;
  const std::string index = dir.file("x.idx");
  {
    journal j(index);
    keep_two_records(j);
  }
  const std::string path = index + "-journal";
  const std::vector<uint8_t> whole = velkor_test::read_file(path);
  left_journal left = read_left(index);
  EXPECT_TRUE(left.hot);
  EXPECT_EQ(left.saved_size, 1000);
  ASSERT_EQ(left.records.size(), 2u);
  EXPECT_EQ(left.records[1], std::make_pair(int64_t{4096}, std::vector<uint8_t>(50, 2)));
  // A kill in the middle of the second record's write.
  velkor_test::write_file(path, std::vector<uint8_t>(whole.begin(), whole.end() - 10));
  EXPECT_EQ(read_left(index).records.size(), 1u);
  // A flipped byte in the first record's bytes ends the journal there.
  std::vector<uint8_t> flipped = whole;
  flipped[journal::kHeaderBytes + journal::kRecordHeaderBytes + 7] ^= 1;
  velkor_test::write_file(path, flipped);
  left = read_left(index);
  EXPECT_TRUE(left.hot);
  EXPECT_TRUE(left.records.empty());
}

// A committed journal stays and the next one is written over it: the
// records of the old one that lie behind the new one's must not be read as
// its own, and a long journal is cut back at the commit.
TEST(JournalTest, AJournalWrittenOverAnOldOneHoldsOnlyItsOwnRecords) {
  velkor_test::temp_dir dir;
  const std::string index = dir.file("x.idx");
  {
    journal j(index);
    keep_two_records(j);
    ASSERT_TRUE(j.commit());
  }
  EXPECT_FALSE(read_left(index).hot);
  {
    // The same length as the old first record: the old second one follows it.
    journal j(index);
    ASSERT_TRUE(j.open_left(true));
    ASSERT_TRUE(j.start(1000, 7));
    ASSERT_TRUE(j.keep(0, std::vector<uint8_t>(100, 3).data(), 100));
  }
  left_journal left = read_left(index);
  EXPECT_TRUE(left.hot);
  ASSERT_EQ(left.records.size(), 1u);
  EXPECT_EQ(left.records[0].second, std::vector<uint8_t>(100, 3));
  {
    journal j(index);
    ASSERT_TRUE(j.open_left(true));
    ASSERT_TRUE(j.start(1000, 7));
    const std::vector<uint8_t> piece(journal::kMaxRecordBytes, 4);
    const int32_t pieces = static_cast<int32_t>(journal::kKeptFileBytes / piece.size()) + 1;
    for (int32_t i = 0; i < pieces; ++i) {
      ASSERT_TRUE(
          j.keep(int64_t{i} * journal::kMaxRecordBytes, piece.data(), journal::kMaxRecordBytes));
    }
    ASSERT_TRUE(j.commit());
  }
  EXPECT_EQ(static_cast<int64_t>(velkor_test::read_file(index + "-journal").size()),
            journal::kKeptFileBytes);
  EXPECT_FALSE(read_left(index).hot);
}

TEST(JournalTest, RollingBackRestoresTheBytesAndTheSizeAndRemovesTheJournal) {
  velkor_test::temp_dir dir;
  const std::string index = dir.file("x.idx");
  std::vector<uint8_t> saved(5000);
  for (size_t i = 0; i < saved.size(); ++i) saved[i] = static_cast<uint8_t>(i * 7);
  velkor_test::write_file(index, saved);
  platform::file_handle file = platform::kNoFile;
  auto open_index = [&] {
    return platform::open_file(index.c_str(), platform::kModeRead | platform::kModeWrite, &file);
  };
  ASSERT_TRUE(open_index());
  const uint64_t identity = platform::file_identity(file);
  // Rolls back what the journal beside the index holds; true when it went.
  auto roll_back = [&] {
    journal j(index);
    EXPECT_TRUE(open_index() && j.open_left(true) && j.roll_back(file, identity));
    platform::close_file(file);
    platform::file_handle gone = platform::kNoFile;
    return !platform::open_file((index + "-journal").c_str(), platform::kModeRead, &gone);
  };
  {
    journal j(index);
    ASSERT_TRUE(j.start(5000, identity));
    ASSERT_TRUE(j.keep(1000, saved.data() + 1000, 3000));
  }
  // The file as a session left it: overwritten in the middle, cut short.
  std::vector<uint8_t> torn(saved.begin(), saved.begin() + 2500);
  std::fill(torn.begin() + 1200, torn.end(), 0xEE);
  ASSERT_EQ(platform::write_at(file, 0, torn.data(), static_cast<int32_t>(torn.size())),
            static_cast<int32_t>(torn.size()));
  ASSERT_TRUE(platform::resize_file(file, static_cast<int64_t>(torn.size())));
  platform::close_file(file);
  {
    // Read-only, the file reads as the last save through the journal, which
    // stays.
    velkor::_fstream view(index.c_str(), velkor::_fstream::kRead, true);
    view.keep_saves(true);
    std::vector<uint8_t> seen(4000);
    view.read(seen.data(), 4000);
    EXPECT_EQ(view.size(), 5000);
    EXPECT_TRUE(std::equal(seen.begin(), seen.end(), saved.begin()));
    // Bytes lent where they lie must be the same.
    view.lend_views();
    view.seek(0, 0);
    const uint8_t* lent = nullptr;
    int64_t taken = 0;
    if (view.take_held(4000, &lent, &taken)) {
      EXPECT_TRUE(std::equal(lent, lent + taken, saved.begin()));
    }
  }
  EXPECT_TRUE(roll_back());
  const std::vector<uint8_t> restored = velkor_test::read_file(index);
  ASSERT_EQ(restored.size(), saved.size());
  // The bytes behind the kept range were not kept: they mean nothing, and
  // come back as zeros.
  EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 4000, restored.begin()));
  EXPECT_EQ(std::vector<uint8_t>(restored.begin() + 4000, restored.end()),
            std::vector<uint8_t>(1000, 0));

  // A journal left by another file of that name (the file was replaced
  // since) is removed unread.
  {
    journal other(index);
    ASSERT_TRUE(other.start(10, identity + 1));
    ASSERT_TRUE(other.keep(0, torn.data(), 10));
  }
  EXPECT_TRUE(roll_back());
  EXPECT_EQ(velkor_test::read_file(index), restored);
}

// A transfer of a session that fails half-way leaves the stream as sound as
// before it: a write past a stale tail that fails leaves every byte of the
// size readable, and old bytes that a failed keep had gathered are kept
// again by the next write, so that closing without a save still restores
// them.
TEST(JournalTest, FailedTransfersLeaveTheStreamAndTheJournalWhole) {
  namespace faults = velkor::faults;
  using velkor::_fstream;
  velkor_test::temp_dir dir;
  const std::string index = dir.file("f.idx");
  const std::vector<uint8_t> small(8192, 7);
  velkor_test::write_file(index, small);
  {
    _fstream s(index.c_str(), _fstream::kRead | _fstream::kWrite, true);
    s.keep_saves(false);
    // Cut, then grown again: the file's bytes past 50 are stale. A write
    // past the file's end keeps them (the journal's start takes two
    // transfers, then the read and the record) and zeroes them; then it
    // fails.
    s.resize(50);
    s.resize(9000);
    faults::arm(faults::io_op::buffer_io, 6);
    EXPECT_THROW(s.write_parts({{8300, "x", 1}}), velkor::_exception);
    faults::disarm();
    std::vector<uint8_t> seen(9000, 1);
    s.seek(0, 0);
    s.read(seen.data(), 9000);
    EXPECT_EQ(std::vector<uint8_t>(seen.begin(), seen.begin() + 50), std::vector<uint8_t>(50, 7));
    EXPECT_EQ(std::vector<uint8_t>(seen.begin() + 50, seen.end()), std::vector<uint8_t>(8950, 0));
  }
  EXPECT_EQ(velkor_test::read_file(index), small);

  const std::vector<uint8_t> saved(4096 * 200, 7);
  velkor_test::write_file(index, saved);
  {
    // Two pieces far apart: after the journal's start, the first piece is
    // read, the second's read fails.
    _fstream s(index.c_str(), _fstream::kRead | _fstream::kWrite, true);
    s.keep_saves(false);
    const std::vector<uint8_t> changed(4096, 9);
    const std::vector<_fstream::part> parts = {{0, changed.data(), 4096},
                                               {4096 * 128, changed.data(), 4096}};
    faults::arm(faults::io_op::buffer_io, 4);
    EXPECT_THROW(s.write_parts(parts), velkor::_exception);
    faults::disarm();
    s.write_parts(parts);
  }
  EXPECT_EQ(velkor_test::read_file(index), saved);
}

}  // namespace
