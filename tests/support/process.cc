#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Starts argv with stdin, stdout and stderr taken from the given paths.
int spawn(const std::vector<std::string> &argv, const std::string &in,
          const std::string &out, const std::string &err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with no signal blocked, whatever the test thread has.
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

// Waits for pid at most `limit`; returns the raw status, or -1 if it runs on.
int waitFor(int pid, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string programPath(const std::string &name) {
  return std::string(RELAY_PROGRAM_DIR) + "/" + name;
}

ProcessResult runProgram(const std::vector<std::string> &argv,
                         std::chrono::milliseconds limit, const std::string &input) {
  TempDir dir;
  writeFile(dir.file("in"), input);
  int pid = spawn(argv, dir.file("in"), dir.file("out"), dir.file("err"));
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
  outPath_ = std::string(tmpl) + ".out";
  errPath_ = std::string(tmpl) + ".err";
  unlink(tmpl);
  pid_ = spawn(argv, "/dev/null", outPath_, errPath_);
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

void ChildProcess::signal(int sig) {
  if (running()) kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
  if (status_ != -1) return decodeStatus(status_);
  int status = waitFor(pid_, limit);
  if (status == -1) return -1;
  status_ = status;
  return decodeStatus(status_);
}

bool ChildProcess::running() { return wait(std::chrono::milliseconds(0)) == -1; }

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
