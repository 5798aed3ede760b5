// End of data: producers' marks, late registrations, and the queue without
// producers that ends with the stop flag.
#include <thread>

#include "fifo_fixture.h"

namespace fifotest {
namespace {

class EndOfDataTest : public FifoTest {
 protected:
  void producers(std::initializer_list<const char *> names) {
    for (const char *name : names) ASSERT_EQ(pmtmanagedfifo_set_producer(mf_, name), 0);
  }
  int mark(const char *producer) { return pmtmanagedfifo_push_eof(mf_, producer); }
};

TEST_F(EndOfDataTest, ConsumerSeesTheEndAfterEveryProducersMarkAndTheDataBeforeIt) {
  producers({"r1", "r2"});
  consumer("w1");
  consumer("w2");
  push(1);
  EXPECT_EQ(mark("r1"), 0);
  push(2);
  EXPECT_EQ(mark("r2"), 0);
  for (const char *name : {"w1", "w2"}) {
    EXPECT_EQ(popId(name), 1);
    EXPECT_EQ(popId(name), 2);
    EXPECT_EQ(popId(name), kEof);
    EXPECT_EQ(popId(name), kEof) << "the end stays";
  }
}

TEST_F(EndOfDataTest, OneProducersMarkIsNotTheEnd) {
  producers({"r1", "r2"});
  consumer("w1");
  push(1);
  mark("r1");
  mark("r1");  // a repeated mark counts once
  EXPECT_EQ(popId("w1"), 1);
  EXPECT_EQ(popId("w1"), kEmpty);
  mark("r2");
  EXPECT_EQ(popId("w1"), kEof);
}

TEST_F(EndOfDataTest, StopFlagDoesNotEndAQueueWhoseProducersHaveNotMarked) {
  producers({"r1"});
  consumer("w1");
  stop_ = 1;
  EXPECT_EQ(popId("w1"), kEmpty);
  mark("r1");
  EXPECT_EQ(popId("w1"), kEof);
}

TEST_F(EndOfDataTest, PacketsPushedAfterTheEndAreStillDelivered) {
  producers({"r1"});
  consumer("w1");
  mark("r1");
  push(9);
  EXPECT_EQ(popId("w1"), kEof);
  EXPECT_EQ(popId("w1"), 9);
  EXPECT_EQ(popId("w1"), kEof);
}

TEST_F(EndOfDataTest, ConsumerRegisteredAfterAMarkDoesNotWaitForIt) {
  producers({"r1", "r2"});
  mark("r1");
  consumer("late");
  push(1);
  mark("r2");
  EXPECT_EQ(popId("late"), 1);
  EXPECT_EQ(popId("late"), kEof);
}

TEST_F(EndOfDataTest, ProducerRegisteredLateDefersTheEnd) {
  producers({"r1"});
  consumer("w1");
  mark("r1");
  producers({"r2"});
  EXPECT_EQ(popId("w1"), kEmpty);
  mark("r2");
  EXPECT_EQ(popId("w1"), kEof);
}

TEST_F(EndOfDataTest, MarkFromAnUnknownProducerFailsAndIsReported) {
  producers({"r1"});
  consumer("w1");
  EXPECT_EQ(mark("stranger"), PMTFIFO_ERR_UNKNOWN);
  EXPECT_NE(takeLog().find("mark from 'stranger', which is not one of its producers"),
            std::string::npos);
  EXPECT_EQ(popId("w1"), kEmpty);
}

TEST_F(EndOfDataTest, QueueWithoutProducersEndsOnceStoppingAndEmpty) {
  consumer("logw");
  push(1, PMTFIFO_NOWAIT);
  push(2, PMTFIFO_NOWAIT);
  EXPECT_EQ(popId("logw"), 1);
  stop_ = 1;
  EXPECT_EQ(popId("logw"), 2) << "what waits is delivered first";
  EXPECT_EQ(popId("logw"), kEof);
}

TEST_F(EndOfDataTest, WaitingPopOfAQueueWithoutProducersEndsWhenTheStopFlagIsSet) {
  PmtFifo *logw = consumer("logw", 0, -1);  // no time-out at all
  auto popped = std::async(std::launch::async, [&] { return popId("logw"); });
  awaitWaiting(logw, popped);
  stop_ = 1;
  ASSERT_TRUE(finishes(popped));
  EXPECT_EQ(popped.get(), kEof);
}

TEST_F(EndOfDataTest, WaitingPopIsWokenByTheLastMark) {
  producers({"r1"});
  PmtFifo *w1 = consumer("w1", 0, -1);
  auto popped = std::async(std::launch::async, [&] { return popId("w1"); });
  awaitWaiting(w1, popped);
  mark("r1");
  ASSERT_TRUE(finishes(popped));
  EXPECT_EQ(popped.get(), kEof);
}

TEST_F(EndOfDataTest, MarksNeverWaitForRoom) {
  producers({"r1"});
  consumer("w1", 1);
  push(1);
  EXPECT_EQ(mark("r1"), 0);  // the FIFO is at its limit; the mark goes in regardless
  EXPECT_EQ(popId("w1"), 1);
  EXPECT_EQ(popId("w1"), kEof);
}

}  // namespace
}  // namespace fifotest
