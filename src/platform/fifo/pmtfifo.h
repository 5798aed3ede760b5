/*
 * The managed-FIFO library: a named queue of hooks (platform/hook/hook.h)
 * from any number of producer threads to a set of consumers, each of which
 * receives every hook pushed once it is registered.
 *
 * A managed FIFO keeps one FIFO per consumer. A push hands the hook to the
 * first consumer and a copy (made with the copy function given to the push)
 * to each other one. A consumer pops from its own FIFO under its name, in the
 * order the hooks were pushed, and frees each hook it receives with
 * free_hook.
 *
 * Limits: a consumer's limit bounds the hooks waiting for it (0: no limit),
 * and its byte limit the bytes they stand for (as each push says; 0: no
 * limit); a hook is always let in when nothing waits, whatever its size.
 * At the limit, a push to a consumer registered with PMTFIFO_BACKPRESSURE
 * waits for room; a push to one registered without it drops the hook for that
 * consumer. A waiting push never waits longer than the consumer's time-out
 * (at most PMTFIFO_DEFAULT_TIMEOUT) once the process's stop flag
 * (platform/stopflag/stopflag.h) is set: it then queues beyond the limit, so
 * the data is not lost. A push flagged
 * PMTFIFO_NOWAIT never waits: it queues beyond the limit, up to
 * max(limit, PMTFIFO_NOWAIT_CAP) waiting hooks, and drops past that. Every
 * drop is counted (pmtfifo_dropped) and reported through the log library
 * (platform/elog/elog.h): when a consumer starts dropping and, with the total,
 * when it stops.
 *
 * End of data: each producer registers with pmtmanagedfifo_set_producer and
 * ends its stream with pmtmanagedfifo_push_eof. A consumer pops
 * PMTFIFO_EOF once every registered producer has pushed its mark and it has
 * popped every hook pushed before those marks; after that it pops any later
 * hooks and then PMTFIFO_EOF again. A managed FIFO with no registered
 * producer gives PMTFIFO_EOF to a consumer whose FIFO is empty once the stop
 * flag is set.
 *
 * Ownership: the library owns a pushed hook from the call on, whatever the
 * result; each hook it drops or discards is freed with free_hook (never
 * leaked, never freed twice). A popped hook belongs to the caller.
 *
 * Thread-safety: every function may be called concurrently from any thread,
 * except pmtmanagedfifo_destroy. Registrations may happen while pushes and
 * pops run; a push sees the consumers registered when it starts. Several
 * threads may pop the same consumer; each hook still goes to one of them.
 * Waits are bounded: a pop by its consumer's time-out, a push at a limit by
 * the stop flag or pmtmanagedfifo_release, so a shutdown never deadlocks.
 */
#ifndef PLATFORM_FIFO_PMTFIFO_H
#define PLATFORM_FIFO_PMTFIFO_H

#include "platform/hook/hook.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PmtManagedFifo PmtManagedFifo;
typedef struct PmtFifo PmtFifo;

/* Makes a further hook carrying the same data as the one given (which stays
 * the caller's); NULL when it cannot. */
typedef Hook *(*PmtHookCopy)(Hook *hook);

/* pmtmanagedfifo_push flags: never wait for room (packets a program makes
 * itself, such as its own log lines). pmtmanagedfifo_pop flags: do not wait
 * for data. */
#define PMTFIFO_NOWAIT 1

/* pmtmanagedfifo_set_consumer flags: pushes wait for room at the limit
 * instead of dropping. */
#define PMTFIFO_BACKPRESSURE 1

/* Waiting hooks past which PMTFIFO_NOWAIT pushes drop (or the limit if larger). */
#define PMTFIFO_NOWAIT_CAP 100000

/* A consumer's time-out until pmtfifo_set_timeout changes it, in seconds. */
#define PMTFIFO_DEFAULT_TIMEOUT 1.0

/* Results of pmtmanagedfifo_pop. */
enum {
  PMTFIFO_RELEASED = 0, /* the managed FIFO was released */
  PMTFIFO_DATA = 1,     /* *hook is the next hook */
  PMTFIFO_EMPTY = 2,    /* nothing waiting, and the pop was not to wait */
  PMTFIFO_TIMEOUT = 3,  /* nothing arrived within the consumer's time-out */
  PMTFIFO_EOF = 4       /* end of data (see above) */
};

/* Failures, all negative. */
enum {
  PMTFIFO_ERR_ARG = -1,      /* a NULL argument or an impossible value */
  PMTFIFO_ERR_RELEASED = -2, /* the managed FIFO was released */
  PMTFIFO_ERR_UNKNOWN = -3,  /* no such consumer or producer */
  PMTFIFO_ERR_COPY = -4,     /* no copy function for a second consumer, or it failed */
  PMTFIFO_ERR_DROPPED = -5,  /* a consumer was full and dropped the hook */
  PMTFIFO_ERR_NOMEM = -6     /* out of memory */
};

