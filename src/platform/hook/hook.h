/*
 * Hooks: a small owned handle on a piece of data, released through the free
 * function it was made with.
 *
 * A hook lets code that knows nothing about a payload (the managed FIFO) hold
 * it, hand it on and release it: whoever creates the hook sets its data
 * pointer `p` and names, at creation, the function that releases that data.
 * Exactly one owner holds a hook at a time; free_hook ends its life.
 *
 * Thread-safety: a hook is owned by one thread at a time; creating and freeing
 * distinct hooks from any threads concurrently is safe.
 */
#ifndef PLATFORM_HOOK_HOOK_H
#define PLATFORM_HOOK_HOOK_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Hook {
  void *p;                  /* the payload; set by the creator, NULL for none */
  void (*free_fn)(void *p); /* releases p; NULL when p needs no release */
} Hook;

/* A new hook with no payload (p is NULL) whose payload will be released with
 * free_fn (which may be NULL). NULL only when memory runs out. */
Hook *new_hook(void (*free_fn)(void *));

/* Releases the payload with the hook's free function when both are set, then
 * the hook, and sets *hook to NULL. A NULL hook or *hook is ignored. */
void free_hook(Hook **hook);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_HOOK_HOOK_H */
