// tarnserver_datalink_bench: records per second written to a tarn server's
// DataLink port with acknowledgement (WRITE with flag A, each writer
// waiting for its OK before the next record, as DataLink writers do), by
// one writer and by 100 writers at once, each writer a stream of its own;
// then the rate at which one client streams them all back.
//
// A local tarnserver with --datalink and a ring in memory; 512-byte Steim-2
// records, checked by the server as they come. Printed: records/s, the
// median and worst time from a WRITE to its OK, and the server's CPU time.
//
// Usage: tarnserver_datalink_bench [RECORDS]   (in all, per case; default 40000)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_support.h"

using namespace hostile;

namespace {

// Writes `perWriter` records from each of `writers` connections at once.
size_t writeCase(const BenchServer &s, int writers, size_t perWriter) {
  std::vector<std::vector<std::string>> records;
  for (int w = 0; w < writers; ++w)
    records.push_back(stationRecords("W" + std::to_string(w), perWriter));
  std::vector<std::vector<double>> ms(static_cast<size_t>(writers));
  std::vector<size_t> stored(static_cast<size_t>(writers), 0);
  double cpu0 = s.cpuSeconds();
  auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      DlConn c(s.datalinkName(), loopback(w, 10));  // -L allows 64 per address
      const std::string id = "XX_W" + std::to_string(w) + "_00_HHZ/MSEED";
      for (const std::string &r : records[static_cast<size_t>(w)]) {
        auto start = Clock::now();
        if (!c.write(id, r)) break;
        ms[static_cast<size_t>(w)].push_back(secondsSince(start) * 1000);
        ++stored[static_cast<size_t>(w)];
      }
    });
  }
  for (std::thread &t : threads) t.join();
  double took = secondsSince(t0);
  std::vector<double> all;
  size_t total = 0;
  for (int w = 0; w < writers; ++w) {
    all.insert(all.end(), ms[static_cast<size_t>(w)].begin(), ms[static_cast<size_t>(w)].end());
    total += stored[static_cast<size_t>(w)];
  }
  std::sort(all.begin(), all.end());
  std::printf(
      "  %3d writer%s: %zu records acknowledged in %.2f s: %.0f records/s; WRITE to OK median "
      "%.3f ms, worst %.1f ms; server CPU %.2f s\n",
      writers, writers == 1 ? " " : "s", total, took, static_cast<double>(total) / took,
      all.empty() ? 0 : all[all.size() / 2], all.empty() ? 0 : all.back(), s.cpuSeconds() - cpu0);
  return total;
}

void readCase(const BenchServer &s, size_t records) {
  DlConn c(s.datalinkName(), "127.0.0.1");
  datalink::DatalinkReader::Message m;
  if (!c.send("POSITION SET EARLIEST 0") || !c.next(m) || m.header.rfind("OK", 0) != 0) {
    std::printf("  reading: POSITION failed\n");
    return;
  }
  double cpu0 = s.cpuSeconds();
  auto t0 = Clock::now();
  c.send("STREAM");
  size_t got = c.packets(records, 10000);
  double took = secondsSince(t0);
  std::printf("  one reader streams %zu records in %.2f s: %.0f records/s; server CPU %.2f s\n",
              got, took, static_cast<double>(got) / took, s.cpuSeconds() - cpu0);
}

}  // namespace

int main(int argc, char **argv) {
  if (!serverKnowsDatalink()) {
    std::printf("skipped: the server %s does not speak DataLink\n", serverPath().c_str());
    return 0;
  }
  size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 40000;
  std::printf("DataLink WRITE with acknowledgement, 512-byte records, %zu per case\n", records);
  BenchServer s({"-s", "256M", "--datalink", "0"});
  if (!s.up() || s.datalinkName().empty()) {
    std::printf("  the server did not start: %s\n", s.log().c_str());
    return 1;
  }
  size_t stored = writeCase(s, 1, records);
  stored += writeCase(s, 100, records / 100);
  readCase(s, stored);
  return 0;
}
