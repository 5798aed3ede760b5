#include "connection/reader_filter.h"

#include "base/relay_times.h"

ReaderVerdict judgePacket(const ReaderLimits &limits, bool isLast, double pkttime, double now,
                          const std::function<bool()> &unstuffs) {
  if (limits.endtime == TIME_LAST)
    return isLast ? ReaderVerdict::kPassLastAndStop : ReaderVerdict::kPass;
  if (limits.endtime != TIME_UNSET && pkttime >= limits.endtime) {
    return pkttime == limits.endtime ? ReaderVerdict::kPassAndStop : ReaderVerdict::kPastEndAndStop;
  }
  if (limits.tooOld != TIME_UNSET && pkttime <= now - limits.tooOld) return ReaderVerdict::kTooOld;
  if (limits.tooNew != TIME_UNSET && pkttime >= now + limits.tooNew) return ReaderVerdict::kTooNew;
  if (limits.checkUnstuff && !unstuffs()) {
    return limits.suppressUnstuffErrors ? ReaderVerdict::kNoUnstuffQuiet
                                        : ReaderVerdict::kNoUnstuff;
  }
  return ReaderVerdict::kPass;
}
