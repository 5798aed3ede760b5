/*
 * The log library: where the platform libraries leave their messages.
 *
 * A library that meets a problem it cannot return to its caller in full (a
 * parameter file that does not parse, a lost server connection and its
 * recovery, packets a slow reader skipped) records a message with elog_log.
 * The messages wait in the library until the program drains them: the relay's
 * log manager asks elog_mark how many there are, takes them as one text with
 * elog_string and discards them with elog_flush. A program without such a
 * drain (the tarn server, the tarn tool) calls elog_set_immediate(1), and
 * each message goes to standard error as it is recorded.
 *
 * At most ELOG_MAX_PENDING messages wait; past that the oldest are dropped
 * and the drained text says how many, so a program that never drains cannot
 * grow without bound.
 *
 * Thread-safety: every function may be called from any thread at any time.
 * Texts returned by the library are allocated with malloc; the caller frees
 * them.
 */
#ifndef PLATFORM_ELOG_ELOG_H
#define PLATFORM_ELOG_ELOG_H

#ifdef __cplusplus
extern "C" {
#endif

#define ELOG_MAX_PENDING 1000

/* Remembers the program's name (the last part of argv[0]) for the messages
 * written by elog_die and in immediate mode. Call once, first thing. */
void elog_init(int argc, char **argv);

/* Records one message, printf-style; a trailing newline is dropped. */
void elog_log(int flags, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* The number of messages waiting to be drained. */
int elog_mark(void);

/* The waiting messages as one newly allocated text, one message a line
 * without a newline after the last; flags is 0. Returns an empty text when
 * none wait, and NULL only when memory runs out. */
char *elog_string(int flags);

/* Discards the waiting messages; both arguments are 0. */
void elog_flush(int flags, int unused);

/* With on != 0, messages are written to standard error as they are recorded
 * ("program: message") instead of waiting to be drained. */
void elog_set_immediate(int on);

/* Writes any waiting messages to standard error, then the fatal message
 * between empty lines ("\nFatal: message\n\n"), and ends the process with
 * exit status -1 (255). flags is 1. Never returns. */
void elog_die(int flags, const char *format, ...) __attribute__((format(printf, 2, 3), noreturn));

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_ELOG_ELOG_H */
