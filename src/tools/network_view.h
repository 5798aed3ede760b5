// What `tarn status` and `tarn monitor` show, judged at one moment: every
// watched server, and every relay found on any of them with its newest
// report (a relay that reports to several servers once, from the server
// with its newest report).
//
// A relay is stale when its newest status packet is older than three of
// its report intervals; the interval is what its reports show, else the
// relay's default of 2 seconds, and never under 1 second (the relay pauses
// whole seconds between reports). A relay whose newest report is the one it
// sends as it stops (every connection stopped) is stopped: it stopped in
// order, and is neither stale nor in need of attention. Otherwise a
// connection needs attention when its relay is stale, its newest report did
// not read, it is not in state "yes", or its link is lost.
//
// The JSON form is one document for scripts; docs/man/tarn.1 lists its keys.
//
// Thread-safety: plain values and functions without shared state.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/server_watch.h"

namespace tarntool {

constexpr double kDefaultReportInterval = 2.0;
constexpr double kShortestReportInterval = 1.0;
constexpr double kStaleIntervals = 3.0;

struct RelayView {
  RelayState state;
  double age = 0.0;       // seconds since its newest status packet
  double interval = 0.0;  // the report interval it is judged by
  bool stale = false;
  bool stopped = false;  // its newest report is its final one
};

struct NetworkView {
  double now = 0.0;
  std::vector<ServerState> servers;  // in the order watched
  std::vector<RelayView> relays;     // by target
};

// Seconds after its newest status packet that a relay is left out of the
// view (`tarn monitor` and `tarn status --forget-after`).
constexpr double kDefaultForgetAfter = 600.0;

// `forgetAfter`: a relay whose newest status packet is older than that many
// seconds is left out (0: none is).
NetworkView buildView(const std::vector<WatchSnapshot> &snapshots, double now,
                      double forgetAfter = 0.0);

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
