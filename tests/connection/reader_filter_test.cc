// The reader's judgement of each packet, against a clock the test controls.
#include <gtest/gtest.h>

#include "base/relay_times.h"
#include "connection/reader_filter.h"

namespace {

constexpr double kNow = 1796637600.0;  // 2026-12-07 10:00:00 UTC

ReaderLimits none() { return {TIME_UNSET, TIME_UNSET, TIME_UNSET, false, false}; }

ReaderVerdict judge(const ReaderLimits &limits, double pkttime, bool isLast = false,
                    bool unstuffs = true) {
  return judgePacket(limits, isLast, pkttime, kNow, [=] { return unstuffs; });
}

TEST(ReaderFilter, WithoutLimitsEveryPacketPasses) {
  EXPECT_EQ(judge(none(), kNow), ReaderVerdict::kPass);
  EXPECT_EQ(judge(none(), 0.0), ReaderVerdict::kPass);
  EXPECT_EQ(judge(none(), kNow, false, false), ReaderVerdict::kPass);
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
  EXPECT_EQ(judge(limits, kNow, false, false), ReaderVerdict::kNoUnstuff);
  EXPECT_EQ(judge(limits, kNow, false, true), ReaderVerdict::kPass);
  limits.suppressUnstuffErrors = true;
  EXPECT_EQ(judge(limits, kNow, false, false), ReaderVerdict::kNoUnstuffQuiet);
}

TEST(ReaderFilter, UnstuffingIsAskedOnlyWhenTheCheckIsReached) {
  ReaderLimits limits = none();
  int asked = 0;
  auto unstuffs = [&] {
    ++asked;
    return true;
  };
  judgePacket(limits, false, kNow, kNow, unstuffs);
  limits.checkUnstuff = true;
  limits.tooOld = 60;
  judgePacket(limits, false, kNow - 120, kNow, unstuffs);
  EXPECT_EQ(asked, 0);
  judgePacket(limits, false, kNow, kNow, unstuffs);
  EXPECT_EQ(asked, 1);
}

TEST(ReaderFilter, LastModePassesEverythingUnfilteredUntilTheLastPacket) {
  ReaderLimits limits = none();
  limits.endtime = TIME_LAST;
  limits.tooOld = 1;
  limits.checkUnstuff = true;
  EXPECT_EQ(judge(limits, 0.0, false, false), ReaderVerdict::kPass);
  EXPECT_EQ(judge(limits, 0.0, true, false), ReaderVerdict::kPassLastAndStop);
  // Without "last", the last packet means nothing.
  limits.endtime = TIME_UNSET;
  limits.tooOld = TIME_UNSET;
  EXPECT_EQ(judge(limits, kNow, true), ReaderVerdict::kPass);
}

}  // namespace
