// Capturing what code writes to standard output and standard error, for
// tests of the log lines.
//
// OutputCapture redirects file descriptors 1 and 2 of this process into
// temporary files until stop() (or its destructor); make assertions only
// after stop(), or their messages land in the files too.
//
// runInChild runs a function in a forked child with its output captured,
// for code that ends the process (fatal errors); the child's exit status
// is returned as ProcessResult reports it (128 + signal when killed). The
// child is killed when it runs longer than the limit.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "process.h"

namespace testcapture {

class OutputCapture {
 public:
  OutputCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut = dup(1);
    savedErr = dup(2);
    redirect(1, dir.file("out"));
    redirect(2, dir.file("err"));
  }
  ~OutputCapture() { stop(); }
  OutputCapture(const OutputCapture &) = delete;
  OutputCapture &operator=(const OutputCapture &) = delete;

  void stop() {
    if (savedOut < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    savedOut = savedErr = -1;
  }
  std::string out() const { return testsupport::readFile(dir.file("out")); }
  std::string err() const { return testsupport::readFile(dir.file("err")); }

 private:
  static void redirect(int fd, const std::string &path) {
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    dup2(file, fd);
    close(file);
  }

  testsupport::TempDir dir;
  int savedOut = -1;
  int savedErr = -1;
};

inline testsupport::ProcessResult runInChild(
    const std::function<void()> &body, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  testsupport::TempDir dir;
  std::fflush(stdout);
  std::fflush(stderr);
  testsupport::ProcessResult result;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  if (pid < 0) return result;
  int status = 0;
  auto end = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = testsupport::readFile(dir.file("out"));
  result.err = testsupport::readFile(dir.file("err"));
  return result;
}

}  // namespace testcapture
