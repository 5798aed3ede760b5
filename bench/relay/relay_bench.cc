// relay_bench: the relay carrying 512-byte packets from one local tarnserver
// to another, one reader and one writer.
//
//   backlog  the source holds N packets before the relay starts; the time
//            until the destination holds them all
//   live     `tarn gen` puts as fast as it can while the relay runs
//   latency  packets put at a steady rate; the time from the put at the
//            source to the arrival at the destination, median and 99th
//            percentile
//
// For each it prints packets/s, the relay's CPU time, the whole machine's CPU
// time per packet (/proc/stat) and the relay's peak RSS (VmHWM), and checks
// that the destination received every packet.
// Usage: relay_bench [BACKLOG_PACKETS [LIVE_PACKETS [LATENCY_RATE [LATENCY_SECONDS]]]]
//        (defaults 1000000 500000 10000 5). Programs are taken from the folder
// this was built for, or RELAY_BENCH_BIN_DIR in the environment.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tarnclient/tarnclient.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
const int kPacketBytes = 512;
const int kGenHeader = 16;  // what `tarn gen` adds to its body

std::string binDir() {
  const char *env = std::getenv("RELAY_BENCH_BIN_DIR");
  return env ? env : RELAY_BENCH_BIN_DIR;
}

std::string workDir() {
  static std::string dir = [] {
    char templ[] = "/tmp/relay_bench.XXXXXX";
    const char *made = mkdtemp(templ);
    if (!made) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    return std::string(made);
  }();
  return dir;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double wallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string readAll(const std::string &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Starts a program with its standard output and error in `log`.
pid_t spawn(const std::vector<std::string> &args, const std::string &log) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0].c_str());
    std::exit(1);
  }
  return pid;
}

