// The state of tarn import --follow read back as saved, whatever the file
// names hold; states of another folder or damaged ones refused by line.
#include "tools/follow_state.h"

#include <gtest/gtest.h>

#include "process.h"

namespace tarntool {
namespace {

TEST(FollowState, ReadsBackWhatItSavedAndRefusesOthers) {
  testsupport::TempDir dir;
  std::string path = dir.file("state");
  uint64_t origin;
  {
    FollowState s(path, "/data/in 1");
    ASSERT_EQ(s.open(), "");
    EXPECT_TRUE(s.isNew());
    origin = s.origin;
    s.next = 77;
    FollowedFile f;
    f.device = 2049;
    f.inode = 12;
    f.name = "odd name 100%\n.mseed";
    f.taken = 512;
    f.assigned = 1536;
    f.sequence = 70;
    f.printLength = 64;
    f.print = 0xfedcba9876543210ull;
    s.files[{2049, 12}] = f;
    ASSERT_EQ(s.save(), "");
  }
  FollowState back(path, "/data/in 1");
  ASSERT_EQ(back.open(), "");
  EXPECT_FALSE(back.isNew());
  EXPECT_EQ(back.origin, origin);
  EXPECT_EQ(back.next, 77u);
  ASSERT_EQ(back.files.size(), 1u);
  const FollowedFile &f = back.files.begin()->second;
  EXPECT_EQ(f.name, "odd name 100%\n.mseed");
  EXPECT_EQ(f.taken, 512u);
  EXPECT_EQ(f.assigned, 1536u);
  EXPECT_EQ(f.lookedTo, 1536u);
  EXPECT_EQ(f.sequence, 70u);
  EXPECT_EQ(f.print, 0xfedcba9876543210ull);

  EXPECT_EQ(FollowState(path, "/data/other").open(),
            "state file '" + path + "' is of folder '/data/in 1', not '/data/other'");
  std::string text = testsupport::readFile(path);
  testsupport::writeFile(path, text + "file 1 2 900 100 0 0 0 x\n");  // taken after assigned
  EXPECT_NE(FollowState(path, "/data/in 1").open().find("line 7: cannot read 'file 1 2 900"),
            std::string::npos);
}

}  // namespace
}  // namespace tarntool
