#include "platform/elog/elog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "output_capture.h"

namespace {

std::string pendingText() {
  char *text = elog_string(0);
  EXPECT_NE(text, nullptr);
  std::string copy = text ? text : "<null>";
  std::free(text);
  return copy;
}

class Elog : public testing::Test {
 protected:
  void SetUp() override {
    elog_set_immediate(0);
    elog_flush(0, 0);
  }
  void TearDown() override {
    elog_set_immediate(0);
    elog_flush(0, 0);
  }
};

TEST_F(Elog, NothingWaitingGivesAnEmptyText) {
  EXPECT_EQ(elog_mark(), 0);
  EXPECT_EQ(pendingText(), "");
}

TEST_F(Elog, MessagesWaitOneALineUntilFlushed) {
  elog_log(0, "first %d", 1);
  elog_log(0, "second %s\n", "two");  // a trailing newline is dropped
  elog_log(0, "%s", "");
  EXPECT_EQ(elog_mark(), 3);
  EXPECT_EQ(pendingText(), "first 1\nsecond two\n");
  EXPECT_EQ(pendingText(), "first 1\nsecond two\n") << "reading does not discard";
  elog_flush(0, 0);
  EXPECT_EQ(elog_mark(), 0);
  EXPECT_EQ(pendingText(), "");
}

TEST_F(Elog, LongMessagesAreKeptWhole) {
  std::string big(100000, 'x');
  elog_log(0, "%s!", big.c_str());
  EXPECT_EQ(pendingText(), big + "!");
}

TEST_F(Elog, OldestAreDroppedPastTheLimitAndTheDrainSaysHowMany) {
  for (int i = 0; i < ELOG_MAX_PENDING + 5; ++i) elog_log(0, "m%d", i);
  EXPECT_EQ(elog_mark(), ELOG_MAX_PENDING + 1);
  std::string text = pendingText();
  EXPECT_EQ(text.rfind("(5 earlier messages dropped: too many waiting)\nm5\nm6\n", 0), 0u)
      << text.substr(0, 80);
  EXPECT_EQ(text.substr(text.size() - 6), "\nm1004");
  elog_flush(0, 0);
  elog_log(0, "after");
  EXPECT_EQ(pendingText(), "after") << "the count of dropped messages starts again";
}

TEST_F(Elog, ConcurrentMessagesAreAllKept) {
  const int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) elog_log(0, "t%d-%d", t, i);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(elog_mark(), kThreads * kEach);
}

TEST_F(Elog, ImmediateModeWritesToStandardErrorWithTheProgramName) {
  char program[] = "/opt/bin/tarnserver";
  char *argv[] = {program, nullptr};
  elog_init(1, argv);
  testcapture::OutputCapture output;
  elog_set_immediate(1);
  elog_log(0, "listening on %s", "127.0.0.1:6510");
  elog_set_immediate(0);
  output.stop();
  EXPECT_EQ(output.err(), "tarnserver: listening on 127.0.0.1:6510\n");
  EXPECT_EQ(output.out(), "");
  EXPECT_EQ(elog_mark(), 0);
}

TEST_F(Elog, DieWritesWaitingMessagesThenTheFatalLineAndExits255) {
  auto result = testcapture::runInChild([] {
    elog_log(0, "waiting one");
    elog_die(1, "cannot %s", "go on");
  });
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err, "waiting one\n\nFatal: cannot go on\n\n");
  EXPECT_EQ(result.out, "");
}

TEST_F(Elog, DieWithNothingWaiting) {
  auto result = testcapture::runInChild([] { elog_die(1, "alone"); });
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err, "\nFatal: alone\n\n");
}

}  // namespace
