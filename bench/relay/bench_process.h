// Processes of the relay benchmark: starting the programs it measures
// (through the project's process helper, tests/support/process.h), and what
// /proc says about their CPU time and memory and about the whole machine's
// CPU time.
//
// Failures: a program that cannot be started gives no process;
// /proc readings of a process that is gone read as 0.
// Thread-safety: the functions keep no state of their own except workDir(),
// which is made once; any thread may call them.
#ifndef BENCH_RELAY_BENCH_PROCESS_H
#define BENCH_RELAY_BENCH_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace relaybench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);
// The wall clock in epoch seconds (packet times are on it).
double wallNow();
void sleepSeconds(double seconds);

// A file's whole text; empty when it cannot be read.
using testsupport::readFile;

// The folder holding tarnserver, tarn and tarn2tarn_pre: RELAY_BENCH_BIN_DIR
// in the environment, else the build's bin folder.
std::string binDir();

// A temporary folder of this run for ready files, logs and parameter files,
// made on first use; removeWorkDir() removes it with what it holds.
std::string workDir();
void removeWorkDir();

using testsupport::ChildProcess;
using testsupport::Ending;

// Starts args[0] (a path) with args, its standard output and standard error
// in `log` (made anew); nullptr when it cannot be started. The process is
// killed when it is dropped still running.
std::unique_ptr<ChildProcess> startProgram(const std::vector<std::string> &args,
                                           const std::string &log);

// CPU time (user + system) of a running process in seconds, to the
// nanosecond where the kernel counts per thread (/proc/PID/task/*/schedstat),
// and never less than /proc/PID/stat's figure, which also counts threads
// that have ended (to the hundredth of a second).
double processCpuSeconds(pid_t pid);

// Peak resident set of a running process in MB (VmHWM), 0 when unknown.
double peakRssMb(pid_t pid);

// CPU time the whole machine has spent so far, every core, in seconds: the
// "cpu" line of /proc/stat less idle and iowait.
double machineCpuSeconds();

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_PROCESS_H
