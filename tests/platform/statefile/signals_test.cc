// The signal handling runs in a fresh child process per test (death tests
// in the "threadsafe" style re-run this program), since handlers and the
// watchdog live for the rest of a process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <errno.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/statefile/statefile.h"

namespace {

StopFlag g_flag{0};

class SetupSignals : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Waits up to ten seconds for the flag; the caller exits with the outcome.
bool flagSetSoon() {
  for (int i = 0; i < 1000 && g_flag.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return g_flag.load() != 0;
}

// Whether thread `tid` of this process is inside a sleep system call now,
// as the kernel tells.
bool inSleepCall(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  in >> number;
  return number == SYS_nanosleep || number == SYS_clock_nanosleep;
}

[[noreturn]] void sleepAtMost(int seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::fprintf(stderr, "still running\n");
  std::exit(3);
}

TEST_F(SetupSignals, FirstSignalOnlySetsTheFlag) {
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
    EXPECT_EXIT(
        {
          if (setup_signals(&g_flag, 0, 60) != 0) std::exit(2);
          if (stopflag_get() != &g_flag || stopflag_is_set()) std::exit(4);
          raise(sig);
          std::exit(flagSetSoon() && g_flag.load() == 1 && stopflag_is_set() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "signal " << sig;
  }
}

TEST_F(SetupSignals, SecondSignalEndsTheProcessAtOnce) {
  EXPECT_EXIT(
      {
        setup_signals(&g_flag, 0, 60);
        raise(SIGTERM);
        raise(SIGINT);
        sleepAtMost(20);
      },
      testing::ExitedWithCode(255), "^Second termination signal received: exiting now\n$");
}

TEST_F(SetupSignals, GracePeriodRunningOutEndsTheProcess) {
  EXPECT_EXIT(
      {
        setup_signals(&g_flag, 0, 1);
        raise(SIGTERM);
        sleepAtMost(20);
      },
      testing::ExitedWithCode(255), "^Shutdown grace period of 1 seconds expired: exiting now\n$");
}

TEST_F(SetupSignals, WithoutGracePeriodTheProcessShutsDownInItsOwnTime) {
  EXPECT_EXIT(
      {
        setup_signals(&g_flag, 0, 0);
        raise(SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::exit(flagSetSoon() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST_F(SetupSignals, SignalCutsTheReceivingThreadsSleepShort) {
  EXPECT_EXIT(
      {
        setup_signals(&g_flag, 0, 60);
        pthread_t self = pthread_self();
        pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
        std::thread sender([self, tid] {
          for (int i = 0; i < 1000 && !inSleepCall(tid); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          pthread_kill(self, SIGTERM);
        });
        struct timespec longSleep = {};
        longSleep.tv_sec = 30;
        int rc = nanosleep(&longSleep, nullptr);
        sender.join();
        std::exit(rc == -1 && errno == EINTR && g_flag.load() == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(SetupSignals, SecondCallReplacesTheFlagWithoutASecondWatchdog) {
  EXPECT_EXIT(
      {
        static StopFlag other{0};
        setup_signals(&g_flag, 0, 60);
        if (setup_signals(&other, 0, 60) != 0) std::exit(2);
        raise(SIGTERM);
        for (int i = 0; i < 1000 && other.load() == 0; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::exit(other.load() == 1 && g_flag.load() == 0 && stopflag_get() == &other ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(SetupSignalsArguments, NullFlagIsRefused) { EXPECT_EQ(setup_signals(nullptr, 0, 5), -1); }

}  // namespace
