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
// counters of packets, bytes, drops (label cause) and reconnections. A value
// that is not known (a last packet age before the first packet) is left
// out; every family has its HELP and TYPE.
//
// Thread-safety: a plain function.
#pragma once

#include <string>

#include "tools/network_view.h"

namespace tarntool {

// The exposition's content type.
extern const char kMetricsContentType[];

std::string renderMetrics(const NetworkView &view);

// A label value as the text format writes it: backslash, double quote and
// newline escaped.
std::string escapeLabel(const std::string &value);

}  // namespace tarntool
