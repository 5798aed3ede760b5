#include "base/termination_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

namespace {

bool blockedInThisThread(int sig) {
  sigset_t current;
  pthread_sigmask(SIG_SETMASK, nullptr, &current);
  return sigismember(&current, sig) == 1;
}

TEST(TerminationSignals, TheFourSignalsAndNoOther) {
  sigset_t set = terminationSignals();
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) EXPECT_EQ(sigismember(&set, sig), 1) << sig;
  for (int sig : {SIGPIPE, SIGUSR1, SIGALRM, SIGCHLD}) EXPECT_EQ(sigismember(&set, sig), 0) << sig;
}

TEST(TerminationSignals, BlockedMaskIsInheritedAndUnblockedPerThread) {
  std::thread([] {
    blockTerminationSignals();
    bool childBlocked = false;
    std::thread([&] {
      childBlocked = blockedInThisThread(SIGTERM) && blockedInThisThread(SIGHUP);
    }).join();
    EXPECT_TRUE(childBlocked) << "threads started later inherit the blocked signals";
    unblockTerminationSignals();
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
      EXPECT_FALSE(blockedInThisThread(sig)) << sig;
  }).join();
}

}  // namespace
