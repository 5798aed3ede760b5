#include "tools/status_packet.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "platform/pf/pf.h"
#include "platform/pkt/pkt.h"

namespace tarntool {
namespace {

const std::string kStatusSuffix = "/pf/st";

// A connection that has not relayed a packet yet reports this latency.
constexpr double kNoLatency = 999999999.0;

struct PacketFree {
  void operator()(Packet *p) const { freePkt(p); }
};

bool readDouble(const char *text, double &out) {
  if (!text || !*text) return false;
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool readLong(const char *text, long &out) {
  if (!text || !*text) return false;
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

// The value of `key` in an array, or "" (a report names every key, but an
// absent text key is harmless to show).
std::string text(Pf *arr, const char *key) {
  const char *v = pfget_string(arr, key);
  return v ? v : "";
}

std::string problem(const char *key, const char *value, const char *kind) {
  if (!value) return "no '" + std::string(key) + "'";
  return "'" + std::string(key) + "' is not " + kind + ": '" + value + "'";
}

bool number(Pf *arr, const char *key, double &out, std::string &why) {
  const char *v = pfget_string(arr, key);
  if (readDouble(v, out)) return true;
  why = problem(key, v, "a number");
  return false;
}

bool whole(Pf *arr, const char *key, long &out, std::string &why) {
  const char *v = pfget_string(arr, key);
  if (readLong(v, out)) return true;
  why = problem(key, v, "a whole number");
  return false;
}

bool readCount(const char *text, uint64_t &out) {
  if (!text || *text < '0' || *text > '9') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool count(Pf *arr, const char *key, uint64_t &out, std::string &why) {
  const char *v = pfget_string(arr, key);
  if (readCount(v, out)) return true;
  why = problem(key, v, "a count");
  return false;
}

// An array of counts by cause word.
bool byCause(Pf *arr, const char *key, CountsByCause &out, std::string &why) {
  Pf *causes = nullptr;
  if (pfget(arr, key, &causes) != PFARR) {
    why = "no '" + std::string(key) + "' array";
    return false;
  }
  for (int i = 0; i < pfmaxtbl(causes); ++i) {
    const char *cause = pfkey_index(causes, i);
    uint64_t n = 0;
    if (!cause || !count(causes, cause, n, why)) {
      if (!cause) why = "'" + std::string(key) + "' entry " + std::to_string(i) + " has no cause";
      return false;
    }
    out.emplace_back(cause, n);
  }
  return true;
}

// What keeps the connection from moving packets, and its destination's room.
bool readFault(Pf *arr, ConnectionReport &c, std::string &why) {
  c.fault = text(arr, "fault");
  if (!c.fault.empty() && !number(arr, "fault_since", c.faultSince, why)) return false;
  double room = 0;
  if (pfget_string(arr, "free_bytes")) {
    if (!number(arr, "free_bytes", room, why)) return false;
    c.freeBytes = room;
  }
  return true;
}

// The counts, when the report has them (npkts present); a report that has
// some of them must have them all, as numbers.
bool readCounts(Pf *arr, ConnectionReport &c, std::string &why) {
  if (!pfget_string(arr, "npkts")) return true;
  ConnectionCounts n;
  if (!count(arr, "npkts", n.packets, why) || !count(arr, "nbytes", n.bytes, why) ||
      !count(arr, "nreconnect", n.reconnections, why) || !count(arr, "ndrops", n.droppedTotal, why))
    return false;
  if (!byCause(arr, "drops", n.dropped, why)) return false;
  n.rejectsCounted = pfget_string(arr, "nrejects") != nullptr;
  if (n.rejectsCounted &&
      (!count(arr, "nrejects", n.rejectedTotal, why) || !byCause(arr, "rejects", n.rejected, why)))
    return false;
  c.counts = std::move(n);
  return true;
}

bool readConnection(const char *name, Pf *arr, ConnectionReport &c, std::string &why) {
  c.name = name;
  c.direction = text(arr, "dir");
  c.tarn = text(arr, "tarnn");
  c.queue = text(arr, "qn");
  c.state = text(arr, "con");
  c.link = text(arr, "link");
  double latency = 0;
  if (c.state.empty())
    why = "no 'con'";
  else if (number(arr, "dlt", latency, why) && whole(arr, "nq", c.queueDepth, why) &&
           whole(arr, "rss", c.rssKiB, why) && readCounts(arr, c, why) && readFault(arr, c, why)) {
    if (latency < kNoLatency) c.latency = latency;
    return true;
  }
  why = "connection '" + c.name + "': " + why;
  return false;
}

bool readReport(Pf *pf, RelayReport &r, std::string &why) {
  if (!number(pf, "rtm", r.runTime, why)) return false;
  Pf *dls = nullptr;
  if (pfget(pf, "dls", &dls) != PFARR) {
    why = "no 'dls' array";
    return false;
  }
  for (int i = 0; i < pfmaxtbl(dls); ++i) {
    Pf *arr = nullptr;
    const char *name = pfkey_index(dls, i);
    if (pfget_index(dls, i, &arr) != PFARR || !name) {
      why = "'dls' entry " + std::to_string(i) + " is not an array";
      return false;
    }
    ConnectionReport c;
    if (!readConnection(name, arr, c, why)) return false;
    r.connections.push_back(std::move(c));
  }
  return true;
}

}  // namespace

bool RelayReport::isFinal() const {
  if (saysFinal) return *saysFinal;
  if (connections.empty()) return false;
  for (const ConnectionReport &c : connections) {
    if (c.state != "stopped") return false;
  }
  return true;
}

std::optional<long> RelayReport::rssKiB() const {
  if (connections.empty()) return std::nullopt;
  return connections.front().rssKiB;
}

std::string statusTarget(const std::string &srcname) {
  if (srcname.size() <= kStatusSuffix.size()) return "";
  if (srcname.compare(srcname.size() - kStatusSuffix.size(), kStatusSuffix.size(), kStatusSuffix) !=
      0)
    return "";
  return srcname.substr(0, srcname.size() - kStatusSuffix.size());
}

bool parseStatusPacket(const std::string &srcname, double time, const char *bytes, int nbytes,
                       RelayReport &out, std::string &why) {
  Packet *raw = nullptr;
  int content = unstuffPkt(srcname.c_str(), time, bytes, nbytes, &raw);
  std::unique_ptr<Packet, PacketFree> pkt(raw);
  if (content < 0) {
    why = std::string("does not unstuff: ") + pkt_strerror(content);
    return false;
  }
  if (content != PKT_CONTENT_PF || !pkt->pf) {
    why = "not a parameter-file packet (content " + std::to_string(content) + ")";
    return false;
  }
  RelayReport r;
  r.target = statusTarget(srcname);
  r.time = time;
  if (!readReport(pkt->pf, r, why)) return false;
  // A relay that counts rejects says "final" in its last report, and only there.
  if (pfget_string(pkt->pf, "final")) {
    r.saysFinal = text(pkt->pf, "final") == "1";
  } else {
    for (const ConnectionReport &c : r.connections) {
      if (c.counts && c.counts->rejectsCounted) r.saysFinal = false;
    }
  }
  out = std::move(r);
  return true;
}

}  // namespace tarntool
