#include "platform/hook/hook.h"

#include <cstdlib>

extern "C" {

Hook *new_hook(void (*free_fn)(void *)) {
  Hook *hook = static_cast<Hook *>(std::malloc(sizeof(Hook)));
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
  std::free(h);
}

}  // extern "C"