int stopProcess(pid_t pid, int sig = SIGTERM) {
  kill(pid, sig);
  int status = 0;
  for (int i = 0; i < 6000; ++i) {  // at most a minute
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
  std::string all = readAll("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = all.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream rest(all.substr(paren + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time spent by the whole machine (every field of /proc/stat's "cpu"
// line but idle and iowait), in seconds.
double machineCpuSeconds() {
  std::istringstream in(readAll("/proc/stat"));
  std::string cpu;
  in >> cpu;
  double busy = 0;
  double value;
  for (int i = 0; i < 8 && in >> value; ++i) {
    if (i != 3 && i != 4) busy += value;
  }
  return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident set of a process in MB (VmHWM).
double peakRssMb(pid_t pid) {
  std::istringstream in(readAll("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

struct Server {
  pid_t pid = -1;
  std::string name;
};

Server startServer(const std::string &label) {
  std::string ready = workDir() + "/" + label + ".ready";
  std::remove(ready.c_str());
  Server s;
  s.pid = spawn({binDir() + "/tarnserver", "-p", "0", "-s", "1G", "-R", ready}, workDir() + "/" + label + ".log");
  for (int i = 0; i < 2000 && s.name.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::istringstream in(readAll(ready));
    std::getline(in, s.name);
  }
  if (s.name.empty()) {
    std::fprintf(stderr, "tarnserver did not start\n");
    std::exit(1);
  }
  return s;
}

struct Relay {
  pid_t pid = -1;
  std::string log;
};

Relay startRelay(const Server &src, const Server &dst, const std::string &readerExtra) {
  std::string pf = workDir() + "/relay.pf";
  std::ofstream out(pf);
  out << "connections &List{\n&Arr{\nname in\nread_from_tarnname " << src.name << "\nwrite_to_queue q\n"
      << readerExtra << "}\n&Arr{\nname out\nwrite_to_tarnname " << dst.name << "\nread_from_queue q\n}\n}\n"
      << "connections_defaults &Arr{\nshared &Arr{\nrun true\nmatch\nreject\n}\n"
      << "read &Arr{\nread_from_tarnname\nread_from_tarntag\nstarttime\nendtime\ntoo_old\ntoo_new\n"
      << "check_unstuff false\nsuppress_unstuff_errors false\n}\n"
      << "write &Arr{\nwrite_to_tarnname\nwrite_to_tarntag\nmax_queue 10000\n}\n}\n"
      << "connections_special &Arr{\nstatus_create &Arr{\nrun false\n}\nlog_create &Arr{\nrun false\n}\n}\n"
      << "time_intervals_sec &Arr{\npfstatusreport 60\ninternal_timeout 1\nshutdown_grace_period 15\n}\n";
  out.close();
  Relay r;
  r.log = workDir() + "/relay.log";
  r.pid = spawn({binDir() + "/tarn2tarn_pre", "-p", workDir() + "/relay", "-v"}, r.log);
  return r;
}

int countOf(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

bool relayReady(const Relay &r) {
  for (int i = 0; i < 3000; ++i) {
    std::string log = readAll(r.log);
    if (countOf(log, "Connected to tarn") >= 2 && countOf(log, "Repositioned tarn") >= 1) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "the relay did not get ready:\n%s\n", readAll(r.log).c_str());
  return false;
}

// Waits until the server's newest packet id is at least `id`; false after
// `limit` seconds without progress.
bool waitForId(const std::string &tarn, int id, double limit) {
  int fd = tarnopen(tarn.c_str(), "r&");
  if (fd < 0) return false;
  int last = -1;
  auto progress = Clock::now();
  bool reached = false;
  while (!reached) {
    int newest = tarnposition(fd, "newest");
    if (newest >= id) reached = true;
    else if (newest != last) last = newest, progress = Clock::now();
    else if (secondsSince(progress) > limit) break;
    else std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  tarnclose(fd);
  return reached;
}

// CPU time of this program so far, in seconds.
double selfCpuSeconds() { return cpuSeconds(getpid()); }

// CPU spent during a phase by the parts of the set-up, in seconds.
struct CpuShares {
  double servers = 0;  // both tarnservers
  double feeder = 0;   // this program, or `tarn gen`
};

void report(const char *what, long packets, double secs, double relayCpu, double machineCpu, pid_t relay,
            bool complete, const CpuShares &shares) {
  std::printf("%-8s %9ld packets in %7.3f s: %9.0f packets/s; relay CPU %6.2f s (%5.2f us/packet); "
              "machine CPU %6.2f us/packet (servers %5.2f, feeder/bench %5.2f); relay peak RSS %6.1f MB; %s\n",
              what, packets, secs, packets / secs, relayCpu, relayCpu / packets * 1e6, machineCpu / packets * 1e6,
              shares.servers / packets * 1e6, shares.feeder / packets * 1e6, peakRssMb(relay),
              complete ? "nothing lost" : "PACKETS MISSING");
  std::fflush(stdout);
}

void backlog(long n) {
  Server src = startServer("backlog_src"), dst = startServer("backlog_dst");
  int fd = tarnopen(src.name.c_str(), "w&");
  std::string bytes(kPacketBytes, 'b');
  const double base = 1765100000.0;
  auto start = Clock::now();
  for (long i = 0; i < n; ++i) tarnput(fd, "BENCH_1/BL", base + static_cast<double>(i) * 1e-5, bytes.data(), kPacketBytes);
  tarnclose(fd);
  std::printf("backlog: %ld packets put at the source in %.2f s\n", n, secondsSince(start));
  double machine0 = machineCpuSeconds();
  double servers0 = cpuSeconds(src.pid) + cpuSeconds(dst.pid), self0 = selfCpuSeconds();
  start = Clock::now();
  Relay relay = startRelay(src, dst, "starttime " + std::to_string(static_cast<long>(base) - 1) + "\n");
  bool complete = waitForId(dst.name, static_cast<int>(n - 1), 30);
  double secs = secondsSince(start);
  CpuShares shares{cpuSeconds(src.pid) + cpuSeconds(dst.pid) - servers0, selfCpuSeconds() - self0};
  report("backlog", n, secs, cpuSeconds(relay.pid), machineCpuSeconds() - machine0, relay.pid, complete, shares);
  stopProcess(relay.pid);
  stopProcess(src.pid);
  stopProcess(dst.pid);
}

void live(long n) {
  Server src = startServer("live_src"), dst = startServer("live_dst");
  Relay relay = startRelay(src, dst, "");
  if (!relayReady(relay)) std::exit(1);
  double cpu0 = cpuSeconds(relay.pid);
  double machine0 = machineCpuSeconds();
  double servers0 = cpuSeconds(src.pid) + cpuSeconds(dst.pid);
  auto start = Clock::now();
  pid_t gen = spawn({binDir() + "/tarn", "gen", src.name, "-n", std::to_string(n), "-s",
                     std::to_string(kPacketBytes - kGenHeader)},
                    workDir() + "/gen.log");
  bool complete = waitForId(dst.name, static_cast<int>(n - 1), 30);
  double secs = secondsSince(start);
  CpuShares shares{cpuSeconds(src.pid) + cpuSeconds(dst.pid) - servers0, cpuSeconds(gen)};
  double relayCpu = cpuSeconds(relay.pid) - cpu0, machineCpu = machineCpuSeconds() - machine0;
  int status = 0;
  waitpid(gen, &status, 0);
  report("live", n, secs, relayCpu, machineCpu, relay.pid, complete, shares);
  stopProcess(relay.pid);
  stopProcess(src.pid);
  stopProcess(dst.pid);
}

void latency(double rate, double seconds) {
  Server src = startServer("lat_src"), dst = startServer("lat_dst");
  Relay relay = startRelay(src, dst, "");
  if (!relayReady(relay)) std::exit(1);
  long n = static_cast<long>(rate * seconds);
  std::vector<double> delays;
  delays.reserve(static_cast<size_t>(n));
  int rfd = tarnopen(dst.name.c_str(), "r&");
  std::atomic<bool> readerUp{false};
  std::thread reader([&] {
    char srcname[64];
    char *buf = nullptr;
    int bufsize = 0, id = 0, nbytes = 0;
    double t = 0;
    readerUp = true;
    int idle = 0;
    while (static_cast<long>(delays.size()) < n && idle < 10) {
      if (tarnreap_timeout(rfd, 0.5, &id, srcname, &t, &buf, &nbytes, &bufsize) == 0) {
        delays.push_back(wallNow() - t);
        idle = 0;
      } else {
        ++idle;
      }
    }
    std::free(buf);
  });
  while (!readerUp) std::this_thread::yield();
  double cpu0 = cpuSeconds(relay.pid);
  double machine0 = machineCpuSeconds();
  double servers0 = cpuSeconds(src.pid) + cpuSeconds(dst.pid), self0 = selfCpuSeconds();
  int wfd = tarnopen(src.name.c_str(), "w&");
  std::string bytes(kPacketBytes, 'l');
  // Puts in steps of one millisecond, each with the packets due by then.
  auto start = Clock::now();
  long put = 0;
  while (put < n) {
    long due = std::min(n, static_cast<long>(secondsSince(start) * rate) + 1);
    for (; put < due; ++put) tarnput(wfd, "BENCH_1/LAT", wallNow(), bytes.data(), kPacketBytes);
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long>(put / rate * 1e6)));
  }
  double secs = secondsSince(start);
  reader.join();
  tarnclose(wfd);
  tarnclose(rfd);
  CpuShares shares{cpuSeconds(src.pid) + cpuSeconds(dst.pid) - servers0, selfCpuSeconds() - self0};
  report("latency", n, secs, cpuSeconds(relay.pid) - cpu0, machineCpuSeconds() - machine0, relay.pid,
         static_cast<long>(delays.size()) == n, shares);
  std::sort(delays.begin(), delays.end());
  if (!delays.empty()) {
    auto at = [&](double q) { return delays[static_cast<size_t>(q * static_cast<double>(delays.size() - 1))] * 1e3; };
    std::printf("latency  at %.0f packets/s offered: median %.3f ms, 99th percentile %.3f ms, max %.3f ms\n", rate,
                at(0.5), at(0.99), delays.back() * 1e3);
  }
  stopProcess(relay.pid);
  stopProcess(src.pid);
  stopProcess(dst.pid);
}

}  // namespace

int main(int argc, char **argv) {
  long backlogPackets = argc > 1 ? std::atol(argv[1]) : 1000000;
  long livePackets = argc > 2 ? std::atol(argv[2]) : 500000;
  double rate = argc > 3 ? std::atof(argv[3]) : 10000;
  double seconds = argc > 4 ? std::atof(argv[4]) : 5;
  if (backlogPackets < 1 || livePackets < 1 || rate <= 0 || seconds <= 0) {
    std::fprintf(stderr, "usage: relay_bench [BACKLOG_PACKETS [LIVE_PACKETS [LATENCY_RATE [LATENCY_SECONDS]]]]\n");
    return 2;
  }
  std::printf("relay_bench: %d-byte packets, one reader and one writer, servers and relay on this machine\n",
              kPacketBytes);
  backlog(backlogPackets);
  live(livePackets);
  latency(rate, seconds);
  std::string cleanup = "rm -rf " + workDir();
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", workDir().c_str());
  return 0;
}
