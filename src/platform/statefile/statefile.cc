/*
 * Signal handling: the handlers count termination signals and post a
 * semaphore; the watchdog thread waits on it. After the first post it waits
 * once more, at most the grace period; a second post or the time running out
 * makes it save what must be saved and end the process. Only lock-free
 * atomics, sem_post, write and _exit are used in the handler.
 */
#include "platform/statefile/statefile.h"

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/elog/elog.h"
#include "platform/statefile/statefile_internal.h"
#include "platform/tarnclient/tarnclient_internal.h"

namespace {

const int kTerminationSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

std::atomic<StopFlag *> g_stop{nullptr};
std::atomic<int> g_graceSeconds{0};
std::atomic<int> g_signalCount{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free counters");

sem_t g_wakeWatchdog;

// Guards the one-time installation below.
std::mutex g_installMutex;
bool g_installed = false;

void writeStderr(const char *text) {
  ssize_t ignored = write(2, text, std::strlen(text));
  (void)ignored;
}

// The save that must happen before a forced exit: exhume registers the
// statefile's save here; without a statefile nothing is saved.
std::atomic<void (*)(void)> g_saveBeforeForcedExit{nullptr};

// What the libraries recorded and nobody will drain any more.
void writePendingLogMessages() {
  if (elog_mark() <= 0) return;
  char *text = elog_string(0);
  if (!text) return;
  std::string lines = std::string(text) + "\n";
  std::free(text);
  writeStderr(lines.c_str());
}

// Puts the servers had not acknowledged: with a statefile, the positions
// saved before them bring their packets back on restart.
void reportUnacknowledgedPuts(bool saved) {
  for (const auto &[tarn, count] : tarnclient::unacknowledgedPuts()) {
    std::string line = "tarn '" + tarn + "': " + std::to_string(count) +
                       " puts not acknowledged at exit" +
                       (saved ? "; their packets will be read again on restart\n" : "\n");
    writeStderr(line.c_str());
  }
}

// Runs on the watchdog thread, never in a handler.
[[noreturn]] void forceExit(const char *why) {
  writeStderr(why);
  writePendingLogMessages();
  auto save = g_saveBeforeForcedExit.load();
  if (save) save();
  reportUnacknowledgedPuts(save != nullptr);
  _exit(255);
}

void onTerminationSignal(int) {
  int saved = errno;
  int count = g_signalCount.fetch_add(1) + 1;
  if (count == 1) {
    if (StopFlag *stop = g_stop.load()) stop->store(1);
  }
  if (count >= 3) {
    writeStderr("Third termination signal received: exiting now\n");
    _exit(255);
  }
  sem_post(&g_wakeWatchdog);
  errno = saved;
}

// Waits on the semaphore until `deadline` on the monotonic clock (or for ever
// when none); true when it was posted. The wait is cut into short slices so
// that a jump of the wall clock, which sem_timedwait measures against, never
// stretches it, and so that a handler the runtime holds back until the
// thread wakes (as sanitizers do) still runs soon.
bool waitForSignal(const struct timespec *deadline) {
  const long kSliceNanoseconds = 100 * 1000 * 1000;
  for (;;) {
    struct timespec now, slice;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (deadline && (now.tv_sec > deadline->tv_sec ||
                     (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec))) {
      return sem_trywait(&g_wakeWatchdog) == 0;
    }
    clock_gettime(CLOCK_REALTIME, &slice);
    slice.tv_nsec += kSliceNanoseconds;
    if (slice.tv_nsec >= 1000000000L) {
      slice.tv_sec += 1;
      slice.tv_nsec -= 1000000000L;
    }
    if (sem_timedwait(&g_wakeWatchdog, &slice) == 0) return true;
  }
}

// Lets the calling thread run the handlers of the termination signals.
void unblockTerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kTerminationSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void *watchdog(void *) {
  waitForSignal(nullptr);
  // The thread that received the first signal may end while the program
  // stops (the relay's state manager does); from now on the watchdog takes
  // the signals itself, so that a second one is never left pending.
  unblockTerminationSignals();
  int grace = g_graceSeconds.load();
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += grace;
  if (waitForSignal(grace > 0 ? &deadline : nullptr)) {
    forceExit("Second termination signal received: exiting now\n");
  }
  char text[128];
  std::snprintf(text, sizeof text, "Shutdown grace period of %d seconds expired: exiting now\n",
                grace);
  forceExit(text);
}

// Starts the watchdog with the termination signals blocked, so that it never
// runs a handler itself.
bool startWatchdog() {
  sigset_t block, previous;
  sigemptyset(&block);
  for (int sig : kTerminationSignals) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, watchdog, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0)
    elog_log(0, "setup_signals: cannot start the shutdown watchdog: %s", std::strerror(rc));
  return rc == 0;
}

bool installHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kTerminationSignals) sigaddset(&action.sa_mask, sig);
  action.sa_flags = 0;  // no SA_RESTART: a signal cuts the receiving thread's sleep short
  for (int sig : kTerminationSignals) {
    if (sigaction(sig, &action, nullptr) != 0) {
      elog_log(0, "setup_signals: cannot handle signal %d: %s", sig, std::strerror(errno));
      return false;
    }
  }
  return true;
}

}  // namespace

void statefile_set_forced_exit_save(void (*save)(void)) { g_saveBeforeForcedExit.store(save); }

extern "C" {

int setup_signals(StopFlag *stop, int /*flags*/, int grace_seconds) {
  if (stop == nullptr) {
    elog_log(0, "setup_signals: no stop flag given");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_installMutex);
  g_stop.store(stop);
  g_graceSeconds.store(grace_seconds);
  stopflag_register(stop);
  if (g_installed) return 0;
  if (sem_init(&g_wakeWatchdog, 0, 0) != 0) {
    elog_log(0, "setup_signals: cannot create the watchdog semaphore: %s", std::strerror(errno));
    return -1;
  }
  if (!startWatchdog()) {
    sem_destroy(&g_wakeWatchdog);
    return -1;
  }
  g_installed = true;  // before the handlers: the watchdog must never be started twice
  return installHandlers() ? 0 : -1;
}

}  // extern "C"
