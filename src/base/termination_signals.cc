#include "base/termination_signals.h"

#include <pthread.h>

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
