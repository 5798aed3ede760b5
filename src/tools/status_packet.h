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

using CountsByCause = std::vector<std::pair<std::string, uint64_t>>;  // as reported

// What a connection has done since its relay started (the status packet's
// npkts, nbytes, nreconnect, ndrops and drops, nrejects and rejects;
// docs/packets.md).
struct ConnectionCounts {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t reconnections = 0;
  uint64_t droppedTotal = 0;
  CountsByCause dropped;
  bool rejectsCounted = false;  // false from relays that do not count rejects
  uint64_t rejectedTotal = 0;
  CountsByCause rejected;
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
  std::string fault;                       // what keeps it from moving packets; "" when nothing
  double faultSince = 0.0;                 // since when (epoch seconds)
  std::optional<double> freeBytes;         // room where its destination stores packets
};

struct RelayReport {
  std::string target;    // the relay's name, from the source name
  double time = 0.0;     // the packet's time: when the relay wrote the report
  double runTime = 0.0;  // seconds since the relay started
  std::vector<ConnectionReport> connections;
  // Whether the report says it is the relay's last ("final"); none from
  // older relays, which do not say.
  std::optional<bool> saysFinal;

  // True for the report a relay sends as it stops: the report says so, or,
  // from an older relay, every connection stopped.
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
