// What the relay benchmark's cases share: CPU readings at the two ends of a
// measured period, the ring size of a case's servers, and the steps that end
// every case (stopping the relay, reading the destinations back, counting
// what is missing or duplicated).
//
// Thread-safety: one thread at a time.
#ifndef BENCH_RELAY_BENCH_CASE_SUPPORT_H
#define BENCH_RELAY_BENCH_CASE_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_packets.h"
#include "bench_rig.h"
#include "bench_table.h"

namespace relaybench {

// Limits of every wait for packets to arrive: no new packet for kStall
// seconds, or kCaseLimit seconds in all, ends a case as not completed.
constexpr double kStall = 30;
constexpr double kCaseLimit = 300;

// CPU seconds used so far by each part of a case.
struct CpuMark {
  double machine = 0;
  double relay = 0;
  double servers = 0;
  double feeder = 0;
};

// Readings now; `feeder` is the process that puts packets (or -1).
CpuMark markCpu(const Rig &rig, pid_t feeder);

// Sets the row's CPU figures to what was used between two marks.
void setCpu(CaseResult &r, const CpuMark &before, const CpuMark &after);

// Bytes of ring that hold `packets` packets of `bytes` bytes with room to
// spare (the ring is in memory, taken as it fills).
uint64_t ringBytesFor(long packets, size_t bytes);

// The largest packet a case's servers take: 1 MiB, or more for larger packets.
uint64_t maxPacketFor(size_t bytes);

// A row whose case stopped early, with the rig's reason.
CaseResult &failed(CaseResult &r, const Rig &rig);

// The seconds until the slowest destination held its last packet, or the
// case's failure when one never did.
void setArrival(CaseResult &r, const std::vector<double> &reached, long expected);

// Takes the relay's peak RSS so far into the row and stops the relay (every
// packet has arrived by then, or the case failed), then reads each
// destination back and compares it with `expected`.
void finishCase(CaseResult &r, Rig &rig, const std::vector<std::string> &destinations,
                const Ledger &expected);

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_CASE_SUPPORT_H
