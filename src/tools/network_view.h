// What `tarn status` and `tarn monitor` show, judged at one moment: every
// watched server, and every relay found on any of them with its newest
// report (a relay that reports to several servers once, from the server
// with its newest report).
//
// A relay is stale when its newest status packet is older than three of
// its report intervals, and lost once it is older than five; the interval
// is what its reports show, else the relay's default of 2 seconds, and
// never under 1 second (the relay pauses whole seconds between reports). A
// relay whose newest report is the one it sends as it stops (it says
// "final") is stopped: it stopped in order, and is neither stale nor in need
// of attention. A relay whose reports end without it (killed, crashed) goes
// stale, then lost, however soon after its start. Otherwise a connection
// needs attention when its relay is stale, its newest report did not read,
// it is not in state "yes", its link is lost, or it has a fault (a writer
// that cannot write). A relay whose status server cannot be reached now
// stays in the view with its last report, saying so (stale in time, never
// lost: its reports may still be coming where they cannot be read).
//
// Every source of every server that is up is a stream, but for the relays'
// own status and log packets: its data latency is now minus its newest
// packet's time, its feed latency now minus when that packet arrived (on
// the server's clock; unknown from older servers). A stream is silent when
// its newest packet arrived longer ago than `silentAfter` seconds (judged
// by its data latency where the arrival is not known); a silent stream
// needs attention.
//
// The JSON form is one document for scripts; docs/man/tarn.1 lists its keys.
//
// Thread-safety: plain values and functions without shared state.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/server_watch.h"

namespace tarntool {

constexpr double kDefaultReportInterval = 2.0;
constexpr double kShortestReportInterval = 1.0;
constexpr double kStaleIntervals = 3.0;
constexpr double kLostIntervals = 5.0;
// Seconds without a new packet after which a stream is silent: longer than
// the gap between two 512-byte miniSEED records of a 1-sample-per-second
// channel, so that long-period channels do not cry wolf.
constexpr double kDefaultSilentAfter = 600.0;

struct RelayView {
  RelayState state;
  double age = 0.0;       // seconds since its newest status packet
  double interval = 0.0;  // the report interval it is judged by
  bool stale = false;
  bool lost = false;         // stale for long: it died without a final report
  bool stopped = false;      // its newest report is its final one
  std::string unreachable;   // why its status server cannot be reached now; "" while it can
};

struct StreamView {
  std::string server;  // the tarn it is on
  std::string name;    // its source name
  uint64_t packets = 0;
  double newestTime = 0.0;              // its newest packet's time
  std::optional<double> arrival;        // when that packet arrived (epoch seconds)
  double dataLatency = 0.0;             // now minus newestTime
  std::optional<double> feedLatency;    // now minus arrival
  bool silent = false;
};

// Whether a source is a relay's own status or log packets (not a stream).
bool isRelayOwnSource(const std::string &name);

struct NetworkView {
  double now = 0.0;
  double silentAfter = kDefaultSilentAfter;
  std::vector<ServerState> servers;  // in the order watched
  std::vector<RelayView> relays;     // by target
  std::vector<StreamView> streams;   // of the servers up, by server then as listed
  size_t silentStreams = 0;

  // Whether anything needs attention: a server down, a relay, a silent stream.
  bool needsAttention() const;
  // Whether no server could be reached.
  bool nothingReached() const;
};

// Seconds after its newest status packet that a relay is left out of the
// view (`tarn monitor` and `tarn status --forget-after`).
constexpr double kDefaultForgetAfter = 600.0;

// `forgetAfter`: a relay whose newest status packet is older than that many
// seconds is left out (0: none is).
NetworkView buildView(const std::vector<WatchSnapshot> &snapshots, double now,
                      double forgetAfter = 0.0, double silentAfter = kDefaultSilentAfter);

bool needsAttention(const RelayView &relay, const ConnectionReport &c);
// A relay needs attention when it is stale, its newest report did not read,
// or one of its connections needs it.
bool needsAttention(const RelayView &relay);

nlohmann::ordered_json toJson(const NetworkView &view);
// The document as text (indent -1: one line), bytes that are not UTF-8 in
// names replaced, every character past ASCII escaped.
std::string jsonText(const nlohmann::ordered_json &j, int indent);

// Bytes as "12.3 MiB"; seconds as "0.25 s", "3 min", "2.0 h", "5 d".
std::string bytesText(double bytes);
std::string durationText(double seconds);

}  // namespace tarntool
