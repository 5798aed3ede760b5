// Backlog-style cases: the sources are filled before the relay starts, and
// the clock runs from the relay's start until every destination holds its
// last packet.
#include <unistd.h>

#include <cstdio>

#include "bench_case_support.h"
#include "bench_cases.h"

namespace relaybench {

namespace {

const double kBaseTime = 1765100000.0;  // time of the first packet
const double kStep = 1e-5;              // between packets of a source
const char *const kStartTime = "1765099999";

// The source names at source `source` (from 1): one name, or `names` of them
// numbered from 0 in five digits.
std::vector<std::string> sourceNames(const BacklogShape &shape, int source) {
  std::string stem = "BENCH_" + std::to_string(source);
  if (shape.names <= 1) return {stem + "/DAT"};
  std::vector<std::string> names;
  for (int k = 0; k < shape.names; ++k) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d", k);
    names.push_back(stem + "_" + number + "/DAT");
  }
  return names;
}

bool startServers(Rig &rig, int count, long packets, size_t bytes,
                  std::vector<std::string> &tarns) {
  for (int i = 0; i < count; ++i) {
    tarns.push_back(rig.startServer(ringBytesFor(packets, bytes), maxPacketFor(bytes)));
    if (tarns.back().empty()) return false;
  }
  return true;
}

// Puts each source's packets; `expected` receives those the match selects.
bool fillSources(const BacklogShape &shape, const std::vector<std::string> &sources,
                 const std::string &bytes, Ledger &expected, std::string &why) {
  for (size_t s = 0; s < sources.size(); ++s) {
    std::vector<std::string> names = sourceNames(shape, static_cast<int>(s) + 1);
    auto keep = [&](long i) { return i % static_cast<long>(names.size()) % shape.keepEvery == 0; };
    if (!putPackets(sources[s], bytes, names, shape.packets, kBaseTime, kStep, expected, keep, why))
      return false;
  }
  return true;
}

void addNotes(CaseResult &r, const BacklogShape &shape, const std::vector<double> &reached) {
  if (shape.destinations > 1) {
    std::string rates;
    for (double t : reached) {
      rates += (rates.empty() ? "" : ", ") +
               (t > 0 ? std::to_string(static_cast<long>(static_cast<double>(r.packets) / t))
                      : std::string("-"));
    }
    r.notes.push_back("one reader, one queue, " + std::to_string(shape.destinations) +
                      " writers: packets/s delivered to each destination " + rates);
  }
  if (shape.sources > 1) {
    r.notes.push_back(std::to_string(shape.sources) + " readers of " +
                      std::to_string(shape.packets) +
                      " packets each into one queue and one writer");
  }
  if (!shape.checkUnstuff) r.notes.push_back("the reader's check_unstuff false");
  if (!shape.match.empty()) {
    r.notes.push_back("the source held " + std::to_string(shape.packets) + " packets of " +
                      std::to_string(shape.names) + " source names; match '" + shape.match +
                      "' let " + std::to_string(r.packets) +
                      " through; figures per delivered packet");
  }
}

}  // namespace

CaseResult runBacklog(const BacklogShape &shape) {
  CaseResult r;
  r.name = shape.name;
  r.packetBytes = shape.bytes;
  Rig rig(shape.name);
  std::string bytes = stuffedBytes(shape.bytes);
  if (bytes.empty()) {
    r.failure =
        "the packet library did not stuff a packet of " + std::to_string(shape.bytes) + " bytes";
    return r;
  }
  std::vector<std::string> sources, destinations;
  long atEachDestination = shape.packets * shape.sources;
  if (!startServers(rig, shape.sources, shape.packets, shape.bytes, sources) ||
      !startServers(rig, shape.destinations, atEachDestination, shape.bytes, destinations)) {
    return failed(r, rig);
  }
  Ledger expected;
  if (!fillSources(shape, sources, bytes, expected, r.failure)) return r;
  r.packets = static_cast<long>(expected.size());
  CpuMark before = markCpu(rig, getpid());
  auto start = Clock::now();
  RelayPlan plan{sources, destinations, shape.match, kStartTime};
  plan.checkUnstuff = shape.checkUnstuff;
  if (!rig.startRelay(plan)) return failed(r, rig);
  std::vector<double> reached =
      waitForLastIds(destinations, static_cast<int>(r.packets - 1), start, kStall, kCaseLimit,
                     [&] { return rig.relayRunning(); });
  setCpu(r, before, markCpu(rig, getpid()));
  setArrival(r, reached, r.packets);
  addNotes(r, shape, reached);
  finishCase(r, rig, destinations, expected);
  return r;
}

}  // namespace relaybench
