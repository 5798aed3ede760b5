// Rates from running totals: the server hands it its totals about once a
// second, and it keeps the rates of the last interval.
// Not thread-safe: used on the server's event thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "tarnserver/server_view.h"

namespace tarnserver {

class TrafficMeter {
 public:
  using Clock = std::chrono::steady_clock;
  struct Totals {
    uint64_t rxPackets = 0, rxBytes = 0, txPackets = 0, txBytes = 0;
  };

  // Takes the totals at `now`; the rates become those since the last call.
  void sample(Clock::time_point now, const Totals &totals);
  const TrafficRates &rates() const { return rates_; }

 private:
  bool sampled_ = false;
  Clock::time_point last_{};
  Totals totals_;
  TrafficRates rates_;
};

}  // namespace tarnserver
