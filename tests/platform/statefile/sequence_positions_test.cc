// Sequence positions: per stream, what a save writes passes only packets
// done, streams do not hold one another back, and the text of such
// positions reads back exactly next to tarn positions.
#include "platform/statefile/sequence_positions.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/statefile/statefile_format.h"

namespace {

TEST(SequencePositions, EachStreamPassesOnlyWhatIsDoneInOrder) {
  SequencePositions positions;
  positions.restore("GE_WLF", {41, 1.0});
  EXPECT_EQ(positions.points().at("GE_WLF").sequence, 41u);
  ReadRecord *a = positions.read("GE_WLF", {42, 2.0});
  ReadRecord *b = positions.read("GE_WLF", {43, 3.0});
  ReadRecord *c = positions.read("IU_ANMO", {0, 4.0});
  // Nothing done: the restored place, and at the first read of a stream
  // that had none.
  EXPECT_EQ(positions.points().at("GE_WLF").sequence, 41u);
  EXPECT_EQ(positions.points().at("IU_ANMO").sequence, 0u);
  EXPECT_TRUE(positions.points().at("IU_ANMO").at);
  b->release();  // done out of order: the older one still holds the place
  EXPECT_EQ(positions.points().at("GE_WLF").sequence, 41u);
  c->release();  // another stream is not held back by GE_WLF's
  EXPECT_EQ(positions.points().at("IU_ANMO").sequence, 0u);
  EXPECT_FALSE(positions.points().at("IU_ANMO").at);
  EXPECT_EQ(positions.held(), 2u);  // a, and b behind it
  a->release();
  auto points = positions.points();
  EXPECT_EQ(points.at("GE_WLF").sequence, 43u);
  EXPECT_EQ(points.at("GE_WLF").time, 3.0);
  EXPECT_EQ(positions.held(), 0u);
}

TEST(SequencePositions, TheirTextReadsBackAndBadLinesAreRefused) {
  statefile::SavedPosition tarn;
  tarn.address = "127.0.0.1:6510";
  tarn.tarn = ":6510";
  tarn.id = 5;
  statefile::SavedPosition s;
  s.kind = "seedlink";
  s.address = "host:18000";
  s.select = "GE_* IU_ANMO:BH?";
  s.owner = "in";
  s.stream = "GE_WLF";
  s.sequence = UINT64_MAX;
  s.at = true;
  s.time = 1796635800.25;
  s.seen = 1796600000;
  std::vector<statefile::SavedPosition> out;
  std::string error;
  std::string text = statefile::formatStatefile({tarn, s}, 1e9);
  ASSERT_TRUE(statefile::parseStatefile(text, out, error)) << error;
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].key(), s.key());
  EXPECT_NE(out[1].key(), out[0].key());
  EXPECT_EQ(out[1].sequence, UINT64_MAX);
  EXPECT_TRUE(out[1].at);
  EXPECT_EQ(out[1].time, s.time);
  std::string second = "tarn2tarn_pre read positions 2\nsequence \"seedlink\" \"h:1\" \"\" \"\" \"S\" 7 1 1\nend 1\n";
  ASSERT_TRUE(statefile::parseStatefile(second, out, error)) << error;
  EXPECT_FALSE(out[0].at) << "the second format always resumed after";
  for (const char *bad : {"sequence \"seedlink\" \"h:1\" \"\" \"\" \"S\" -1 1 1",
                          "sequence \"seedlink\" \"h:1\" \"\" \"\" \"S\" 18446744073709551616 1 1",
                          "sequence \"seedlink\" \"h:1\" \"\" \"\" \"\" 1 1 1",
                          "sequence \"seedlink\" \"h:1\" 1 1"}) {
    std::string broken = "tarn2tarn_pre read positions 2\n" + std::string(bad) + "\nend 1\n";
    EXPECT_FALSE(statefile::parseStatefile(broken, out, error)) << bad;
    EXPECT_EQ(error, "line 2: malformed sequence position") << bad;
  }
}

}  // namespace
