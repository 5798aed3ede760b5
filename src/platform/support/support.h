/*
 * Support routines: the string stack, which builds one text out of many
 * pieces, and the process-information query.
 *
 * String stack: a stack is a `void *` that starts as NULL; pushstr adds a
 * piece at its end (creating the stack on first use), popstr returns
 * everything pushed so far as one text. Texts returned are allocated with
 * malloc; the caller frees them. One stack is used by one thread at a time;
 * distinct stacks may be used from distinct threads.
 *
 * pidinfo reads /proc; it is safe to call from any thread.
 */
#ifndef PLATFORM_SUPPORT_SUPPORT_H
#define PLATFORM_SUPPORT_SUPPORT_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Appends `text` to the stack *stack, creating the stack when *stack is
 * NULL. Returns 0, or -1 when `stack` or `text` is NULL or memory runs out
 * (the stack is then unchanged). */
int pushstr(void **stack, const char *text);

/* Everything pushed onto *stack so far, joined without separators, as a new
 * text ("" for a NULL stack). With free_stack non-zero the stack is released
 * and *stack set to NULL; otherwise the stack keeps its pieces and later
 * pushes add to them. NULL only when memory runs out (the stack is then
 * left as it was). */
char *popstr(void **stack, int free_stack);

/* What pidinfo reports about a process. */
typedef struct Pidinfo {
  pid_t pid;   /* the process asked about */
  long rss;    /* resident set size, kilobytes (0 for a process without memory, e.g. a zombie) */
  long vsz;    /* virtual memory size, kilobytes (0 likewise) */
  int threads; /* number of threads */
} Pidinfo;

/* Fills *info for process `pid` from /proc/PID/status. Returns 0, or -1
 * when `info` is NULL, pid is not positive, or there is no such process
 * (then *info is unchanged). */
int pidinfo(pid_t pid, Pidinfo *info);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SUPPORT_SUPPORT_H */
