#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace testsupport {
namespace {

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char *> cArgs(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

// Starts argv in a forked child with its limit of open files lowered before
// it runs: posix_spawn cannot set a limit. Between fork and exec the child
// makes only async-signal-safe calls; an exec that fails sends its errno
// through a pipe closed on exec.
int forkWithOpenFiles(const std::vector<std::string> &argv, const SpawnOptions &options) {
  auto args = cArgs(argv);
  const std::string &err = options.error.empty() ? options.output : options.error;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(options.openFiles);
    int in = open(options.input.c_str(), O_RDONLY);
    int out = open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = options.error.empty() ? out : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    sigset_t none;
    sigemptyset(&none);
    if (in >= 0 && out >= 0 && errFd >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 &&
        dup2(errFd, 2) == 2 && setrlimit(RLIMIT_NOFILE, &lim) == 0 &&
        sigprocmask(SIG_SETMASK, &none, nullptr) == 0) {
      for (int fd : {in, out, errFd}) {
        if (fd > 2) close(fd);
      }
      execv(args[0], args.data());
    }
    int error = errno;
    ssize_t ignored = write(report[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
  }
  int error = 0;
  ssize_t n;
  do n = read(report[0], &error, sizeof error);
  while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  return pid;
}

// Starts argv with its standard streams and limits as `options` say.
int spawn(const std::vector<std::string> &argv, const SpawnOptions &options) {
  if (argv.empty()) throw std::runtime_error("cannot start a program without a name");
  if (options.openFiles > 0) return forkWithOpenFiles(argv, options);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, options.input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (options.error.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, options.error.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  // The child starts with no signal blocked, whatever the calling thread has.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  auto args = cArgs(argv);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

double cpuSecondsOf(const rusage &usage) {
  auto secs = [](const timeval &tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

// Waits for pid at most `limit`; returns the raw status, or -1 if it runs on.
// `usage` receives what the kernel counted for it once it ended.
int waitFor(int pid, std::chrono::milliseconds limit, rusage *usage = nullptr) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = wait4(pid, &status, WNOHANG, usage);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string programPath(const std::string &name) {
  return std::string(RELAY_PROGRAM_DIR) + "/" + name;
}

ProcessResult runProgram(const std::vector<std::string> &argv, std::chrono::milliseconds limit,
                         const std::string &input) {
  TempDir dir;
  writeFile(dir.file("in"), input);
  SpawnOptions options;
  options.input = dir.file("in");
  options.output = dir.file("out");
  options.error = dir.file("err");
  int pid = spawn(argv, options);
  ProcessResult result;
  int status = waitFor(pid, limit);
  if (status == -1) {
    result.timedOut = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  result.exitStatus = decodeStatus(status);
  result.out = readFile(dir.file("out"));
  result.err = readFile(dir.file("err"));
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv) {
  char tmpl[] = "/tmp/relay-child-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  SpawnOptions options;
  options.output = std::string(tmpl) + ".out";
  options.error = std::string(tmpl) + ".err";
  unlink(tmpl);
  ownsFiles_ = true;
  outPath_ = options.output;
  errPath_ = options.error;
  pid_ = spawn(argv, options);
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const SpawnOptions &options)
    : outPath_(options.output), errPath_(options.error.empty() ? options.output : options.error) {
  pid_ = spawn(argv, options);
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  if (ownsFiles_) {
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
  }
}

void ChildProcess::signal(int sig) {
  if (running()) kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
  if (status_ != -1) return decodeStatus(status_);
  rusage usage{};
  int status = waitFor(pid_, limit, &usage);
  if (status == -1) return -1;
  status_ = status;
  cpuSeconds_ = cpuSecondsOf(usage);
  return decodeStatus(status_);
}

bool ChildProcess::running() { return wait(std::chrono::milliseconds(0)) == -1; }

Ending ChildProcess::stop(int sig, std::chrono::milliseconds limit) {
  if (sig != 0) signal(sig);
  Ending ending;
  ending.ended = wait(limit) != -1;
  if (!ending.ended) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  ending.exitStatus = status_ == -1 ? -1 : decodeStatus(status_);
  ending.cpuSeconds = cpuSeconds_;
  return ending;
}

std::string ChildProcess::out() const { return readFile(outPath_); }
std::string ChildProcess::err() const { return readFile(errPath_); }

TempDir::TempDir() {
  char tmpl[] = "/tmp/relay-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace testsupport
