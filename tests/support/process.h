// Helpers that run the project's programs as real processes, for the tests
// and the benchmarks (the library process_support).
//
// runProgram() runs a program to its end with a bounded wait and returns its
// exit status with everything it wrote. ChildProcess starts a program in the
// background (a server, a relay) and stops it when the test or benchmark is
// done, so that none leaves a process behind. Both find the project's
// programs through programPath(): the build's program folder, compiled in.
// No program is started through a shell: each gets its arguments as given.
//
// Failures: a program that cannot be started throws std::runtime_error.
// Thread-safety: one ChildProcess is used by one thread at a time; the free
// functions keep no state.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitStatus = -1;  // the exit status, or 128 + signal number when killed
  bool timedOut = false;
  std::string out;  // what the program wrote to standard output
  std::string err;  // what the program wrote to standard error
};

// The path of one of the project's programs, e.g. programPath("tarnserver").
std::string programPath(const std::string &name);

// Runs argv[0] with the arguments, feeding `input` on standard input, and
// waits at most `limit`; a program still running then is killed.
ProcessResult runProgram(const std::vector<std::string> &argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(30),
                         const std::string &input = "");

// Where a started program's standard streams go, and its limits.
struct SpawnOptions {
  std::string input = "/dev/null";   // read as standard input
  std::string output = "/dev/null";  // standard output, made anew
  std::string error;                 // standard error, made anew; empty: with standard output
  int openFiles = 0;                 // > 0: its limit of open files, soft and hard (as `ulimit -n`)
};

// How a program ended, once it was waited for.
struct Ending {
  bool ended = false;     // false: it still ran when the wait's time was up
  int exitStatus = -1;    // as in ProcessResult; -1 while it runs
  double cpuSeconds = 0;  // its CPU time (user + system, every thread), from the kernel
};

// A program running in the background. Its standard output and standard
// error go to files that the caller can read at any time: files of its own,
// removed by the destructor, or those of SpawnOptions, which are left. The
// destructor kills it (SIGKILL) if it still runs.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string> &argv);
  ChildProcess(const std::vector<std::string> &argv, const SpawnOptions &options);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  int pid() const { return pid_; }
  void signal(int sig);
  // Waits at most `limit` for the program to end; returns its exit status as
  // in ProcessResult, or -1 if it still runs.
  int wait(std::chrono::milliseconds limit);
  bool running();
  // Sends `sig` (0 sends nothing) if it still runs and waits at most `limit`
  // for it to end; one still running then is killed (SIGKILL), and the
  // Ending says it had not ended.
  Ending stop(int sig, std::chrono::milliseconds limit);
  // CPU seconds of the ended program (every thread), 0 while it runs.
  double cpuSeconds() const { return cpuSeconds_; }
  const std::string &outPath() const { return outPath_; }
  std::string out() const;
  std::string err() const;

 private:
  int pid_ = -1;
  int status_ = -1;
  double cpuSeconds_ = 0;
  bool ownsFiles_ = false;
  std::string outPath_;
  std::string errPath_;
};

// A fresh temporary folder, removed with its content by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

// Polls `done` every few milliseconds until it is true or `limit` passes;
// returns its last answer.
template <typename Pred>
bool waitUntil(Pred done, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
