// The allocator's settings, read by jemalloc when the relay first allocates.
//
// Every packet is allocated by the reader that reaps it and freed by the
// writer that stored it last, on another thread. jemalloc hands such blocks
// back through the freeing thread's cache, in batches, where glibc's
// allocator takes the allocating thread's arena lock for each of them (that
// lock was most of the relay's system calls: a futex wait or wake for every
// other packet).
//
// One arena: the relay's threads allocate little beyond its packets, and
// their caches keep them apart; more arenas would only hold more memory.
// Freed pages go back to the system after a second, not ten, so that the
// memory a backlog needed is not kept long after the backlog is gone.
extern "C" {
const char *malloc_conf = "narenas:1,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
