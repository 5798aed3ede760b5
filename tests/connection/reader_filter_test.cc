// The reader's judgement of each packet, against a clock the test controls.
#include <gtest/gtest.h>

#include "base/relay_times.h"
#include "connection/reader_filter.h"

namespace {

constexpr double kNow = 1796637600.0;  // 2026-12-07 10:00:00 UTC

ReaderLimits none() { return {TIME_UNSET, TIME_UNSET, TIME_UNSET, false, false, -1}; }

ReaderVerdict judge(const ReaderLimits &limits, double pkttime, int pktid = 1,
                    bool unstuffs = true) {
  return judgePacket(limits, pktid, pkttime, kNow, [=] { return unstuffs; });
}

TEST(ReaderFilter, WithoutLimitsEveryPacketPasses) {
  EXPECT_EQ(judge(none(), kNow), ReaderVerdict::kPass);
  EXPECT_EQ(judge(none(), 0.0), ReaderVerdict::kPass);
  EXPECT_EQ(judge(none(), kNow, 1, false), ReaderVerdict::kPass);
}

TEST(ReaderFilter, EndTimeExactlyPassesAndOneMillisecondLaterDoesNot) {
  ReaderLimits limits = none();
  limits.endtime = kNow - 100;
  EXPECT_EQ(judge(limits, kNow - 100.001), ReaderVerdict::kPass);
  EXPECT_EQ(judge(limits, kNow - 100), ReaderVerdict::kPassAndStop);
  EXPECT_EQ(judge(limits, kNow - 99.999), ReaderVerdict::kPastEndAndStop);
}

TEST(ReaderFilter, EndTimeComesBeforeTheAgeLimit) {
  ReaderLimits limits = none();
  limits.endtime = kNow - 100;
  limits.tooOld = 10;
  EXPECT_EQ(judge(limits, kNow - 100), ReaderVerdict::kPassAndStop);
  EXPECT_EQ(judge(limits, kNow - 200), ReaderVerdict::kTooOld);
}

TEST(ReaderFilter, TooOldRejectsAnAgeOfExactlyTheLimit) {
  ReaderLimits limits = none();
  limits.tooOld = 60;
  EXPECT_EQ(judge(limits, kNow - 60), ReaderVerdict::kTooOld);
  EXPECT_EQ(judge(limits, kNow - 59.999), ReaderVerdict::kPass);
}

TEST(ReaderFilter, TooNewRejectsALeadOfExactlyTheLimit) {
  ReaderLimits limits = none();
  limits.tooNew = 5;
  EXPECT_EQ(judge(limits, kNow + 5), ReaderVerdict::kTooNew);
  EXPECT_EQ(judge(limits, kNow + 4.999), ReaderVerdict::kPass);
}

TEST(ReaderFilter, UnstuffCheckAndItsSilentForm) {
  ReaderLimits limits = none();
  limits.checkUnstuff = true;
  EXPECT_EQ(judge(limits, kNow, 1, false), ReaderVerdict::kNoUnstuff);
  EXPECT_EQ(judge(limits, kNow, 1, true), ReaderVerdict::kPass);
  limits.suppressUnstuffErrors = true;
  EXPECT_EQ(judge(limits, kNow, 1, false), ReaderVerdict::kNoUnstuffQuiet);
}

TEST(ReaderFilter, UnstuffingIsAskedOnlyWhenTheCheckIsReached) {
  ReaderLimits limits = none();
  int asked = 0;
  auto unstuffs = [&] { ++asked; return true; };
  judgePacket(limits, 1, kNow, kNow, unstuffs);
  limits.checkUnstuff = true;
  limits.tooOld = 60;
  judgePacket(limits, 1, kNow - 120, kNow, unstuffs);
  EXPECT_EQ(asked, 0);
  judgePacket(limits, 1, kNow, kNow, unstuffs);
  EXPECT_EQ(asked, 1);
}

TEST(ReaderFilter, LastModePassesEverythingUntilTheLastId) {
  ReaderLimits limits = none();
  limits.endtime = TIME_LAST;
  limits.lastPktid = 100;
  limits.tooOld = 1;
  limits.checkUnstuff = true;
  EXPECT_EQ(judge(limits, 0.0, 99, false), ReaderVerdict::kPass);
  EXPECT_EQ(judge(limits, 0.0, 100, false), ReaderVerdict::kPassLastAndStop);
  // The last packet was dropped at the source before it was read.
  EXPECT_EQ(judge(limits, kNow, 101), ReaderVerdict::kPassLastAndStop);
}

TEST(ReaderFilter, LastModeFollowsTheWrapOfIds) {
  ReaderLimits limits = none();
  limits.endtime = TIME_LAST;
  limits.lastPktid = 2147483647;
  EXPECT_EQ(judge(limits, kNow, 2147483646), ReaderVerdict::kPass);
  EXPECT_EQ(judge(limits, kNow, 0), ReaderVerdict::kPassLastAndStop);
  limits.lastPktid = 3;
  EXPECT_EQ(judge(limits, kNow, 2147483600), ReaderVerdict::kPass);
}

TEST(PacketIdOrder, AfterFollowsTheWrap) {
  EXPECT_TRUE(pktidAfter(2, 1));
  EXPECT_FALSE(pktidAfter(1, 2));
  EXPECT_FALSE(pktidAfter(5, 5));
  EXPECT_TRUE(pktidAfter(0, 2147483647));
  EXPECT_TRUE(pktidAfter(10, 2147483640));
  EXPECT_FALSE(pktidAfter(2147483640, 10));
}

}  // namespace
