#include "managers/manager_pause.h"

#include <gtest/gtest.h>

#include <cmath>

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
