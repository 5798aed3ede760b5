#include "tarnserver/refusal_log.h"

#include <cstdint>

namespace tarnserver {

bool RefusalLog::shouldLog(const std::string &host, const std::string &kind,
                           Clock::time_point now) {
  std::string key = host + '\n' + kind;
  auto it = logged_.find(key);
  if (it != logged_.end()) {
    if (now - it->second < kQuiet) return false;
    it->second = now;
    return true;
  }
  if (logged_.size() >= kMaxRemembered) forgetOld(now);
  if (logged_.size() >= kMaxRemembered) return false;
  logged_.emplace(std::move(key), now);
  return true;
}

void RefusalLog::forgetOld(Clock::time_point now) {
  std::erase_if(logged_, [&](const auto &entry) { return now - entry.second >= kQuiet; });
}

}  // namespace tarnserver
