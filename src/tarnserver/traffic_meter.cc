#include "tarnserver/traffic_meter.h"

namespace tarnserver {

void TrafficMeter::sample(Clock::time_point now, const Totals &totals) {
  const double seconds = std::chrono::duration<double>(now - last_).count();
  if (sampled_ && seconds > 0) {
    // Totals only grow; one that did not counts as nothing.
    auto rate = [&](uint64_t now, uint64_t before) {
      return now >= before ? static_cast<double>(now - before) / seconds : 0.0;
    };
    rates_.rxPackets = rate(totals.rxPackets, totals_.rxPackets);
    rates_.rxBytes = rate(totals.rxBytes, totals_.rxBytes);
    rates_.txPackets = rate(totals.txPackets, totals_.txPackets);
    rates_.txBytes = rate(totals.txBytes, totals_.txBytes);
  }
  sampled_ = true;
  last_ = now;
  totals_ = totals;
}

}  // namespace tarnserver
