#include "tarnserver/ring_fault.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace tarnserver {
namespace {

constexpr size_t kMaxWatched = 8;
constexpr size_t kTextSize = 512;

struct Watched {
  std::atomic<uintptr_t> base{0};  // 0: a free slot
  std::atomic<size_t> len{0};
  char path[kTextSize] = {};  // written before base is published
};

Watched g_watched[kMaxWatched];

// Appends `text` to buf at *pos, cut at the buffer's end.
void put(char *buf, size_t &pos, const char *text) {
  while (*text && pos < kTextSize - 1) buf[pos++] = *text++;
}

void putNumber(char *buf, size_t &pos, uint64_t n) {
  char digits[24];
  size_t k = 0;
  do {
    digits[k++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  while (k > 0 && pos < kTextSize - 1) buf[pos++] = digits[--k];
}

void onFault(int, siginfo_t *info, void *) {
  uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Watched &w : g_watched) {
    uintptr_t base = w.base.load(std::memory_order_acquire);
    if (base == 0 || at < base || at - base >= w.len.load(std::memory_order_relaxed)) continue;
    char line[kTextSize];
    size_t pos = 0;
    put(line, pos, "tarnserver: ring file '");
    put(line, pos, w.path);
    put(line, pos, "' failed at byte ");
    putNumber(line, pos, at - base);
    put(line, pos,
        " (the file was shortened, or its filesystem cannot store it): stopping; "
        "the next start recovers what the file holds\n");
    ssize_t ignored = write(2, line, pos);
    (void)ignored;
    _exit(kRingFaultExit);
  }
  signal(SIGBUS, SIG_DFL);  // not ours: fault again, as without this handler
}

}  // namespace

void installRingFaultStop() {
  struct sigaction sa {};
  sa.sa_sigaction = onFault;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
}

void watchRingMapping(const void *base, size_t len, const std::string &path) {
  for (Watched &w : g_watched) {
    if (w.base.load(std::memory_order_relaxed) != 0) continue;
    size_t n = std::min(path.size(), kTextSize - 1);
    std::memcpy(w.path, path.data(), n);
    w.path[n] = '\0';
    w.len.store(len, std::memory_order_relaxed);
    w.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    return;
  }
}

void unwatchRingMapping(const void *base) {
  for (Watched &w : g_watched) {
    if (w.base.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(base))
      w.base.store(0, std::memory_order_release);
  }
}

}  // namespace tarnserver
