#include "connection/reader_filter.h"

#include <cstdint>

#include "base/relay_times.h"

bool pktidAfter(int a, int b) {
  constexpr int64_t kIds = int64_t{1} << 31;  // 0 .. 2147483647
  int64_t distance = (int64_t{a} - b) % kIds;
  if (distance < 0) distance += kIds;
  return distance > 0 && distance < kIds / 2;
}

ReaderVerdict judgePacket(const ReaderLimits &limits, int pktid, double pkttime, double now,
                          const std::function<bool()> &unstuffs) {
  if (limits.endtime == TIME_LAST) {
    if (pktid == limits.lastPktid || pktidAfter(pktid, limits.lastPktid)) {
      return ReaderVerdict::kPassLastAndStop;
    }
    return ReaderVerdict::kPass;
  }
  if (limits.endtime != TIME_UNSET && pkttime >= limits.endtime) {
    return pkttime == limits.endtime ? ReaderVerdict::kPassAndStop
                                     : ReaderVerdict::kPastEndAndStop;
  }
  if (limits.tooOld != TIME_UNSET && pkttime <= now - limits.tooOld) return ReaderVerdict::kTooOld;
  if (limits.tooNew != TIME_UNSET && pkttime >= now + limits.tooNew) return ReaderVerdict::kTooNew;
  if (limits.checkUnstuff && !unstuffs()) {
    return limits.suppressUnstuffErrors ? ReaderVerdict::kNoUnstuffQuiet
                                        : ReaderVerdict::kNoUnstuff;
  }
  return ReaderVerdict::kPass;
}
