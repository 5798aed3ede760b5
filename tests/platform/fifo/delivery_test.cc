// Per-consumer delivery, counts, time-outs and the ownership of hooks.
#include <cmath>
#include <thread>

#include "fifo_fixture.h"

namespace fifotest {
namespace {

using DeliveryTest = FifoTest;

TEST_F(DeliveryTest, EachConsumerPopsEveryPacketOnceInPushOrder) {
  consumer("w1");
  consumer("w2");
  for (long id = 1; id <= 3; id++) EXPECT_EQ(push(id), 2);
  for (const char *name : {"w1", "w2"}) {
    for (long id = 1; id <= 3; id++) EXPECT_EQ(popId(name), id);
    EXPECT_EQ(popId(name), kEmpty);
  }
  EXPECT_EQ(tracker_.copies.load(), 3) << "one copy per push for the second consumer";
}

TEST_F(DeliveryTest, HooksStayWithTheLibraryUntilPoppedOrDestroyed) {
  consumer("w1");
  consumer("w2");
  push(1);
  push(2);
  EXPECT_EQ(popId("w1"), 1);
  EXPECT_EQ(tracker_.live(), 3);
  // TearDown destroys the managed FIFO with three hooks waiting and checks
  // that each was freed.
}

TEST_F(DeliveryTest, CountFollowsPushesAndPopsAndIgnoresMarks) {
  PmtFifo *w1 = consumer("w1");
  PmtFifo *w2 = consumer("w2");
  pmtmanagedfifo_set_producer(mf_, "r1");
  EXPECT_EQ(pmtfifo_count(w1), 0);
  for (long id = 0; id < 5; id++) push(id);
  pmtmanagedfifo_push_eof(mf_, "r1");
  EXPECT_EQ(pmtfifo_count(w1), 5);
  popId("w1");
  popId("w1");
  EXPECT_EQ(pmtfifo_count(w1), 3);
  EXPECT_EQ(pmtfifo_count(w2), 5);
  for (int i = 0; i < 3; i++) popId("w1");
  EXPECT_EQ(popId("w1"), kEof);
  EXPECT_EQ(pmtfifo_count(w1), 0);
  EXPECT_EQ(pmtfifo_count(nullptr), -1);
}

TEST_F(DeliveryTest, RegisteringAConsumerAgainKeepsItsFifoAndWhatWaits) {
  PmtFifo *early = pmtmanagedfifo_set_consumer(mf_, "w1", 10, PMTFIFO_BACKPRESSURE);
  push(1);
  push(2);
  PmtFifo *again = consumer("w1", 1, 0);
  EXPECT_EQ(again, early);
  EXPECT_EQ(pmtfifo_count(again), 2);
  EXPECT_EQ(popId("w1"), 1);
  EXPECT_EQ(popId("w1"), 2);
  EXPECT_EQ(push(3, PMTFIFO_NOWAIT), 1);
  EXPECT_EQ(push(4, PMTFIFO_NOWAIT), 1) << "an internal push goes beyond the new limit of 1";
}

TEST_F(DeliveryTest, PushWithoutConsumerIsDiscardedAndReportedOnce) {
  EXPECT_EQ(push(1), 0);
  EXPECT_EQ(push(2), 0);
  EXPECT_EQ(tracker_.live(), 0);
  std::string log = takeLog();
  EXPECT_NE(log.find("Queue 'q1' has no consumer"), std::string::npos) << log;
  EXPECT_EQ(log.find('\n'), std::string::npos) << "reported once: " << log;

  consumer("w1");
  EXPECT_NE(takeLog().find("discarded 2 packets before consumer 'w1' registered"),
            std::string::npos);
}

TEST_F(DeliveryTest, FailedCopyQueuesNothingAndFreesEveryHook) {
  consumer("w1");
  consumer("w2");
  consumer("w3");
  EXPECT_EQ(pmtmanagedfifo_push(mf_, makeHook(tracker_, 1), failingCopy, 0), PMTFIFO_ERR_COPY);
  EXPECT_EQ(pmtmanagedfifo_push(mf_, makeHook(tracker_, 2), nullptr, 0), PMTFIFO_ERR_COPY);
  EXPECT_EQ(tracker_.live(), 0);
  EXPECT_EQ(popId("w1"), kEmpty);
  EXPECT_NE(takeLog().find("could not copy"), std::string::npos);
}

TEST_F(DeliveryTest, OneConsumerNeedsNoCopyFunction) {
  consumer("w1");
  EXPECT_EQ(pmtmanagedfifo_push(mf_, makeHook(tracker_, 7), nullptr, 0), 1);
  EXPECT_EQ(popId("w1"), 7);
  EXPECT_EQ(tracker_.copies.load(), 0);
}

TEST_F(DeliveryTest, BadArgumentsFailWithoutLeaking) {
  consumer("w1");
  EXPECT_EQ(pmtmanagedfifo_push(nullptr, makeHook(tracker_, 1), copyHook, 0), PMTFIFO_ERR_ARG);
  EXPECT_EQ(pmtmanagedfifo_push(mf_, nullptr, copyHook, 0), PMTFIFO_ERR_ARG);
  Hook *mine = makeHook(tracker_, 9);
  Hook *out = mine;
  EXPECT_EQ(pmtmanagedfifo_pop(mf_, "nobody", &out, 0), PMTFIFO_ERR_UNKNOWN);
  EXPECT_EQ(out, nullptr) << "no hook is handed out on failure";
  free_hook(&mine);
  EXPECT_EQ(pmtmanagedfifo_pop(mf_, "w1", nullptr, 0), PMTFIFO_ERR_ARG);
  EXPECT_EQ(pmtmanagedfifo_set_consumer(mf_, nullptr, 0, 0), nullptr);
  EXPECT_EQ(pmtmanagedfifo_set_producer(mf_, nullptr), PMTFIFO_ERR_ARG);
  EXPECT_EQ(pmtfifo_set_timeout(nullptr, 1.0), PMTFIFO_ERR_ARG);
  EXPECT_EQ(pmtfifo_set_timeout(pmtmanagedfifo_set_consumer(mf_, "w1", 0, 0), std::nan("")),
            PMTFIFO_ERR_ARG);
}

// ---- time-outs ----

TEST_F(DeliveryTest, EmptyPopReturnsTwoWithoutWaitingAndThreeAfterItsTimeout) {
  PmtFifo *w1 = consumer("w1", 0, 0);
  EXPECT_EQ(popId("w1"), kEmpty);
  pmtfifo_set_timeout(w1, 0.05);
  EXPECT_EQ(popId("w1"), kTimeout);
  EXPECT_EQ(popId("w1", PMTFIFO_NOWAIT), kEmpty) << "NOWAIT overrides the time-out";
}

TEST_F(DeliveryTest, WaitingPopTakesAPacketPushedMeanwhile) {
  PmtFifo *w1 = consumer("w1", 0, 30);
  auto popped = std::async(std::launch::async, [&] { return popId("w1"); });
  awaitWaiting(w1, popped);
  push(5);
  ASSERT_TRUE(finishes(popped));
  EXPECT_EQ(popped.get(), 5);
}

TEST_F(DeliveryTest, ConsumersOfDifferentQueuesAreIndependent) {
  PmtManagedFifo *other = pmtmanagedfifo_create("q2");
  pmtfifo_set_timeout(pmtmanagedfifo_set_consumer(other, "w1", 0, 0), 0);
  consumer("w1");
  push(1);
  Hook *hook = nullptr;
  EXPECT_EQ(pmtmanagedfifo_pop(other, "w1", &hook, 0), PMTFIFO_EMPTY);
  EXPECT_EQ(popId("w1"), 1);
  pmtmanagedfifo_destroy(other);
}

// ---- release ----

TEST_F(DeliveryTest, ReleaseWakesAWaitingPopAndFreesWhatWaits) {
  PmtFifo *w1 = consumer("w1", 0, -1);  // waits without limit
  consumer("w2", 0, 0);
  push(1);
  EXPECT_EQ(popId("w1"), 1);
  auto popped = std::async(std::launch::async, [&] { return popId("w1"); });
  awaitWaiting(w1, popped);
  pmtmanagedfifo_release(mf_);
  ASSERT_TRUE(finishes(popped));
  EXPECT_EQ(popped.get(), kReleased);
  EXPECT_EQ(tracker_.live(), 0) << "w2's copy was freed by the release";
  EXPECT_NE(takeLog().find("discarded 1 packets waiting for consumer 'w2'"), std::string::npos);

  EXPECT_EQ(push(2), PMTFIFO_ERR_RELEASED);
  EXPECT_EQ(popId("w2"), kReleased);
  EXPECT_EQ(pmtmanagedfifo_set_consumer(mf_, "w3", 0, 0), nullptr);
  EXPECT_EQ(pmtmanagedfifo_set_producer(mf_, "r1"), PMTFIFO_ERR_RELEASED);
  EXPECT_EQ(tracker_.live(), 0);
}

}  // namespace
}  // namespace fifotest
