// What the random sequences of the model test leave open: a discard that
// frees thousands of slots at once.
#include <string>
#include <vector>

#include "file_image.h"
#include "test_util.h"

namespace velkor_test {
namespace {

using velkor::format::kNoId;

// A discard that frees thousands of slots: new entries take them all again
// (the idle list drops what they took from its front, and now and then
// gives the room back).
TEST(Indexing, ThousandsOfFreedSlotsAreTakenAgain) {
  temp_dir dir;
  handle h(open_new(dir.file("i.vx")));
  std::string a, b;
  for (int i = 0; i < 6000; ++i) {
    a += "a" + std::to_string(i) + " ";
    b += "b" + std::to_string(i) + " ";
  }
  ASSERT_EQ(6000u, idx_index(h, 1, a.c_str(), nullptr));
  ASSERT_NE(kNoId, idx_discard(h, 1));
  ASSERT_EQ(6000u, idx_index(h, 2, b.c_str(), nullptr)) << _get_err_id();
  EXPECT_EQ(6000u, idx_index(h, 3, a.c_str(), nullptr)) << _get_err_id();
  EXPECT_STREQ("2,1", idx_query(h, "b5999", nullptr));
  EXPECT_LT(idx_count_of(h, 2), 10);
}

}  // namespace
}  // namespace velkor_test
