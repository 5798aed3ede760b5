// The relay benchmark's output: what one case measured, printed as one row
// of an aligned table, then the notes the cases left and a summary line.
//
// Figures per packet divide by the row's packets: those that reached each
// destination (so for a filter, those it let through).
// Thread-safety: one thread at a time.
#ifndef BENCH_RELAY_BENCH_TABLE_H
#define BENCH_RELAY_BENCH_TABLE_H

#include <cstddef>
#include <string>
#include <vector>

#include "bench_packets.h"

namespace relaybench {

struct CaseResult {
  std::string name;
  long packets = 0;        // packets delivered to each destination
  size_t packetBytes = 0;  // bytes of each packet
  double seconds = 0;      // the measured period
  // CPU seconds within the measured period.
  double relayCpu = 0;    // the relay process
  double machineCpu = 0;  // every process on the machine
  double serversCpu = 0;  // the case's tarn servers
  double feederCpu = 0;   // what put packets at the source while the relay ran
  double peakRssMb = 0;   // the relay's (VmHWM, MiB) when the last packet arrived
  bool checked = false;   // the destinations were read back and compared
  Tally tally;
  double p50ms = -1, p99ms = -1;   // put-to-arrival latency, when measured
  std::string failure;             // empty when the case completed
  std::vector<std::string> notes;  // lines printed under the table
};

// Prints the table's heading (two lines and a rule).
void printHeading();

// Prints one row and flushes standard output.
void printRow(const CaseResult &r);

// Prints the notes of every case, then the summary line. Returns the exit
// status: 0 when every case completed and nothing was missing, duplicated
// or unexpected, 1 otherwise.
int printSummary(const std::vector<CaseResult> &results);

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_TABLE_H
