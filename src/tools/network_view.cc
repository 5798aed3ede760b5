#include "tools/network_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace tarntool {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json orNull(const std::optional<T> &v) {
  return v ? Json(*v) : Json(nullptr);
}

Json textOrNull(const std::string &s) { return s.empty() ? Json(nullptr) : Json(s); }

RelayView judge(const RelayState &state, double now) {
  RelayView v;
  v.state = state;
  v.age = now - state.newestTime;
  v.interval = std::max(kShortestReportInterval, state.interval.value_or(kDefaultReportInterval));
  v.stopped = state.problem.empty() && state.report && state.report->isFinal();
  v.stale = !v.stopped && v.age > kStaleIntervals * v.interval;
  v.lost = v.stale && v.age > kLostIntervals * v.interval;
  return v;
}

const std::string kStatusSuffix = "/pf/st", kLogSuffix = "/log";

bool endsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void addStreams(NetworkView &view, const ServerState &s) {
  if (!s.up) return;
  // The server's clock and ours: what it says of arrivals is on its clock,
  // taken when it answered.
  bool arrivals = s.figures.serverTime > 0;
  double sinceAnswer = view.now - s.answeredAt;
  for (const tarnclient::SourceFigures &src : s.figures.sources) {
    if (isRelayOwnSource(src.name)) continue;
    StreamView st;
    st.server = s.tarn;
    st.name = src.name;
    st.packets = src.packets;
    st.newestTime = src.newestTime;
    st.dataLatency = view.now - src.newestTime;
    if (arrivals && src.arrival > 0) {
      st.arrival = src.arrival;
      st.feedLatency = s.figures.serverTime - src.arrival + sinceAnswer;
    }
    st.silent = st.feedLatency.value_or(st.dataLatency) > view.silentAfter;
    view.silentStreams += st.silent;
    view.streams.push_back(std::move(st));
  }
}

Json ringJson(const tarnclient::RingFigures &f) {
  Json j;
  j["size_bytes"] = f.ringBytes;
  j["used_bytes"] = f.usedBytes;
  j["used_ratio"] =
      f.ringBytes ? static_cast<double>(f.usedBytes) / static_cast<double>(f.ringBytes) : 0.0;
  j["packets"] = f.packets;
  j["oldest_id"] = f.oldestId;
  j["newest_id"] = f.newestId;
  j["oldest_time"] = f.packets ? Json(f.oldestTime) : Json(nullptr);
  j["newest_time"] = f.packets ? Json(f.newestTime) : Json(nullptr);
  j["dropped_packets"] = f.dropped;
  j["max_packet_bytes"] = f.maxPacket;
  j["in_file"] = f.inFile;
  return j;
}

// The server's clients; null from a server that does not list them.
Json connectionsJson(const tarnclient::ClientList &list) {
  if (!list.served) return nullptr;
  Json out = Json::array();
  for (const tarnclient::ClientFigures &c : list.clients) {
    out.push_back({{"peer", c.peer},
                   {"protocol", c.protocol},
                   {"identity", textOrNull(c.identity)},
                   {"activity", c.activity},
                   {"since", c.since},
                   {"bytes_in", c.bytesIn},
                   {"bytes_out", c.bytesOut},
                   {"packets_in", c.packetsIn},
                   {"packets_out", c.packetsOut}});
  }
  return out;
}

Json serverJson(const ServerState &s, double now) {
  Json j;
  j["tarn"] = s.tarn;
  j["up"] = s.up;
  j["error"] = textOrNull(s.error);
  j["packets_per_second"] = orNull(s.packetsPerSecond);
  if (!s.up) return j;
  j["clients"] = s.figures.clients;
  j["ring"] = ringJson(s.figures);
  Json sources = Json::array();
  for (const tarnclient::SourceFigures &src : s.figures.sources) {
    sources.push_back({{"name", src.name},
                       {"packets", src.packets},
                       {"newest_time", src.newestTime},
                       {"newest_age_seconds", now - src.newestTime}});
  }
  j["sources"] = sources;
  j["server_time"] = s.figures.serverTime > 0 ? Json(s.figures.serverTime) : Json(nullptr);
  j["sources_cut_short"] = s.figures.sourcesTruncated;
  j["connections"] = connectionsJson(s.clients);
  return j;
}

Json countsJson(const std::optional<ConnectionCounts> &n) {
  if (!n) return nullptr;
  Json dropped = Json::object();
  for (const auto &[cause, count] : n->dropped) dropped[cause] = count;
  Json rejected = Json::object();
  for (const auto &[cause, count] : n->rejected) rejected[cause] = count;
  return {{"packets", n->packets},
          {"bytes", n->bytes},
          {"dropped", dropped},
          {"dropped_total", n->droppedTotal},
          {"rejected", n->rejectsCounted ? rejected : Json(nullptr)},
          {"rejected_total", n->rejectsCounted ? Json(n->rejectedTotal) : Json(nullptr)},
          {"reconnections", n->reconnections}};
}

Json connectionJson(const RelayView &r, const ConnectionReport &c) {
  return {{"name", c.name},
          {"direction", c.direction},
          {"tarn", c.tarn},
          {"queue", c.queue},
          {"state", c.state},
          {"link", textOrNull(c.link)},
          {"latency_seconds", orNull(c.latency)},
          {"queue_depth", c.queueDepth},
          {"attention", needsAttention(r, c)},
          {"fault", textOrNull(c.fault)},
          {"fault_since", c.fault.empty() ? Json(nullptr) : Json(c.faultSince)},
          {"free_bytes", orNull(c.freeBytes)},
          {"counters", countsJson(c.counts)}};
}

