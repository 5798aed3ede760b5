// The list of cases: their names, what --help says of them, their sizes and
// how each is run.
#include "bench_cases.h"

#include <algorithm>

namespace relaybench {

namespace {

const long kFilterNames = 10000;  // source names at the filtered case's source
const int kFilterEvery = 100;     // its match selects one name in this many

CaseResult backlog(const std::string &name, long packets, size_t bytes) {
  BacklogShape shape;
  shape.name = name;
  shape.packets = packets;
  shape.bytes = bytes;
  return runBacklog(shape);
}

CaseResult backlogNoCheck(long packets) {
  BacklogShape shape;
  shape.name = "backlog-nocheck";
  shape.packets = packets;
  shape.checkUnstuff = false;
  return runBacklog(shape);
}

CaseResult fanOut(long packets) {
  BacklogShape shape;
  shape.name = "fan-out";
  shape.packets = packets;
  shape.destinations = 3;
  return runBacklog(shape);
}

CaseResult fanIn(long packets) {
  BacklogShape shape;
  shape.name = "fan-in";
  shape.sources = 3;
  shape.packets = std::max(1L, packets / 3);
  return runBacklog(shape);
}

// Names BENCH_1_00000/DAT to BENCH_1_09999/DAT; the match takes those whose
// number ends in 00.
CaseResult filtered(long packets) {
  BacklogShape shape;
  shape.name = "filtered";
  shape.packets = packets;
  shape.names = kFilterNames;
  shape.keepEvery = kFilterEvery;
  shape.match = "BENCH_1_[0-9]{3}00/DAT";
  return runBacklog(shape);
}

}  // namespace

const std::vector<CaseEntry> &allCases() {
  static const std::vector<CaseEntry> cases = {
      {"backlog", "512-byte packets already at the source when the relay starts", 1000000, 100000,
       [](long n) { return backlog("backlog", n, 512); }},
      {"backlog-nocheck", "the same with the reader's check_unstuff false", 1000000, 100000,
       backlogNoCheck},
      {"live", "512-byte packets from `tarn gen`, as fast as it can, while the relay runs", 500000,
       50000, runLive},
      {"latency-10k", "512-byte packets put at 10,000/s: put-to-arrival median and 99th percentile",
       50000, 10000, [](long n) { return runLatency("latency-10k", 10000, n); }},
      {"latency-50k", "the same at 50,000/s", 250000, 50000,
       [](long n) { return runLatency("latency-50k", 50000, n); }},
      {"8k-backlog", "8 KiB packets already at the source", 200000, 20000,
       [](long n) { return backlog("8k-backlog", n, 8192); }},
      {"fan-out",
       "one reader, one queue, three writers to three servers (packets = per destination)", 500000,
       50000, fanOut},
      {"fan-in",
       "three readers from three servers into one queue and one writer (packets = all three)",
       900000, 90000, fanIn},
      {"filtered", "10,000 source names at the source, a match that selects 1% of them", 2000000,
       200000, filtered},
      {"1m-backlog", "1 MiB packets already at the source", 2000, 200,
       [](long n) { return backlog("1m-backlog", n, 1u << 20); }},
      {"jetstream-out", "as backlog, but published onto a NATS JetStream stream (nats-server -js)",
       200000, 20000, runJetStreamOut},
      {"jetstream-in", "a JetStream stream's backlog of 512-byte packets read onto a tarn server",
       200000, 20000, runJetStreamIn},
      {"sds", "512-byte miniSEED records from a tarn backlog into an SDS archive (check_unstuff)",
       500000, 50000, [](long n) { return runSdsBacklog("sds", n, true); }},
      {"sds-nocheck", "the same with check_unstuff false", 500000, 50000,
       [](long n) { return runSdsBacklog("sds-nocheck", n, false); }},
      {"seedlink",
       "512-byte miniSEED records from a SeedLink server's backlog (tarnserver --seedlink) onto a "
       "tarn server",
       200000, 20000, [](long n) { return runSeedLinkIn(n); }},
  };
  return cases;
}

}  // namespace relaybench
