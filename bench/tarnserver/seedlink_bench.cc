// tarnserver_seedlink_bench: records per second from a tarn server's
// backlog to one SeedLink client, protocol 4.0 and 3.1.
//
// A local tarnserver with --seedlink gets 200,000 miniSEED records of 512
// bytes (10 stations); a client then asks for all of them (4.0: DATA 0;
// 3.1: TIME from before the first) and reads them through the wire
// library. Printed: records/s, MB/s and the server's CPU time per version.
//
// Usage: tarnserver_seedlink_bench [RECORDS]
#include <cstdio>
#include <cstdlib>

#include "bench_support.h"

using namespace hostile;

namespace {

void readAll(const BenchServer &s, int version, size_t records) {
  SlConn c(s.seedlinkName(), "127.0.0.1");
  bool ok = version == 4
                ? c.command("SLPROTO 4.0") && c.command("STATION *_*") && c.command("DATA 0")
                : c.command("STATION * *") && c.command("TIME 2026,12,06,00,00,00");
  if (!ok) {
    std::printf("  protocol %d: the handshake failed\n", version);
    return;
  }
  double cpu0 = s.cpuSeconds();
  auto t0 = Clock::now();
  c.send("END\r\n");
  size_t got = c.packets(records, 10000);
  double took = secondsSince(t0);
  double mb = static_cast<double>(got) * (version == 4 ? 512 + 23 : 520) / 1e6;
  std::printf(
      "  protocol %d.%d: %zu records in %.2f s: %.0f records/s, %.1f MB/s; server CPU %.2f s\n",
      version, version == 4 ? 0 : 1, got, took, static_cast<double>(got) / took, mb / took,
      s.cpuSeconds() - cpu0);
}

}  // namespace

int main(int argc, char **argv) {
  size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  if (records == 0) {
    std::fprintf(stderr, "usage: tarnserver_seedlink_bench [RECORDS]\n");
    return 2;
  }
  if (!serverKnowsSeedlink()) {
    std::printf("server %s does not serve SeedLink\n", serverPath().c_str());
    return 0;
  }
  BenchServer s({"-s", "512M", "--seedlink", "0"});
  if (!s.up() || s.seedlinkName().empty()) {
    std::fprintf(stderr, "the server did not start: %s\n", s.log().c_str());
    return 1;
  }
  double filled = fillMseed(s.name(), mseedRecords(2000), static_cast<int>(records), 10);
  std::printf("== a backlog of %zu 512-byte records (put in %.2f s) to one SeedLink client\n",
              records, filled);
  readAll(s, 4, records);
  readAll(s, 3, records);
  return 0;
}
