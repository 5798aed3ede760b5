// What `tarn monitor` serves on /metrics: the servers and relays of a
// NetworkView in the Prometheus text format (version 0.0.4), names and
// labels after Prometheus's conventions (base units, _total for counters).
//
// Servers (label tarn, as given on the command line): tarn_server_up and,
// for a server that answered, its ring, clients, the packets it stored (a
// counter: those the ring holds plus those it dropped) and each source's
// packets and newest packet age (label source). Relays (label relay):
// report age, interval, staleness, run time and resident memory; per
// connection (labels relay, connection, direction, tarn, queue): up, state
// (one series per state, label state, 1 for the current one), the last
// packet's age, queued packets and, from relays that count them, the
// counters of packets, bytes, drops (label cause), rejects (label cause) and
// reconnections, whether it has a fault (a writer that cannot write) and
// the room its destination has. A value that is not known (a last packet
// age before the first packet) is left out; every family has its HELP and
// TYPE.
//
// Streams (labels tarn, stream): data and feed latency and silence, for at
// most MetricsOptions::maxStreams streams whose names the pattern matches
// (the rest are counted in tarn_streams_unexported), so that the number of
// series stays bounded however many streams the servers carry; the counts
// of streams and of silent streams per server are always there. The older
// per-source families (tarn_source_*, every source, the relays' own status
// and log packets too) follow the same bound and pattern.
//
// Thread-safety: a plain function.
#pragma once

#include <string>

#include "tools/network_view.h"

namespace tarntool {

// The exposition's content type.
extern const char kMetricsContentType[];

struct MetricsOptions {
  static constexpr size_t kDefaultMaxStreams = 1000;
  size_t maxStreams = kDefaultMaxStreams;  // streams with series of their own, at most
  std::string pattern;                     // extended regular expression; "": every stream
};

// False with the reason in `why` when the pattern does not compile.
bool checkMetricsPattern(const std::string &pattern, std::string &why);

std::string renderMetrics(const NetworkView &view, const MetricsOptions &options = {});

// A label value as the text format writes it: backslash, double quote and
// newline escaped.
std::string escapeLabel(const std::string &value);

}  // namespace tarntool
