#include "tools/tool_support.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_address.h"
#include "platform/time/epochtime.h"

namespace tarntool {

namespace {
StopFlag g_stop{0};

void onSignal(int) { g_stop.store(1); }

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string tarnNameError(const std::string &name) {
  tarnclient::TarnAddress address;
  std::string why;
  if (tarnclient::parseTarnName(name, address, why)) return "";
  std::string bare = tarnclient::bareNumberProblem(name);
  return bare.empty() ? "'" + name + "' is not a tarn name: " + why : bare;
}

std::string hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

bool base64Decode(const std::string &text, std::string &out) {
  out.clear();
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '=' && text.size() - end < 2) --end;
  if ((text.size() != end && text.size() % 4 != 0) || end % 4 == 1) return false;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < end; ++i) {
    int v = base64Value(text[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return true;
}

std::string base64Encode(const char *bytes, size_t n) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t acc = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < n) acc |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < n) acc |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(acc >> 18) & 63];
    out += kAlphabet[(acc >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(acc >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[acc & 63] : '=';
  }
  return out;
}

bool parseTime(const std::string &text, double &out) {
  return !text.empty() && is_epoch_string(text.c_str(), &out) != 0;
}

bool parseCount(const std::string &text, long &out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool parseSeconds(const std::string &text, double &out) {
  if (text.empty()) return false;
  char *end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v < 0) return false;
  out = v;
  return true;
}

void catchInterrupts() {
  stopflag_register(&g_stop);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return g_stop.load() != 0; }

void stopWaiting() { g_stop.store(1); }

bool pauseUnlessInterrupted(double seconds) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
  while (!interrupted()) {
    Clock::duration left = end - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
  }
  return false;
}

std::string timeText(double t) {
  char *s = strtime(t);
  std::string out = s ? s : "?";
  std::free(s);
  return out;
}

}  // namespace tarntool
