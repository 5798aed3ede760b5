#include "platform/stopflag/stopflag.h"

namespace {
std::atomic<StopFlag *> g_flag{nullptr};
static_assert(std::atomic<StopFlag *>::is_always_lock_free, "the flag pointer must be lock-free");
static_assert(StopFlag::is_always_lock_free, "the stop flag must be lock-free");
}  // namespace

extern "C" {

void stopflag_register(StopFlag *flag) { g_flag.store(flag); }

StopFlag *stopflag_get(void) { return g_flag.load(); }

int stopflag_is_set(void) {
  StopFlag *flag = g_flag.load();
  return flag != nullptr && flag->load() != 0;
}

}  // extern "C"
