// Consumer limits: backpressure, drops and their reports, internal pushes,
// and the stop flag releasing a push that waits for room.
#include <future>
#include <thread>

#include "fifo_fixture.h"

namespace fifotest {
namespace {

using LimitsTest = FifoTest;

TEST_F(LimitsTest, PushAtTheLimitWaitsUntilTheConsumerMakesRoom) {
  PmtFifo *w1 = consumer("w1", 2);
  push(1);
  push(2);
  auto third = std::async(std::launch::async, [&] { return push(3); });
  awaitWaiting(w1, third);
  EXPECT_FALSE(finishes(third, std::chrono::milliseconds(0))) << "the push must wait";
  EXPECT_EQ(pmtfifo_count(w1), 2);

  EXPECT_EQ(popId("w1"), 1);
  ASSERT_TRUE(finishes(third));
  EXPECT_EQ(third.get(), 1);
  EXPECT_EQ(pmtfifo_count(w1), 2);
  EXPECT_EQ(pmtfifo_dropped(w1), 0);
  EXPECT_EQ(popId("w1"), 2);
  EXPECT_EQ(popId("w1"), 3);
}

// The byte limit bounds what waits by size: a push that would pass it waits
// for room, one hook larger than the whole limit still goes when nothing
// waits, and pops give the bytes back.
TEST_F(LimitsTest, TheByteLimitBoundsWhatWaitsBySize) {
  PmtFifo *w1 = consumer("w1");
  ASSERT_EQ(pmtfifo_set_byte_limit(w1, 1000), 0);
  auto pushBytes = [&](long id, long bytes) {
    return pmtmanagedfifo_push_bytes(mf_, makeHook(tracker_, id), copyHook, 0, bytes);
  };
  EXPECT_EQ(pushBytes(1, 600), 1);
  EXPECT_EQ(pushBytes(2, 400), 1);  // exactly at the limit
  EXPECT_EQ(pmtfifo_bytes(w1), 1000);
  auto third = std::async(std::launch::async, [&] { return pushBytes(3, 1); });
  awaitWaiting(w1, third);
  EXPECT_FALSE(finishes(third, std::chrono::milliseconds(0))) << "the push must wait";
  EXPECT_EQ(popId("w1"), 1);  // 400 waiting: room again
  ASSERT_TRUE(finishes(third));
  EXPECT_EQ(popId("w1"), 2);
  EXPECT_EQ(popId("w1"), 3);
  EXPECT_EQ(pmtfifo_bytes(w1), 0);
  EXPECT_EQ(pushBytes(4, 5000), 1);  // larger than the limit, into an empty queue
  EXPECT_EQ(popId("w1"), 4);
  EXPECT_EQ(pmtfifo_bytes(w1), 0);
  EXPECT_EQ(pmtfifo_set_byte_limit(nullptr, 1), PMTFIFO_ERR_ARG);
  EXPECT_EQ(pmtfifo_bytes(nullptr), -1);
}

TEST_F(LimitsTest, AFullConsumerHoldsBackTheOthersButLosesNothing) {
  consumer("slow", 1);
  consumer("fast");
  push(1);
  auto second = std::async(std::launch::async, [&] { return push(2); });
  EXPECT_EQ(popId("fast"), 1);
  EXPECT_EQ(popId("slow"), 1);
  ASSERT_TRUE(finishes(second));
  EXPECT_EQ(second.get(), 2);
  EXPECT_EQ(popId("fast"), 2);
  EXPECT_EQ(popId("slow"), 2);
}

TEST_F(LimitsTest, RaisingTheLimitLetsAWaitingPushIn) {
  PmtFifo *w1 = consumer("w1", 1);
  push(1);
  auto second = std::async(std::launch::async, [&] { return push(2); });
  awaitWaiting(w1, second);
  EXPECT_FALSE(finishes(second, std::chrono::milliseconds(0)));
  consumer("w1", 0);  // registered again by the writer's own thread: no limit now
  ASSERT_TRUE(finishes(second));
  EXPECT_EQ(second.get(), 1);
}

TEST_F(LimitsTest, ConsumerWithoutBackpressureDropsAtItsLimitAndReportsTheRun) {
  PmtFifo *tap = consumer("tap", 2, 0, 0);
  push(1);
  push(2);
  EXPECT_EQ(push(3), PMTFIFO_ERR_DROPPED);
  EXPECT_EQ(push(4), PMTFIFO_ERR_DROPPED);
  EXPECT_EQ(pmtfifo_dropped(tap), 2);
  std::string log = takeLog();
  EXPECT_NE(log.find("consumer 'tap' is full (2 waiting); dropping"), std::string::npos) << log;
  EXPECT_EQ(log.find('\n'), std::string::npos) << "one report per run of drops: " << log;

  EXPECT_EQ(popId("tap"), 1);
  EXPECT_EQ(push(5), 1);
  EXPECT_NE(takeLog().find("has room again after dropping 2 packets"), std::string::npos);
  EXPECT_EQ(popId("tap"), 2);
  EXPECT_EQ(popId("tap"), 5);
}

TEST_F(LimitsTest, DroppingForOneConsumerStillDeliversToTheOthers) {
  consumer("tap", 1, 0, 0);
  consumer("w1");
  push(1);
  EXPECT_EQ(push(2), PMTFIFO_ERR_DROPPED);
  EXPECT_EQ(popId("w1"), 1);
  EXPECT_EQ(popId("w1"), 2);
  EXPECT_EQ(popId("tap"), 1);
  EXPECT_EQ(popId("tap"), kEmpty);
}

TEST_F(LimitsTest, InternalPushesNeverWaitAndStopOnlyAtTheCap) {
  PmtFifo *w1 = consumer("w1", 1);
  for (long id = 0; id < 5; id++) EXPECT_EQ(push(id, PMTFIFO_NOWAIT), 1);
  EXPECT_EQ(pmtfifo_count(w1), 5);

  consumer("w1", 0);
  for (long id = 5; id < PMTFIFO_NOWAIT_CAP; id++) ASSERT_EQ(push(id, PMTFIFO_NOWAIT), 1);
  EXPECT_EQ(push(-1, PMTFIFO_NOWAIT), PMTFIFO_ERR_DROPPED);
  EXPECT_EQ(pmtfifo_dropped(w1), 1);
  EXPECT_NE(takeLog().find("consumer 'w1' is full"), std::string::npos);
  EXPECT_EQ(popId("w1"), 0);
  EXPECT_EQ(push(-2, PMTFIFO_NOWAIT), 1);
}

// ---- the stop flag ----

TEST_F(LimitsTest, StopFlagReleasesAWaitingPushBeyondTheLimit) {
  PmtFifo *w1 = consumer("w1", 1, 0.2);
  push(1);
  auto second = std::async(std::launch::async, [&] { return push(2); });
  awaitWaiting(w1, second);
  EXPECT_FALSE(finishes(second, std::chrono::milliseconds(0)));
  stop_ = 1;
  ASSERT_TRUE(finishes(second)) << "a push may wait at most one time-out once stopping";
  EXPECT_EQ(second.get(), 1);
  EXPECT_EQ(pmtfifo_count(w1), 2) << "queued beyond the limit, not dropped";
  EXPECT_EQ(pmtfifo_dropped(w1), 0);
}

TEST_F(LimitsTest, PushAtTheLimitWhileStoppingWaitsOneTimeoutAtMost) {
  PmtFifo *w1 = consumer("w1", 1, 0.05);
  stop_ = 1;
  push(1);
  auto second = std::async(std::launch::async, [&] { return push(2); });
  ASSERT_TRUE(finishes(second));
  EXPECT_EQ(second.get(), 1);
  EXPECT_EQ(pmtfifo_count(w1), 2);
}

TEST_F(LimitsTest, ConsumerDrainingWhileStoppingStillGetsEveryPacket) {
  consumer("w1", 1, 0.5);
  pmtmanagedfifo_set_producer(mf_, "r1");  // so that an empty queue is not yet its end
  stop_ = 1;
  auto pushes = std::async(std::launch::async, [&] {
    int ok = 0;
    for (long id = 0; id < 20; id++) ok += push(id) == 1;
    return ok;
  });
  for (long id = 0; id < 20; id++) {
    long got = popId("w1");
    for (int tries = 0; got == kTimeout && tries < 40; tries++) got = popId("w1");
    ASSERT_EQ(got, id);
  }
  ASSERT_TRUE(finishes(pushes));
  EXPECT_EQ(pushes.get(), 20);
}

TEST_F(LimitsTest, ReleaseEndsAWaitingPushAndFreesItsHook) {
  PmtFifo *w1 = consumer("w1", 1, 0);
  push(1);
  auto second = std::async(std::launch::async, [&] { return push(2); });
  awaitWaiting(w1, second);
  EXPECT_FALSE(finishes(second, std::chrono::milliseconds(0)));
  pmtmanagedfifo_release(mf_);
  ASSERT_TRUE(finishes(second));
  EXPECT_EQ(second.get(), PMTFIFO_ERR_RELEASED);
  EXPECT_EQ(tracker_.live(), 0);
}

}  // namespace
}  // namespace fifotest
