#include "bench_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char **environ;

namespace relaybench {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double wallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string binDir() {
  const char *env = std::getenv("RELAY_BENCH_BIN_DIR");
  return env && *env ? env : RELAY_BENCH_BIN_DIR;
}

namespace {

std::string &workDirSlot() {
  static std::string dir;
  return dir;
}

}  // namespace

std::string workDir() {
  std::string &dir = workDirSlot();
  if (dir.empty()) {
    char templ[] = "/tmp/relay_bench.XXXXXX";
    const char *made = mkdtemp(templ);
    if (!made) {
      std::perror("relay_bench: mkdtemp");
      std::exit(1);
    }
    dir = made;
  }
  return dir;
}

void removeWorkDir() {
  std::string &dir = workDirSlot();
  if (dir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  dir.clear();
}

Process spawnProcess(const std::vector<std::string> &args, const std::string &log) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  Process p;
  p.log = log;
  if (posix_spawn(&p.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return p;
}

namespace {

Ending endingOf(int status, const rusage &usage) {
  auto secs = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
  Ending e;
  e.ended = true;
  e.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  e.cpuSeconds = secs(usage.ru_utime) + secs(usage.ru_stime);
  return e;
}

}  // namespace

Ending waitProcess(Process &process, double limit) {
  if (process.pid < 0) return Ending{true, -1, 0};
  int status = 0;
  rusage usage{};
  auto start = Clock::now();
  while (secondsSince(start) < limit) {
    if (wait4(process.pid, &status, WNOHANG, &usage) == process.pid) {
      process.pid = -1;
      return endingOf(status, usage);
    }
    sleepSeconds(0.01);
  }
  kill(process.pid, SIGKILL);
  wait4(process.pid, &status, 0, &usage);
  process.pid = -1;
  Ending killed = endingOf(status, usage);
  killed.ended = false;
  return killed;
}

Ending stopProcess(Process &process, int sig, double limit) {
  if (process.pid > 0) kill(process.pid, sig);
  return waitProcess(process, limit);
}

namespace {

// utime + stime of /proc/PID/stat, in seconds.
double statCpuSeconds(pid_t pid) {
  std::string all = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = all.rfind(')');
  if (paren == std::string::npos || paren + 2 > all.size()) return 0;
  std::istringstream rest(all.substr(paren + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sum of the first field (nanoseconds on a CPU) of each live thread's
// /proc/PID/task/TID/schedstat, in seconds.
double threadsCpuSeconds(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(tasks.c_str());
  if (!dir) return 0;
  double ns = 0;
  int seen = 0;
  for (dirent *entry = readdir(dir); entry && seen < 10000; entry = readdir(dir), ++seen) {
    if (entry->d_name[0] == '.') continue;
    ns += std::atof(readFile(tasks + "/" + entry->d_name + "/schedstat").c_str());
  }
  closedir(dir);
  return ns * 1e-9;
}

}  // namespace

double processCpuSeconds(pid_t pid) {
  if (pid <= 0) return 0;
  double precise = threadsCpuSeconds(pid), coarse = statCpuSeconds(pid);
  return precise > coarse ? precise : coarse;
}

double peakRssMb(pid_t pid) {
  if (pid <= 0) return 0;
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

double machineCpuSeconds() {
  std::istringstream in(readFile("/proc/stat"));
  std::string cpu;
  in >> cpu;
  double busy = 0, value = 0;
  for (int i = 0; i < 8 && in >> value; ++i) {
    if (i != 3 && i != 4) busy += value;  // 3 idle, 4 iowait
  }
  return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace relaybench
