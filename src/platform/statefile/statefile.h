/*
 * The state-file library: the signal handling of a program that stops on
 * request.
 *
 * setup_signals installs handlers for SIGHUP, SIGINT, SIGQUIT and SIGTERM.
 * The first of these signals sets the program's stop flag to 1 and the
 * program shuts down in order, polling the flag. The shutdown is bounded: a
 * second termination signal, or the grace period running out after the
 * first, ends the process at once with exit status 255, saying why on
 * standard error:
 *   "Second termination signal received: exiting now"
 *   "Shutdown grace period of N seconds expired: exiting now"
 * A small watchdog thread, started by the first call and waiting with the
 * four signals blocked, does that ending; the handlers themselves only set
 * the flag and wake it, so they stay async-signal-safe. Should the watchdog
 * itself be stuck, a third signal ends the process from the handler.
 *
 * A handler runs in whichever thread has the signals unblocked: the program
 * keeps them blocked in every thread but the one meant to receive them.
 *
 * Thread-safety: setup_signals may be called from any thread; a second call
 * replaces the flag and the grace period and starts no second watchdog.
 */
#ifndef PLATFORM_STATEFILE_STATEFILE_H
#define PLATFORM_STATEFILE_STATEFILE_H

#include "platform/stopflag/stopflag.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the signal handling for `stop` (which it also registers with
 * stopflag_register) and a grace period of `grace_seconds`; 0 or less means
 * no time limit, only a second signal ends the process early. flags is
 * reserved: pass 0. Returns 0, or -1 when `stop` is NULL or the handlers or
 * the watchdog cannot be installed (the reason goes to the log library). */
int setup_signals(StopFlag *stop, int flags, int grace_seconds);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_STATEFILE_STATEFILE_H */
