#include "platform/service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace service {
namespace {

using Clock = std::chrono::steady_clock;

bool managed() {
  static const bool yes = std::getenv("NOTIFY_SOCKET") != nullptr;
  return yes;
}

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

std::atomic<int64_t> nextPing{0};

}  // namespace

double watchdogSeconds() {
  uint64_t usec = 0;
  if (!managed() || sd_watchdog_enabled(0, &usec) <= 0) return 0.0;
  return static_cast<double>(usec) / 1e6;
}

void ready(const std::string &status) {
  if (!managed()) return;
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void alive() {
  if (!managed()) return;
  static const double interval = watchdogSeconds();
  if (interval <= 0) return;
  int64_t now = nowNs(), due = nextPing.load(std::memory_order_relaxed);
  if (now < due) return;
  int64_t next = now + static_cast<int64_t>(interval * 0.5e9);
  if (!nextPing.compare_exchange_strong(due, next, std::memory_order_relaxed)) return;
  sd_notify(0, "WATCHDOG=1");
}

void stopping(const std::string &status) {
  if (!managed()) return;
  sd_notifyf(0, "STOPPING=1\nSTATUS=%s", status.c_str());
}

}  // namespace service
