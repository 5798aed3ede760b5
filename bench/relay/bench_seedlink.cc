// From a SeedLink server: a tarnserver's backlog of 512-byte miniSEED
// records (ten streams of one station) served over SeedLink 4.0 on a port
// of its own, read by the relay's SeedLink reader from the start and put
// onto a second tarn server. Timed from the relay's start until the
// destination holds the last record; the relay's CPU per record is the
// reader's protocol, naming and checking plus the writer's puts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_case_support.h"
#include "bench_cases.h"
#include "bench_packets.h"

namespace relaybench {

namespace {

const char *const kStartTime = "2000-01-01";

// A port on 127.0.0.1 nothing listens on just now, or -1.
int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace

CaseResult runSeedLinkIn(long packets) {
  CaseResult r;
  r.name = "seedlink";
  r.packetBytes = 512;
  Rig rig(r.name);
  int port = freePort();
  RelayPlan plan;
  plan.seedlink = "127.0.0.1:" + std::to_string(port);
  plan.seedlinkSelect = "XX_BENCH";
  plan.starttime = kStartTime;
  std::string source =
      rig.startServer(ringBytesFor(packets, 512), maxPacketFor(512), {"--seedlink", plan.seedlink});
  plan.destinations = {rig.startServer(ringBytesFor(packets, 512), maxPacketFor(512))};
  if (port < 0 || source.empty() || plan.destinations[0].empty()) return failed(r, rig);
  Ledger expected;
  if (!fillMseedSource(source, packets, r.packets, r.failure, &expected)) return r;
  CpuMark before = markCpu(rig, getpid());
  auto start = Clock::now();
  if (!rig.startRelay(plan)) return failed(r, rig);
  std::vector<double> reached =
      waitForLastIds(plan.destinations, static_cast<int>(packets - 1), start, kStall, kCaseLimit,
                     [&] { return rig.relayRunning(); });
  setCpu(r, before, markCpu(rig, getpid()));
  setArrival(r, reached, r.packets);
  r.notes.push_back(
      "a tarnserver's backlog of 512-byte miniSEED records (10 streams) served over SeedLink 4.0, "
      "read by the relay from the start onto a tarn server");
  finishCase(r, rig, plan.destinations, expected);
  return r;
}

}  // namespace relaybench
