#include "managers/manager_pause.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

TEST(ManagerPause, WholeSecondsFromOneSecondOn) {
  EXPECT_EQ(managerPauseSeconds(1.0), 1.0);
  EXPECT_EQ(managerPauseSeconds(1.9), 1.0);
  EXPECT_EQ(managerPauseSeconds(2.9), 2.0);
}

TEST(ManagerPause, ShortTimeOutsPauseForThemselvesButNeverSpin) {
  EXPECT_EQ(managerPauseSeconds(0.5), 0.5);
  EXPECT_EQ(managerPauseSeconds(0.0), kMinimumManagerPause);
  EXPECT_EQ(managerPauseSeconds(-3), kMinimumManagerPause);
  EXPECT_EQ(managerPauseSeconds(NAN), kMinimumManagerPause);
}

TEST(ManagerPause, AbsurdTimeOutsAreBounded) {
  EXPECT_EQ(managerPauseSeconds(1e300), kMaximumManagerPause);
  EXPECT_EQ(managerPauseSeconds(INFINITY), kMaximumManagerPause);
}

}  // namespace

namespace {

// A stop request ends a long pause early; without one the pause runs out.
TEST(ManagerPause, StopEndsALongPauseEarly) {
  std::atomic<int> stop{0};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = 1;
  });
  auto begin = std::chrono::steady_clock::now();
  pauseUntilStop(3600.0, stop);
  setter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin,
            std::chrono::minutes(10));  // ended, not hour-long
  std::atomic<int> never{0};
  pauseUntilStop(0.2, never);  // returns by itself
}

}  // namespace