Json relayJson(const RelayView &r) {
  const RelayState &s = r.state;
  Json j;
  j["target"] = s.target;
  j["server"] = s.server;
  j["report_time"] = s.newestTime;
  j["report_age_seconds"] = r.age;
  j["report_interval_seconds"] = r.interval;
  j["stale"] = r.stale;
  j["lost"] = r.lost;
  j["stopped"] = r.stopped;
  j["unreachable"] = textOrNull(r.unreachable);
  j["attention"] = needsAttention(r);
  j["problem"] = textOrNull(s.problem);
  j["run_time_seconds"] = s.report ? Json(s.report->runTime) : Json(nullptr);
  j["rss_kib"] = s.report ? orNull(s.report->rssKiB()) : Json(nullptr);
  Json conns = Json::array();
  if (s.report) {
    for (const ConnectionReport &c : s.report->connections) conns.push_back(connectionJson(r, c));
  }
  j["connections"] = conns;
  return j;
}

}  // namespace

bool isRelayOwnSource(const std::string &name) {
  return endsWith(name, kStatusSuffix) || endsWith(name, kLogSuffix);
}

NetworkView buildView(const std::vector<WatchSnapshot> &snapshots, double now, double forgetAfter,
                      double silentAfter) {
  NetworkView view;
  view.now = now;
  view.silentAfter = silentAfter;
  std::map<std::string, RelayState> newest;
  for (const WatchSnapshot &s : snapshots) {
    view.servers.push_back(s.server);
    addStreams(view, s.server);
    for (const RelayState &r : s.relays) {
      auto it = newest.find(r.target);
      if (it == newest.end() || r.newestTime > it->second.newestTime) newest[r.target] = r;
    }
  }
  for (const auto &entry : newest) {
    if (forgetAfter > 0 && now - entry.second.newestTime > forgetAfter) continue;  // gone
    view.relays.push_back(judge(entry.second, now));
  }
  for (RelayView &r : view.relays) {
    for (const ServerState &s : view.servers) {
      if (s.tarn == r.state.server && !s.up)
        r.unreachable = "its status server " + s.tarn + " " + s.error;
    }
    // Its reports may still be coming where they cannot be read: late, but
    // not known to be dead.
    if (!r.unreachable.empty()) r.lost = false;
  }
  return view;
}

bool NetworkView::needsAttention() const {
  for (const ServerState &s : servers) {
    if (!s.up) return true;
  }
  for (const RelayView &r : relays) {
    if (tarntool::needsAttention(r)) return true;
  }
  return silentStreams > 0;
}

bool NetworkView::nothingReached() const {
  return std::none_of(servers.begin(), servers.end(), [](const ServerState &s) { return s.up; });
}

bool needsAttention(const RelayView &relay, const ConnectionReport &c) {
  if (relay.stopped) return false;
  return relay.stale || !relay.state.problem.empty() || !relay.unreachable.empty() ||
         c.state != "yes" || c.link == "lost" || !c.fault.empty();
}

bool needsAttention(const RelayView &relay) {
  if (relay.stopped) return false;
  if (relay.stale || !relay.state.problem.empty() || !relay.unreachable.empty() ||
      !relay.state.report)
    return true;
  const auto &conns = relay.state.report->connections;
  return std::any_of(conns.begin(), conns.end(),
                     [&](const ConnectionReport &c) { return needsAttention(relay, c); });
}

namespace {

Json streamJson(const StreamView &st) {
  return {{"server", st.server},
          {"name", st.name},
          {"packets", st.packets},
          {"newest_time", st.newestTime},
          {"arrival_time", orNull(st.arrival)},
          {"data_latency_seconds", st.dataLatency},
          {"feed_latency_seconds", orNull(st.feedLatency)},
          {"silent", st.silent}};
}

}  // namespace

Json toJson(const NetworkView &view) {
  Json j;
  j["time"] = view.now;
  j["attention"] = view.needsAttention();
  j["silent_after_seconds"] = view.silentAfter;
  j["silent_streams"] = view.silentStreams;
  j["servers"] = Json::array();
  for (const ServerState &s : view.servers) j["servers"].push_back(serverJson(s, view.now));
  j["relays"] = Json::array();
  for (const RelayView &r : view.relays) j["relays"].push_back(relayJson(r));
  j["streams"] = Json::array();
  for (const StreamView &st : view.streams) j["streams"].push_back(streamJson(st));
  return j;
}

std::string jsonText(const Json &j, int indent) {
  return j.dump(indent, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string bytesText(double bytes) {
  const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return buf;
}

std::string durationText(double s) {
  char buf[32];
  if (!std::isfinite(s)) return "?";
  if (std::fabs(s) < 10)
    std::snprintf(buf, sizeof buf, "%.2f s", s);
  else if (std::fabs(s) < 120)
    std::snprintf(buf, sizeof buf, "%.0f s", s);
  else if (std::fabs(s) < 7200)
    std::snprintf(buf, sizeof buf, "%.0f min", s / 60);
  else if (std::fabs(s) < 172800)
    std::snprintf(buf, sizeof buf, "%.1f h", s / 3600);
  else
    std::snprintf(buf, sizeof buf, "%.0f d", s / 86400);
  return buf;
}

}  // namespace tarntool
