/*
 * The process's stop flag, as the platform libraries see it.
 *
 * A program owns one stop flag (the relay's `Stop`): 0 while it runs, any
 * other value once it is to stop. It hands the flag's address to the
 * state-file library (exhume/setup_signals), which registers it here and
 * sets it from its signal handling. The libraries that may wait on behalf of
 * the program (a tarn put while the server is away, a queue push at a
 * consumer's limit) ask stopflag_is_set() so that no wait outlives a stop
 * request. A program that registers no flag (the tarn tool) is never
 * "stopping": its waits end only when it is interrupted.
 *
 * Thread-safety: all functions may be called from any thread; stopflag_is_set
 * is also safe in a signal handler.
 */
#ifndef PLATFORM_STOPFLAG_STOPFLAG_H
#define PLATFORM_STOPFLAG_STOPFLAG_H

#ifdef __cplusplus
#include <atomic>
typedef std::atomic<int> StopFlag;
extern "C" {
#else
#include <stdatomic.h>
typedef _Atomic int StopFlag;
#endif

/* Makes `flag` the process's stop flag (NULL: none). */
void stopflag_register(StopFlag *flag);

/* The registered flag, or NULL. */
StopFlag *stopflag_get(void);

/* Non-zero when a flag is registered and set. */
int stopflag_is_set(void);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_STOPFLAG_STOPFLAG_H */
