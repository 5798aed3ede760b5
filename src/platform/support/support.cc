#include "platform/support/support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// What a string stack's `void *` points to.
struct StringStack {
  std::string text;
};

// Reads the number after "Name:" when `line` starts with `name`.
bool statusField(const char *line, const char *name, long *value) {
  size_t n = std::strlen(name);
  if (std::strncmp(line, name, n) != 0 || line[n] != ':') return false;
  char *end = nullptr;
  long v = std::strtol(line + n + 1, &end, 10);
  if (end == line + n + 1) return false;
  *value = v;
  return true;
}

}  // namespace

extern "C" {

int pushstr(void **stack, const char *text) {
  if (stack == nullptr || text == nullptr) return -1;
  try {
    if (*stack == nullptr) *stack = new StringStack;
    static_cast<StringStack *>(*stack)->text.append(text);
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}

char *popstr(void **stack, int free_stack) {
  if (stack == nullptr || *stack == nullptr) return strdup("");
  auto *s = static_cast<StringStack *>(*stack);
  char *text = strdup(s->text.c_str());
  if (text == nullptr) return nullptr;
  if (free_stack) {
    delete s;
    *stack = nullptr;
  }
  return text;
}

int pidinfo(pid_t pid, Pidinfo *info) {
  if (info == nullptr || pid <= 0) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
  FILE *in = std::fopen(path, "re");
  if (in == nullptr) return -1;
  Pidinfo found = {};
  found.pid = pid;
  bool sawName = false;
  char line[512];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    long value = 0;
    if (std::strncmp(line, "Name:", 5) == 0) sawName = true;
    if (statusField(line, "VmRSS", &value)) found.rss = value;
    if (statusField(line, "VmSize", &value)) found.vsz = value;
    if (statusField(line, "Threads", &value)) found.threads = static_cast<int>(value);
  }
  std::fclose(in);
  // A process that ended between the open and the read leaves an empty file.
  if (!sawName) return -1;
  *info = found;
  return 0;
}

}  // extern "C"