/* A new managed FIFO named `name` (used in log messages; NULL is ""). NULL
 * only when memory runs out. */
PmtManagedFifo *pmtmanagedfifo_create(const char *name);

/* Registers a producer; registering a name again does nothing. Returns 0, or
 * PMTFIFO_ERR_ARG / PMTFIFO_ERR_RELEASED / PMTFIFO_ERR_NOMEM. */
int pmtmanagedfifo_set_producer(PmtManagedFifo *mf, const char *name);

/* Registers a consumer with a limit (0 or negative: none) and flags
 * (PMTFIFO_BACKPRESSURE or 0), and returns its FIFO. Registering a name again
 * returns the same FIFO with the new limit and flags; what waits for it
 * stays. NULL for a NULL argument, a released managed FIFO or lack of memory.
 * The FIFO lives as long as the managed FIFO. */
PmtFifo *pmtmanagedfifo_set_consumer(PmtManagedFifo *mf, const char *name, int limit, int flags);

/* Sets how long a pop of this consumer waits for data: seconds (0: not at
 * all; negative: without limit, still ending on end of data or release).
 * Returns 0, or PMTFIFO_ERR_ARG for a NULL FIFO or a value that is not a
 * number. */
int pmtfifo_set_timeout(PmtFifo *fifo, double seconds);

/* The number of hooks waiting for this consumer (end-of-data marks not
 * counted); -1 for NULL. Safe to read at any time from any thread. */
int pmtfifo_count(const PmtFifo *fifo);

/* The calls waiting on this consumer right now: pops waiting for data and
 * pushes waiting for room; -1 for NULL. Safe to read at any time from any
 * thread: for a test that must know a call has reached its wait. */
int pmtfifo_waiting(const PmtFifo *fifo);

/* The number of hooks this consumer has dropped so far; -1 for NULL. */
long pmtfifo_dropped(const PmtFifo *fifo);

/* Bounds the bytes waiting for this consumer (0 or less: no bound), as
 * pmtmanagedfifo_push_bytes counts them. Returns 0, or PMTFIFO_ERR_ARG. */
int pmtfifo_set_byte_limit(PmtFifo *fifo, long bytes);

/* The bytes waiting for this consumer; -1 for NULL. Safe from any thread. */
long pmtfifo_bytes(const PmtFifo *fifo);

/* pmtmanagedfifo_push for a hook that stands for `bytes` bytes, which count
 * against each consumer's byte limit. */
int pmtmanagedfifo_push_bytes(PmtManagedFifo *mf, Hook *hook, PmtHookCopy copy_fn, int flags,
                              long bytes);

/* Queues a hook for every registered consumer. flags: 0 or PMTFIFO_NOWAIT.
 * Returns the number of consumers it was queued for (0 when there is none:
 * the hook is freed and that is reported once). Negative on failure: when
 * copy_fn is NULL or fails with more than one consumer (nothing queued), when
 * a consumer dropped it (PMTFIFO_ERR_DROPPED; the others have it), or for a
 * released FIFO. In every case the hooks not queued are freed. */
int pmtmanagedfifo_push(PmtManagedFifo *mf, Hook *hook, PmtHookCopy copy_fn, int flags);

/* Queues the end-of-data mark of a registered producer for every consumer;
 * marks never wait and are never dropped. Returns 0, or PMTFIFO_ERR_UNKNOWN
 * for a name that is not a producer (reported through the log library),
 * PMTFIFO_ERR_ARG, PMTFIFO_ERR_RELEASED or PMTFIFO_ERR_NOMEM. */
int pmtmanagedfifo_push_eof(PmtManagedFifo *mf, const char *producer);

/* Takes the consumer's next hook into *hook (set to NULL unless the result is
 * PMTFIFO_DATA), waiting at most the consumer's time-out; flags: 0 or
 * PMTFIFO_NOWAIT. Returns a PMTFIFO_* result above, or PMTFIFO_ERR_ARG /
 * PMTFIFO_ERR_UNKNOWN for a name that is not a consumer. */
int pmtmanagedfifo_pop(PmtManagedFifo *mf, const char *consumer, Hook **hook, int flags);

/* Releases the managed FIFO: waiting pushes and pops return at once, later
 * pushes fail, pops give PMTFIFO_RELEASED, and the hooks still waiting are
 * freed (their number reported through the log library). */
void pmtmanagedfifo_release(PmtManagedFifo *mf);

/* Releases the managed FIFO and its memory. No other thread may use it any
 * more, nor the consumers' FIFOs. NULL is ignored. */
void pmtmanagedfifo_destroy(PmtManagedFifo *mf);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_FIFO_PMTFIFO_H */
