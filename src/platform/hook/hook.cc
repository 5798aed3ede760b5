// Hooks are recycled through a two-level free list, because in a queue one
// thread makes them and another frees them, a pattern in which the general
// allocator takes a lock per block. Each thread keeps a small cache; a thread
// that frees more than it makes hands whole batches to a shared pool, where a
// thread that makes more than it frees takes them from, one lock per batch.
// Under AddressSanitizer hooks go straight to malloc and free, so that a
// hook used after free_hook is still caught.
#include "platform/hook/hook.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define HOOK_POOL 0
#else
#define HOOK_POOL 1
#endif

namespace {

#if HOOK_POOL

constexpr int kBatch = 256;        // hooks moved between a thread and the pool at once
constexpr size_t kMaxPooled = 64;  // batches the pool keeps; more are released

// A free hook's first word links it to the next one.
struct FreeHook {
  FreeHook *next;
};
static_assert(sizeof(Hook) >= sizeof(FreeHook), "a hook must hold a link");

struct Batch {
  FreeHook *head;
  int n;
};

void releaseChain(FreeHook *head) {
  while (head != nullptr) {
    FreeHook *next = head->next;
    std::free(head);
    head = next;
  }
}

class Pool {
 public:
  bool take(Batch *out) {
    std::lock_guard<std::mutex> lock(mu_);
    if (batches_.empty()) return false;
    *out = batches_.back();
    batches_.pop_back();
    return true;
  }
  void give(Batch b) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (batches_.size() < kMaxPooled) {
        batches_.push_back(b);
        return;
      }
    }
    releaseChain(b.head);
  }

 private:
  std::mutex mu_;
  std::vector<Batch> batches_;  // guarded by mu_
};

// Never destroyed: threads may free hooks while the program exits.
Pool &pool() {
  static Pool *p = new Pool;
  return *p;
}

class ThreadCache {
 public:
  ~ThreadCache() {
    if (local_.head != nullptr) pool().give(local_);
  }
  Hook *get() {
    if (local_.head == nullptr && !pool().take(&local_)) {
      return static_cast<Hook *>(std::malloc(sizeof(Hook)));
    }
    FreeHook *f = local_.head;
    local_.head = f->next;
    local_.n--;
    return reinterpret_cast<Hook *>(f);
  }
  void put(Hook *hook) {
    FreeHook *f = reinterpret_cast<FreeHook *>(hook);
    f->next = local_.head;
    local_.head = f;
    if (++local_.n > 2 * kBatch) spill();
  }

 private:
  // Hands the oldest kBatch hooks (the end of the chain) to the pool.
  void spill() {
    FreeHook *keepLast = local_.head;
    for (int i = 1; i < local_.n - kBatch; i++) keepLast = keepLast->next;
    Batch out{keepLast->next, kBatch};
    keepLast->next = nullptr;
    local_.n -= kBatch;
    pool().give(out);
  }

  Batch local_{nullptr, 0};
};

thread_local ThreadCache t_cache;

Hook *allocHook() { return t_cache.get(); }
void releaseHook(Hook *h) { t_cache.put(h); }

#else

Hook *allocHook() { return static_cast<Hook *>(std::malloc(sizeof(Hook))); }
void releaseHook(Hook *h) { std::free(h); }

#endif

}  // namespace

extern "C" {

Hook *new_hook(void (*free_fn)(void *)) {
  Hook *hook = allocHook();
  if (hook == nullptr) return nullptr;
  hook->p = nullptr;
  hook->free_fn = free_fn;
  return hook;
}

void free_hook(Hook **hook) {
  if (hook == nullptr || *hook == nullptr) return;
  Hook *h = *hook;
  *hook = nullptr;
  if (h->p != nullptr && h->free_fn != nullptr) h->free_fn(h->p);
  releaseHook(h);
}

}  // extern "C"
