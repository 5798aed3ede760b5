#include "platform/support/support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string take(char *text) {
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return "<null>";
  std::string copy(text);
  std::free(text);
  return copy;
}

// ---- String stack ----

TEST(StringStack, JoinsPiecesInOrderAndReleases) {
  void *stack = nullptr;
  EXPECT_EQ(pushstr(&stack, "alpha "), 0);
  EXPECT_EQ(pushstr(&stack, ""), 0);
  EXPECT_EQ(pushstr(&stack, "beta\n"), 0);
  ASSERT_NE(stack, nullptr);
  EXPECT_EQ(take(popstr(&stack, 1)), "alpha beta\n");
  EXPECT_EQ(stack, nullptr);
}

TEST(StringStack, KeptStackGrowsOn) {
  void *stack = nullptr;
  pushstr(&stack, "a");
  EXPECT_EQ(take(popstr(&stack, 0)), "a");
  pushstr(&stack, "b");
  EXPECT_EQ(take(popstr(&stack, 0)), "ab");
  EXPECT_EQ(take(popstr(&stack, 1)), "ab");
  EXPECT_EQ(stack, nullptr);
}

TEST(StringStack, EmptyAndInvalidArguments) {
  void *stack = nullptr;
  EXPECT_EQ(take(popstr(&stack, 1)), "");
  EXPECT_EQ(take(popstr(nullptr, 1)), "");
  EXPECT_EQ(pushstr(&stack, nullptr), -1);
  EXPECT_EQ(stack, nullptr);
  EXPECT_EQ(pushstr(nullptr, "x"), -1);
}

TEST(StringStack, LargeTextsSurviveWhole) {
  void *stack = nullptr;
  std::string piece(10000, 'x');
  for (int i = 0; i < 100; ++i) pushstr(&stack, piece.c_str());
  EXPECT_EQ(take(popstr(&stack, 1)).size(), 1000000u);
}

// ---- Process information ----

TEST(Pidinfo, ReportsThisProcess) {
  Pidinfo info = {};
  ASSERT_EQ(pidinfo(getpid(), &info), 0);
  EXPECT_EQ(info.pid, getpid());
  EXPECT_GT(info.rss, 0);
  EXPECT_GE(info.vsz, info.rss);
  EXPECT_GE(info.threads, 1);
}

TEST(Pidinfo, ResidentSizeFollowsMemoryInUse) {
  Pidinfo before = {};
  ASSERT_EQ(pidinfo(getpid(), &before), 0);
  const size_t size = 64u << 20;
  char *block = static_cast<char *>(std::malloc(size));
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, size);
  Pidinfo after = {};
  ASSERT_EQ(pidinfo(getpid(), &after), 0);
  volatile char sink = block[size / 2];
  (void)sink;
  std::free(block);
  EXPECT_GE(after.rss - before.rss, 32 * 1024) << "kilobytes";
}

// Counts with one and then two extra threads alive: runtimes (a sanitizer)
// may start a helper thread of their own with the first extra thread.
TEST(Pidinfo, CountsThreads) {
  bool release = false;
  std::mutex mutex;
  std::condition_variable cv;
  auto waitForRelease = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return release; });
  };
  std::thread first(waitForRelease);
  Pidinfo withOne = {};
  EXPECT_EQ(pidinfo(getpid(), &withOne), 0);
  std::thread second(waitForRelease);
  Pidinfo withTwo = {};
  EXPECT_EQ(pidinfo(getpid(), &withTwo), 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  first.join();
  second.join();
  EXPECT_EQ(withTwo.threads, withOne.threads + 1);
}

TEST(Pidinfo, FailsForAbsentProcessesAndBadArguments) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);  // reaped: the pid names no process now
  Pidinfo info = {};
  info.rss = 777;
  EXPECT_EQ(pidinfo(child, &info), -1);
  EXPECT_EQ(info.rss, 777);
  EXPECT_EQ(pidinfo(0, &info), -1);
  EXPECT_EQ(pidinfo(-5, &info), -1);
  EXPECT_EQ(pidinfo(getpid(), nullptr), -1);
}

}  // namespace
