// tarn_bench: one writer and one reader through a local tarnserver.
//
// Starts `tarnserver -p 0` (from the build's bin folder, or
// TARN_BENCH_SERVER), then for 512-byte and 8 KiB packets runs a writer
// thread (tarnput) and a reader thread (tarnreap_timeout) at the same time
// and prints packets/s and MB/s for each side with the server's CPU time.
// 64- and 512-byte packets also go as identified puts (as a relay's writer
// sends them: each with an origin and a sequence that the server checks
// against its window of identities), "iput" in the table.
// Usage: tarn_bench [SECONDS_PER_SIZE]   (default 3)
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "process.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The server's own messages would interleave with the figures: they go
// nowhere. Null when it does not start.
std::unique_ptr<testsupport::ChildProcess> startServer(std::string &name) {
  const char *env = std::getenv("TARN_BENCH_SERVER");
  std::string bin = env ? env : testsupport::programPath("tarnserver");
  std::string ready = "/tmp/tarn_bench_ready." + std::to_string(getpid());
  std::remove(ready.c_str());
  std::unique_ptr<testsupport::ChildProcess> server;
  try {
    server = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{bin, "-p", "0", "-s", "512M", "-R", ready},
        testsupport::SpawnOptions{});
  } catch (const std::runtime_error &e) {
    std::fprintf(stderr, "tarn_bench: %s\n", e.what());
    return nullptr;
  }
  for (int i = 0; i < 1000 && name.empty() && server->running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(ready);
    std::getline(in, name);
  }
  std::remove(ready.c_str());
  if (name.empty()) return nullptr;
  return server;
}

struct Side {
  long packets = 0;
  double secs = 0;
};

void runSize(const std::string &tarn, pid_t server, int size, double duration,
             bool identified = false) {
  int wfd = tarnopen(tarn.c_str(), "w&");
  int rfd = tarnopen(tarn.c_str(), "r&");
  if (wfd < 0 || rfd < 0) {
    std::fprintf(stderr, "cannot open %s\n", tarn.c_str());
    std::exit(1);
  }
  // A fresh descriptor stands at the next packet to arrive.
  std::atomic<bool> writerDone{false};
  std::atomic<long> written{0};
  Side put, reap;
  double cpu0 = cpuSeconds(server);
  auto start = Clock::now();
  std::thread writer([&] {
    std::string bytes(static_cast<size_t>(size), 'b');
    auto end = start +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
    long n = 0;
    static uint64_t origin = 0x5eed;  // a new origin per run: no repeats
    ++origin;
    while (Clock::now() < end) {
      for (int i = 0; i < 256; ++i) {
        if (identified) {
          tarnclient::PutIdentity id{origin, static_cast<uint64_t>(n + i)};
          tarnclient::putNumbered(wfd, "BENCH/w", 1.0 + n + i, bytes.data(), size, -1, nullptr,
                                  &id);
        } else {
          tarnput(wfd, "BENCH/w", 1.0 + n + i, bytes.data(), size);
        }
      }
      n += 256;
    }
    tarnclose(wfd);
    put.packets = n;
    put.secs = seconds(start, Clock::now());
    written = n;
    writerDone = true;
  });
  std::thread reader([&] {
    char src[64];
    char *buf = nullptr;
    int bufsize = 0, id, nbytes;
    double t;
    long n = 0;
    auto last = start;
    for (;;) {
      if (tarnreap_timeout(rfd, 1.0, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
        ++n;
        last = Clock::now();
        if (writerDone && n >= written) break;
        continue;
      }
      if (writerDone) break;  // a time-out after the writer ended: all that came has come
    }
    reap.packets = n;
    reap.secs = seconds(start, last == start ? Clock::now() : last);
    std::free(buf);
  });
  writer.join();
  reader.join();
  double cpu = cpuSeconds(server) - cpu0;
  double wall = seconds(start, Clock::now());
  auto line = [&](const char *what, const Side &s) {
    double rate = s.packets / s.secs;
    std::printf("%6d-byte packets  %-4s %10.0f packets/s  %8.1f MB/s  (%ld packets in %.2f s)\n",
                size, what, rate, rate * size / 1e6, s.packets, s.secs);
  };
  line(identified ? "iput" : "put", put);
  line("reap", reap);
  std::printf("%6d-byte packets  server CPU %.2f s in %.2f s (%.0f%% of one core)%s\n", size, cpu,
              wall, 100 * cpu / wall,
              reap.packets < put.packets ? "  [reader missed packets: ring overrun]" : "");
  tarnclose(rfd);
}

}  // namespace

int main(int argc, char **argv) {
  double duration = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (duration <= 0) duration = 3.0;
  std::string name;
  std::unique_ptr<testsupport::ChildProcess> server = startServer(name);
  if (!server) {
    std::fprintf(stderr, "tarn_bench: cannot start tarnserver\n");
    return 1;
  }
  std::printf("tarn_bench: one writer and one reader through tarnserver %s, %.1f s per size\n",
              name.c_str(), duration);
  runSize(name, server->pid(), 64, duration);
  runSize(name, server->pid(), 64, duration, true);
  runSize(name, server->pid(), 512, duration);
  runSize(name, server->pid(), 512, duration, true);
  runSize(name, server->pid(), 8192, duration);
  server->stop(SIGTERM, std::chrono::seconds(30));
  return 0;
}
