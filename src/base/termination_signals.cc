#include "base/termination_signals.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  return set;
}

void blockTerminationSignals() {
  sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblockTerminationSignals() {
  sigset_t set = terminationSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

namespace {

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
const char *const kSignalNames[] = {"SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM"};

std::atomic<int> g_firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");
struct sigaction g_wrapped[4];

int indexOf(int sig) {
  for (int i = 0; i < 4; ++i) {
    if (kSignals[i] == sig) return i;
  }
  return -1;
}

// Async-signal-safe: an atomic exchange, then the wrapped handler.
void onSignal(int sig, siginfo_t *info, void *context) {
  int none = 0;
  g_firstSignal.compare_exchange_strong(none, sig);
  const struct sigaction &wrapped = g_wrapped[indexOf(sig)];
  if (wrapped.sa_flags & SA_SIGINFO) {
    wrapped.sa_sigaction(sig, info, context);
  } else if (wrapped.sa_handler != SIG_DFL && wrapped.sa_handler != SIG_IGN) {
    wrapped.sa_handler(sig);
  }
}

}  // namespace

void recordTerminationSignals() {
  for (int i = 0; i < 4; ++i) {
    struct sigaction current;
    if (sigaction(kSignals[i], nullptr, &current) != 0) continue;
    bool info = current.sa_flags & SA_SIGINFO;
    // Already wrapped (a second call), or no handler: the signal then ends
    // the process (or is ignored) as before.
    if ((info && current.sa_sigaction == onSignal) ||
        (!info && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)))
      continue;
    g_wrapped[i] = current;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onSignal;
    action.sa_mask = current.sa_mask;
    action.sa_flags = (current.sa_flags & ~SA_RESETHAND) | SA_SIGINFO;
    sigaction(kSignals[i], &action, nullptr);
  }
}

int firstTerminationSignal() { return g_firstSignal.load(); }

std::string terminationSignalName(int sig) {
  int i = indexOf(sig);
  return i >= 0 ? kSignalNames[i] : "signal " + std::to_string(sig);
}
