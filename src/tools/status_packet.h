// A relay's status packet read back: the relay's run time and, for each of
// its connections, what the status manager wrote about it (source name
// "<target>/pf/st", a parameter-file body; docs/packets.md).
//
// The text is read as the parameter-file library compiles it: within one
// connection's array the later of two equal keys wins, so rtm, rss and nq are
// the values written after the state, which a stopped connection reports too.
//
// Thread-safety: plain functions without shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarntool {

// What a connection has done since its relay started (the status packet's
// npkts, nbytes, nreconnect, ndrops and drops; docs/packets.md).
struct ConnectionCounts {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t reconnections = 0;
  uint64_t droppedTotal = 0;
  std::vector<std::pair<std::string, uint64_t>> dropped;  // by cause, as reported
};

struct ConnectionReport {
  std::string name;
  std::string direction;  // "read" or "write"
  std::string tarn;       // the tarn name the connection uses
  std::string queue;
  std::string state;              // "yes" while it works; "stopped", "sleeping"...
  std::string link;               // "up", "lost" (being mended), "none"; "" from older relays
  std::optional<double> latency;  // seconds since its last packet; none before the first
  long queueDepth = 0;            // packets waiting for it in its queue; negative: not a consumer
  long rssKiB = 0;                // the relay's resident set size, in KiB
  std::optional<ConnectionCounts> counts;  // none from relays that do not count
};

struct RelayReport {
  std::string target;    // the relay's name, from the source name
  double time = 0.0;     // the packet's time: when the relay wrote the report
  double runTime = 0.0;  // seconds since the relay started
  std::vector<ConnectionReport> connections;

  // True for the report a relay sends as it stops: every connection stopped.
  bool isFinal() const;
  // The relay's RSS in KiB, from its first connection; none without one.
  std::optional<long> rssKiB() const;
};

// "relay/pf/st" -> "relay"; empty for a source name that is not a status
// packet's.
std::string statusTarget(const std::string &srcname);

// Reads one status packet. False, with the reason in `why`, when the bytes
// do not unstuff, are not a parameter file, or lack a value a report has (or
// hold one that is not a number where a number belongs); `out` is then
// unchanged.
bool parseStatusPacket(const std::string &srcname, double time, const char *bytes, int nbytes,
                       RelayReport &out, std::string &why);

}  // namespace tarntool
