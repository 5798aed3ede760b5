// Test helpers that run the project's programs as real processes.
//
// runProgram() runs a program to its end with a bounded wait and returns its
// exit status with everything it wrote. ChildProcess starts a program in the
// background (a server, a relay) and stops it when the test is done, so that
// no test leaves a process behind. Both find the project's programs through
// programPath(): the build's program folder, compiled in.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitStatus = -1;  // the exit status, or 128 + signal number when killed
  bool timedOut = false;
  std::string out;      // what the program wrote to standard output
  std::string err;      // what the program wrote to standard error
};

// The path of one of the project's programs, e.g. programPath("tarnserver").
std::string programPath(const std::string &name);

// Runs argv[0] with the arguments, feeding `input` on standard input, and
// waits at most `limit`; a program still running then is killed.
ProcessResult runProgram(const std::vector<std::string> &argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(30),
                         const std::string &input = "");

// A program running in the background. Its standard output and standard
// error go to files that the test can read at any time. The destructor kills
// it (SIGKILL) if it still runs.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string> &argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  int pid() const { return pid_; }
  void signal(int sig);
  // Waits at most `limit` for the program to end; returns its exit status as
  // in ProcessResult, or -1 if it still runs.
  int wait(std::chrono::milliseconds limit);
  bool running();
  std::string out() const;
  std::string err() const;

 private:
  int pid_ = -1;
  int status_ = -1;
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
