#include "bench_case_support.h"

#include <algorithm>

namespace relaybench {

CpuMark markCpu(const Rig &rig, pid_t feeder) {
  CpuMark m;
  m.machine = machineCpuSeconds();
  m.relay = processCpuSeconds(rig.relayPid());
  m.servers = rig.serversCpuSeconds();
  m.feeder = processCpuSeconds(feeder);
  return m;
}

void setCpu(CaseResult &r, const CpuMark &before, const CpuMark &after) {
  r.machineCpu = after.machine - before.machine;
  r.relayCpu = after.relay - before.relay;
  r.serversCpu = after.servers - before.servers;
  r.feederCpu = after.feeder - before.feeder;
}

uint64_t ringBytesFor(long packets, size_t bytes) {
  return static_cast<uint64_t>(packets) * (bytes + 128) + (64u << 20);
}

uint64_t maxPacketFor(size_t bytes) { return std::max<uint64_t>(1u << 20, bytes); }

CaseResult &failed(CaseResult &r, const Rig &rig) {
  if (r.failure.empty()) r.failure = rig.failure().empty() ? "stopped early" : rig.failure();
  return r;
}

void setArrival(CaseResult &r, const std::vector<double> &reached, long expected) {
  double slowest = 0;
  for (double t : reached) {
    if (t < 0) {
      r.failure = "not all " + std::to_string(expected) + " packets arrived";
      return;
    }
    slowest = std::max(slowest, t);
  }
  r.seconds = slowest;
}

void finishCase(CaseResult &r, Rig &rig, const std::vector<std::string> &destinations,
                const Ledger &expected) {
  r.peakRssMb = peakRssMb(rig.relayPid());
  rig.stopRelay();
  // The relay's own failure first: it explains the rest.
  if (!rig.failure().empty())
    r.failure = rig.failure() + (r.failure.empty() ? "" : "; " + r.failure);
  r.checked = true;
  for (const std::string &tarn : destinations) {
    Ledger held;
    std::string why;
    if (!readBack(tarn, held, why)) {
      r.checked = false;
      if (r.failure.empty()) r.failure = why;
      continue;
    }
    r.tally += compareLedgers(expected, held);
  }
}

}  // namespace relaybench
