// Keeps a refused or dropped client from filling the log: each kind of
// refusal is logged once per client address and hour, however often the
// client comes back. At most kMaxRemembered address-kind pairs are kept;
// past that, nothing more is logged until an hour has passed for some.
// Not thread-safe: used from the server's event thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace tarnserver {

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxRemembered = 4096;
  static constexpr std::chrono::hours kQuiet{1};

  // Whether a refusal of `kind` for `host` should be logged now; if so, it
  // is not again for an hour.
  bool shouldLog(const std::string &host, const std::string &kind, Clock::time_point now);

 private:
  void forgetOld(Clock::time_point now);

  std::unordered_map<std::string, Clock::time_point> logged_;
};

}  // namespace tarnserver
