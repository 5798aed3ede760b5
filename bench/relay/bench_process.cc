#include "bench_process.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace relaybench {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double wallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
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

std::unique_ptr<ChildProcess> startProgram(const std::vector<std::string> &args,
                                           const std::string &log) {
  testsupport::SpawnOptions options;
  options.output = log;
  try {
    return std::make_unique<ChildProcess>(args, options);
  } catch (const std::runtime_error &) {
    return nullptr;
  }
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
