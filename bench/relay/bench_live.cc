// Cases that put packets while the relay runs: `live` (`tarn gen` as fast as
// the source takes them) and the latency cases (this program puts at a
// steady rate and times each packet from its put to its arrival).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_case_support.h"
#include "bench_cases.h"
#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"

namespace relaybench {

namespace {

const size_t kBytes = 512;
const double kReadyLimit = 30;  // seconds for the relay to connect

// Starts a source and a destination server and a relay between them, which
// starts with the newest packet; false (with the rig's reason) on failure.
bool startPair(Rig &rig, long packets, std::string &src, std::string &dst) {
  src = rig.startServer(ringBytesFor(packets, kBytes), maxPacketFor(kBytes));
  dst = src.empty() ? "" : rig.startServer(ringBytesFor(packets, kBytes), maxPacketFor(kBytes));
  return !dst.empty() && rig.startRelay({{src}, {dst}, "", ""}) && rig.waitRelayReady(kReadyLimit);
}

// Reaps from a destination in a thread of its own and keeps, for each
// packet, the seconds from its put (the packet's time, on the wall clock) to
// its arrival. Ends after `expected` packets, after five seconds without
// one, or after the case's time limit.
class ArrivalWatch {
 public:
  ArrivalWatch(const std::string &tarn, long expected)
      : m_fd(tarnopen(tarn.c_str(), "r&")), m_expected(expected), m_thread([this] { run(); }) {}
  ~ArrivalWatch() { finish(); }

  // Waits for the thread; the delays, sorted.
  const std::vector<double> &finish() {
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) tarnclose(m_fd), m_fd = -1;
    std::sort(m_delays.begin(), m_delays.end());
    return m_delays;
  }

 private:
  void run() {
    char srcname[64];
    char *buf = nullptr;
    int bufsize = 0, id = 0, nbytes = 0, idle = 0;
    double time = 0;
    auto start = Clock::now();
    m_delays.reserve(static_cast<size_t>(m_expected));
    while (m_fd >= 0 && static_cast<long>(m_delays.size()) < m_expected && idle < 10 &&
           secondsSince(start) < kCaseLimit) {
      if (tarnreap_timeout(m_fd, 0.5, &id, srcname, &time, &buf, &nbytes, &bufsize) == 0) {
        m_delays.push_back(wallNow() - time);
        idle = 0;
      } else {
        ++idle;
      }
    }
    std::free(buf);
  }

  int m_fd;
  long m_expected;
  std::vector<double> m_delays;
  std::thread m_thread;
};

// Puts `packets` packets at `rate` per second, in steps of about a
// millisecond, each with the wall-clock time of its put. Returns the seconds
// the puts took, or -1 (with why) when they failed or ran past the limit.
double putAtRate(const std::string &tarn, double rate, long packets, Ledger &put,
                 std::string &why) {
  std::string bytes = stuffedBytes(kBytes);
  int fd = bytes.empty() ? -1 : openForPuts(tarn, why);
  if (fd < 0) return -1;
  const std::string name = "BENCH_1/LAT";
  auto start = Clock::now();
  bool ok = true;
  for (long done = 0; done < packets && ok;) {
    long due = std::min(packets, static_cast<long>(secondsSince(start) * rate) + 1);
    for (; done < due && ok; ++done) {
      double time = wallNow();
      ok = putOne(fd, name, time, bytes, why);
      if (ok) put.add(name, time);
    }
    auto next = std::chrono::duration<double>(static_cast<double>(done) / rate);
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(next));
    if (secondsSince(start) > static_cast<double>(packets) / rate + kCaseLimit)
      ok = false, why = "puts too slow";
  }
  double secs = secondsSince(start);
  return closePuts(fd, why) && ok ? secs : -1;
}

double percentileMs(const std::vector<double> &sorted, double q) {
  return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))] * 1e3;
}

// What `tarn gen` put: what the source holds. A note says so when that is
// not every packet it was to put.
Ledger whatGenPut(CaseResult &r, const std::string &src) {
  Ledger put;
  std::string why;
  if (!readBack(src, put, why) && r.failure.empty()) r.failure = why;
  if (static_cast<long>(put.size()) != r.packets) {
    r.notes.push_back("the source holds " + std::to_string(put.size()) + " packets of the " +
                      std::to_string(r.packets) + " tarn gen was to put");
  }
  return put;
}

}  // namespace

CaseResult runLive(long packets) {
  CaseResult r;
  r.name = "live";
  r.packetBytes = kBytes;
  r.packets = packets;
  Rig rig("live");
  std::string src, dst;
  if (!startPair(rig, packets, src, dst)) return failed(r, rig);
  CpuMark before = markCpu(rig, -1);
  auto start = Clock::now();
  std::unique_ptr<ChildProcess> gen =
      startProgram({binDir() + "/tarn", "gen", src, "-n", std::to_string(packets), "-s",
                    std::to_string(kBytes - PKT_HEADER_SIZE)},
                   workDir() + "/live_gen.log");
  if (!gen) {
    r.failure = "tarn gen could not be started";
    return r;
  }
  std::vector<double> reached = waitForLastIds({dst}, static_cast<int>(packets - 1), start, kStall,
                                               kCaseLimit, [&] { return rig.relayRunning(); });
  CpuMark after = markCpu(rig, -1);
  Ending fed = gen->stop(0, std::chrono::seconds(60));  // it ends by itself
  setCpu(r, before, after);
  r.feederCpu = fed.cpuSeconds;
  setArrival(r, reached, packets);
  if (r.failure.empty() && (!fed.ended || fed.exitStatus != 0))
    r.failure = "tarn gen failed (" + gen->outPath() + ")";
  Ledger expected = whatGenPut(r, src);
  finishCase(r, rig, {dst}, expected);
  return r;
}

CaseResult runLatency(const std::string &name, double rate, long packets) {
  CaseResult r;
  r.name = name;
  r.packetBytes = kBytes;
  r.packets = packets;
  Rig rig(name);
  std::string src, dst;
  if (!startPair(rig, packets, src, dst)) return failed(r, rig);
  ArrivalWatch watch(dst, packets);
  CpuMark before = markCpu(rig, getpid());
  Ledger expected;
  r.seconds = putAtRate(src, rate, packets, expected, r.failure);
  const std::vector<double> &delays = watch.finish();
  setCpu(r, before, markCpu(rig, getpid()));
  if (r.seconds < 0) r.seconds = 0;
  if (!delays.empty()) {
    r.p50ms = percentileMs(delays, 0.5);
    r.p99ms = percentileMs(delays, 0.99);
    char text[160];
    std::snprintf(
        text, sizeof text,
        "offered %.0f packets/s; put to arrival: max %.3f ms over %zu packets seen arriving", rate,
        delays.back() * 1e3, delays.size());
    r.notes.push_back(text);
  }
  finishCase(r, rig, {dst}, expected);
  return r;
}

}  // namespace relaybench
