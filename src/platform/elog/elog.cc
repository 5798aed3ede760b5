#include "platform/elog/elog.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

// Guards every field below.
std::mutex g_mutex;
std::string g_program = "program";
std::deque<std::string> g_pending;
long g_dropped = 0;  // messages dropped since the last drain
bool g_immediate = false;

std::string format(const char *fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return fmt;
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, args);
  text.resize(static_cast<size_t>(n));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The waiting messages as one text; the caller holds g_mutex.
std::string pendingTextLocked() {
  std::string text;
  if (g_dropped > 0) {
    text = "(" + std::to_string(g_dropped) + " earlier messages dropped: too many waiting)";
  }
  for (const auto &m : g_pending) {
    if (!text.empty()) text += '\n';
    text += m;
  }
  return text;
}

}  // namespace

extern "C" {

void elog_init(int argc, char **argv) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (argc > 0 && argv && argv[0]) {
    const char *slash = std::strrchr(argv[0], '/');
    g_program = slash ? slash + 1 : argv[0];
  }
}

void elog_log(int, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_immediate) {
    std::string line = g_program + ": " + text + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
    return;
  }
  g_pending.push_back(std::move(text));
  while (g_pending.size() > ELOG_MAX_PENDING) {
    g_pending.pop_front();
    ++g_dropped;
  }
}

int elog_mark(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(g_pending.size()) + (g_dropped > 0 ? 1 : 0);
}

char *elog_string(int) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return strdup(pendingTextLocked().c_str());
}

void elog_flush(int, int) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending.clear();
  g_dropped = 0;
}

void elog_set_immediate(int on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_immediate = on != 0;
}

void elog_die(int, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  std::string out;
  {
    // No lock_guard: this path must not wait for a thread that died holding
    // the lock. A try_lock keeps the pending list consistent when it can.
    bool locked = g_mutex.try_lock();
    if (locked) {
      std::string pending = pendingTextLocked();
      if (!pending.empty()) out = pending + "\n";
      g_mutex.unlock();
    }
  }
  out += "\nFatal: " + text + "\n\n";
  ssize_t ignored = write(2, out.data(), out.size());
  (void)ignored;
  // Other threads may still run: end at once, without running destructors
  // under their feet.
  std::fflush(nullptr);
  _exit(255);
}

}  // extern "C"
