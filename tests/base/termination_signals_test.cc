#include "base/termination_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <string>
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

std::atomic<int> g_handled{0};
void countSignal(int) { ++g_handled; }

// The first signal is remembered and every signal still reaches the handler
// it had; a second call wraps nothing twice; a signal without a handler
// keeps its default action.
TEST(TerminationSignals, FirstSignalRecordedAndHandlersStillRun) {
  struct sigaction counting {};
  counting.sa_handler = countSignal;
  sigaction(SIGHUP, &counting, nullptr);
  sigaction(SIGINT, &counting, nullptr);
  signal(SIGQUIT, SIG_DFL);
  recordTerminationSignals();
  recordTerminationSignals();
  EXPECT_EQ(firstTerminationSignal(), 0);
  raise(SIGINT);
  raise(SIGHUP);
  EXPECT_EQ(g_handled.load(), 2);
  EXPECT_EQ(firstTerminationSignal(), SIGINT);
  EXPECT_EQ(terminationSignalName(firstTerminationSignal()), "SIGINT");
  EXPECT_EQ(terminationSignalName(SIGUSR1), "signal " + std::to_string(SIGUSR1));
  struct sigaction quit {};
  sigaction(SIGQUIT, nullptr, &quit);
  EXPECT_EQ(quit.sa_handler, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGINT, SIG_DFL);
}

}  // namespace
