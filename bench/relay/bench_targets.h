// The relay benchmark's last table: the figures the relay is to reach, each
// beside what this run measured and whether it reached it. A row whose case
// did not run or did not complete shows "-".
// Thread-safety: one thread at a time.
#ifndef BENCH_RELAY_BENCH_TARGETS_H
#define BENCH_RELAY_BENCH_TARGETS_H

#include <vector>

#include "bench_table.h"

namespace relaybench {

// The case names the table takes its figures from, in the order they run.
const std::vector<const char *> &targetCases();

// Prints the table for the cases in `results` (nothing when none of the
// targeted cases ran).
void printTargets(const std::vector<CaseResult> &results);

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_TARGETS_H
