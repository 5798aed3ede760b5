// Processes of the relay benchmark: starting the programs it measures,
// waiting for them and stopping them within a bounded time, and what /proc
// says about their CPU time and memory and about the whole machine's CPU time.
//
// Failures: a program that cannot be started gives a Process whose pid is -1;
// /proc readings of a process that is gone read as 0.
// Thread-safety: the functions keep no state of their own except workDir(),
// which is made once; any thread may call them.
#ifndef BENCH_RELAY_BENCH_PROCESS_H
#define BENCH_RELAY_BENCH_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace relaybench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);
// The wall clock in epoch seconds (packet times are on it).
double wallNow();
void sleepSeconds(double seconds);

// A file's whole text; empty when it cannot be read.
std::string readFile(const std::string &path);

// The folder holding tarnserver, tarn and tarn2tarn_pre: RELAY_BENCH_BIN_DIR
// in the environment, else the build's bin folder.
std::string binDir();

// A temporary folder of this run for ready files, logs and parameter files,
// made on first use; removeWorkDir() removes it with what it holds.
std::string workDir();
void removeWorkDir();

// A started program: its pid and the file holding its standard output and
// standard error.
struct Process {
  pid_t pid = -1;
  std::string log;
};

// How a program ended. cpuSeconds comes from the kernel's accounting of the
// whole process (every thread, including ended ones). (Its peak RSS is not
// taken from there: for a program started with posix_spawn the kernel's
// figure is never below this program's own peak at the time.)
struct Ending {
  bool ended = false;     // false: still running after the limit (then killed)
  int status = -1;        // exit status, or 128 + signal number
  double cpuSeconds = 0;  // user + system
};

// Starts args[0] (a path) with args, its output in `log` (made anew).
Process spawnProcess(const std::vector<std::string> &args, const std::string &log);

// Waits up to `limit` seconds for the process to end by itself; on time-out
// kills it (SIGKILL) and says so in the result's `ended`.
Ending waitProcess(Process &process, double limit);

// Sends `sig`, then as waitProcess. A process already reaped gives ended.
Ending stopProcess(Process &process, int sig, double limit);

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
