// The relay benchmark's cases. Each starts its own tarn servers and relay on
// 127.0.0.1, measures one way of using the relay, stops everything it
// started and returns one row of the table.
//
//   backlog-style cases (bench_backlog.cc): the sources hold every packet
//     before the relay starts; the relay's readers start from the oldest
//     (a starttime before the first packet); measured from the relay's start
//     until every destination holds its last packet.
//   live and latency (bench_live.cc): packets are put while the relay runs.
//
// Thread-safety: one case at a time.
#ifndef BENCH_RELAY_BENCH_CASES_H
#define BENCH_RELAY_BENCH_CASES_H

#include <functional>
#include <string>
#include <vector>

#include "bench_table.h"

namespace relaybench {

struct CaseEntry {
  std::string name;     // as --case takes it and the table shows it
  std::string summary;  // for --help
  long fullPackets;     // packets put by default
  long quickPackets;    // packets put with --quick
  std::function<CaseResult(long packets)> run;
};

// Every case, in the order they run.
const std::vector<CaseEntry> &allCases();

// The shape of a backlog-style case.
struct BacklogShape {
  std::string name;
  int sources = 1;           // each with its own server and reader
  int destinations = 1;      // each with its own server and writer
  long packets = 0;          // put at each source
  size_t bytes = 512;        // of each packet, its header included
  int names = 1;             // source names at each source, in turn
  std::string match;         // the readers' match; empty: all
  int keepEvery = 1;         // the match selects names whose number is a multiple
  bool checkUnstuff = true;  // the readers'
};

CaseResult runBacklog(const BacklogShape &shape);
CaseResult runLive(long packets);
CaseResult runLatency(const std::string &name, double rate, long packets);
// Through NATS JetStream (bench_jetstream.cc): 512-byte packets from a tarn
// server's backlog onto a stream, and from a stream's backlog onto a tarn
// server.
CaseResult runJetStreamOut(long packets);
CaseResult runJetStreamIn(long packets);
// Into an SDS archive (bench_sds.cc): 512-byte miniSEED records from a tarn
// server's backlog, the readers checking the records or not.
CaseResult runSdsBacklog(const std::string &name, long packets, bool checkUnstuff);
// Puts `count` 512-byte miniSEED records of ten streams onto `tarn`, the
// streams in turn, each record of a stream a record's span after the one
// before, named as `tarn import` names them; each one's name and start time
// go into `expected` when given.
class Ledger;
bool fillMseedSource(const std::string &tarn, long count, long &put, std::string &why,
                     Ledger *expected);
// From a SeedLink server (bench_seedlink.cc): a tarnserver's backlog of
// 512-byte miniSEED records served over SeedLink, through the relay onto a
// tarn server.
CaseResult runSeedLinkIn(long packets);

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_CASES_H
