// What `tarn status` and `tarn monitor` make of what they read: status
// packets (good, stopped and broken), a relay's staleness at the edges,
// packets per second across id wrap and ring changes, the metrics text and
// the bounded history.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/pkt/pkt.h"
#include "tools/monitor_history.h"
#include "tools/monitor_metrics.h"
#include "tools/network_view.h"
#include "tools/status_packet.h"
#include "tools/status_table.h"

namespace tarntool {
namespace {

// A connection's array as the relay writes it: the keys rtm, rss and nq
// twice, the first three fixed for a stopped connection.
std::string connection(const std::string &name, const std::string &con, const std::string &nq,
                       const std::string &dlt) {
  std::string first = con == "stopped" ? "rtm -999999999.900\nrss 0\nnq -1\n"
                                       : "rtm 12.500\nrss 2048\nnq " + nq + "\n";
  return name + " &Arr{\ncomt rint\ntarnn :6510\ndir read\nqn q1\ncon " + con + "\n" + first +
         "dlt " + dlt + "\nrtm 12.500\nrss 2048\nnq " + nq + "\n}\n";
}

std::string report(const std::string &connections) {
  return "target t1\ntype dl\nmodel tarn\nrtm 12.500\ndls &Arr{\n" + connections + "}\n";
}

// The stuffed bytes of a parameter-file packet with this text.
std::string stuffed(const std::string &text, const char *suffix = "pf") {
  Packet *p = newPkt();
  p->type = suffix2pkttype(suffix);
  if (std::string(suffix) == "pf")
    pfcompile(text.c_str(), &p->pf);
  else
    p->string = strdup(text.c_str());
  char *buf = nullptr;
  int n = 0, size = 0;
  double t = 0;
  EXPECT_GE(stuffPkt(p, "t1/pf/st", &t, &buf, &n, &size), 0);
  std::string bytes(buf, static_cast<size_t>(n));
  std::free(buf);
  freePkt(p);
  return bytes;
}

bool parse(const std::string &bytes, RelayReport &r, std::string &why) {
  return parseStatusPacket("t1/pf/st", 100.0, bytes.data(), static_cast<int>(bytes.size()), r, why);
}

TEST(StatusPacket, RunningAndStoppedConnectionsAsTheRelayWritesThem) {
  RelayReport r;
  std::string why;
  std::string text = report(connection("r1", "yes", "3", "1.250000") +
                            connection("w1", "stopped", "3", "999999999.900000"));
  ASSERT_TRUE(parse(stuffed(text), r, why)) << why;
  EXPECT_EQ(r.target, "t1");
  EXPECT_EQ(r.runTime, 12.5);
  ASSERT_EQ(r.connections.size(), 2u);
  const ConnectionReport &run = r.connections[0], &stopped = r.connections[1];
  EXPECT_EQ(run.state, "yes");
  EXPECT_EQ(run.latency, 1.25);
  EXPECT_EQ(run.queueDepth, 3);  // the later nq wins
  EXPECT_EQ(run.tarn, ":6510");
  EXPECT_EQ(stopped.state, "stopped");
  EXPECT_FALSE(stopped.latency.has_value());  // "no packet yet"
  EXPECT_EQ(stopped.queueDepth, 3);
  EXPECT_EQ(r.rssKiB(), 2048);
  EXPECT_FALSE(r.isFinal());

  ASSERT_TRUE(parse(stuffed(report("")), r, why)) << why;
  EXPECT_TRUE(r.connections.empty());
  EXPECT_FALSE(r.rssKiB().has_value());
}

TEST(StatusPacket, CountsReadWhenSentAbsentFromOlderRelaysAndCheckedWhenBroken) {
  RelayReport r;
  std::string why;
  std::string counted = connection("r1", "yes", "0", "1.0");
  counted.insert(counted.size() - 2,
                 "link up\nnpkts 20\nnbytes 10240\nnreconnect 2\nndrops 3\n"
                 "drops &Arr{\ntoo_large 1\nrefused 2\n}\n");
  ASSERT_TRUE(parse(stuffed(report(counted + connection("w1", "yes", "0", "1.0"))), r, why)) << why;
  const ConnectionReport &c = r.connections.at(0);
  ASSERT_TRUE(c.counts.has_value());
  EXPECT_EQ(c.counts->packets, 20u);
  EXPECT_EQ(c.counts->bytes, 10240u);
  EXPECT_EQ(c.counts->reconnections, 2u);
  EXPECT_EQ(c.counts->droppedTotal, 3u);
  EXPECT_EQ(c.counts->dropped.size(), 2u);
  EXPECT_FALSE(r.connections.at(1).counts.has_value());  // an older relay: absent, not zero
  WatchSnapshot s;
  s.relays.emplace_back();
  s.relays[0].target = "t1";
  s.relays[0].report = r;
  nlohmann::ordered_json j = toJson(buildView({s}, 0));
  EXPECT_EQ(j["relays"][0]["connections"][0]["counters"].dump(),
            R"({"packets":20,"bytes":10240,"dropped":{"too_large":1,"refused":2},)"
            R"("dropped_total":3,"rejected":null,"rejected_total":null,"reconnections":2})");
  EXPECT_TRUE(j["relays"][0]["connections"][1]["counters"].is_null());

  for (const char *bad : {"npkts -1\n", "npkts 1\nnbytes x\n"}) {
    std::string broken = connection("r1", "yes", "0", "1.0");
    broken.insert(broken.size() - 2, bad);
    EXPECT_FALSE(parse(stuffed(report(broken)), r, why)) << bad;
    EXPECT_NE(why.find("not a count"), std::string::npos) << why;
  }
}

TEST(StatusPacket, BrokenPacketsSayWhyAndLeaveTheReport) {
  RelayReport r;
  r.target = "kept";
  std::string why;
  std::string good = stuffed(report(connection("r1", "yes", "3", "1.0")));
  std::string flipped = good;
  flipped.back() ^= 1;
  struct Case {
    std::string bytes, reason;
  } cases[] = {
      {flipped, "does not unstuff: "},
      {good.substr(0, 10), "does not unstuff: "},
      {"", "does not unstuff: "},
      {stuffed("hello", "log"), "not a parameter-file packet (content 7)"},
      {stuffed("target t1\nrtm 1\n"), "no 'dls' array"},
      {stuffed("dls &Arr{\n}\n"), "no 'rtm'"},
      {stuffed(report("r1 plain\n")), "'dls' entry 0 is not an array"},
      {stuffed(report(connection("r1", "yes", "x", "1.0"))),
       "connection 'r1': 'nq' is not a whole number: 'x'"},
      {stuffed(report(connection("r1", "yes", "3", "soon"))),
       "connection 'r1': 'dlt' is not a number: 'soon'"},
  };
  for (const Case &c : cases) {
    why.clear();
    EXPECT_FALSE(parse(c.bytes, r, why)) << c.reason;
    EXPECT_EQ(why.rfind(c.reason, 0), 0u) << why;
    EXPECT_EQ(r.target, "kept");
  }
  EXPECT_EQ(statusTarget("relay/pf/st"), "relay");
  EXPECT_EQ(statusTarget("/pf/st"), "");
  EXPECT_EQ(statusTarget("relay/pf/stx"), "");
}

RelayState relayAt(const std::string &target, double time, std::optional<double> interval,
                   const std::string &con = "yes") {
  RelayState s;
  s.target = target;
  s.server = "s1";
  s.newestTime = time;
  s.interval = interval;
  RelayReport r;
  r.target = target;
  r.time = time;
  ConnectionReport c;
  c.name = "c";
  c.state = con;
  r.connections.push_back(c);
  s.report = r;
  return s;
}

bool staleAt(double age, std::optional<double> interval) {
  WatchSnapshot s;
  s.relays.push_back(relayAt("t1", 1000.0 - age, interval));
  return buildView({s}, 1000.0).relays.at(0).stale;
}

TEST(NetworkView, StaleAfterThreeReportIntervals) {
  EXPECT_FALSE(staleAt(5.9, std::nullopt));  // the relay's default: 2 s
  EXPECT_TRUE(staleAt(6.1, std::nullopt));
  EXPECT_FALSE(staleAt(29.9, 10.0));
  EXPECT_TRUE(staleAt(30.1, 10.0));
  EXPECT_FALSE(staleAt(2.9, 0.01));  // reports without a pause: judged as every second
  EXPECT_TRUE(staleAt(3.1, 0.01));
}

TEST(NetworkView, OneRelayPerTargetAndWhatNeedsAttention) {
  WatchSnapshot a, b;
  a.relays = {relayAt("t1", 990.0, 2.0), relayAt("t2", 999.0, 2.0, "sleeping")};
  b.relays = {relayAt("t1", 998.0, 2.0)};
  b.relays[0].server = "s2";
  NetworkView v = buildView({a, b}, 1000.0);
  ASSERT_EQ(v.relays.size(), 2u);
  EXPECT_EQ(v.relays[0].state.server, "s2");  // its newest report
  EXPECT_FALSE(needsAttention(v.relays[0]));
  EXPECT_TRUE(needsAttention(v.relays[1]));  // not "yes"
  v.relays[0].state.problem = "does not unstuff";
  EXPECT_TRUE(needsAttention(v.relays[0], v.relays[0].state.report->connections[0]));
  nlohmann::ordered_json j = toJson(v);
  EXPECT_EQ(j["relays"][1]["connections"][0]["attention"], true);
  EXPECT_TRUE(j["relays"][1]["connections"][0]["latency_seconds"].is_null());
}

TEST(NetworkView, RelaysSilentLongerThanForgetAfterAreLeftOut) {
  WatchSnapshot s;
  s.relays = {relayAt("gone", 1000.0 - 601.0, 2.0), relayAt("here", 1000.0 - 599.0, 2.0)};
  NetworkView v = buildView({s}, 1000.0, 600.0);
  ASSERT_EQ(v.relays.size(), 1u);
  EXPECT_EQ(v.relays[0].state.target, "here");
  EXPECT_EQ(renderMetrics(v).find("gone"), std::string::npos);
  EXPECT_EQ(buildView({s}, 1000.0, 0.0).relays.size(), 2u);  // 0: forget none
}

// A relay that stopped in order is not a problem however old its final
// report; one whose report lost a connection's state is. The table shows
// what is wrong first and the stopped last, unmarked.
TEST(NetworkView, StoppedRelaysAreNeitherStaleNorMarkedAndComeLast) {
  WatchSnapshot s;
  s.relays = {relayAt("a_stopped", 100.0, 2.0, "stopped"), relayAt("b_ok", 999.0, 2.0),
              relayAt("c_broken", 999.0, 2.0, "stopped"), relayAt("d_sleeping", 999.0, 2.0)};
  s.relays[2].problem = "does not unstuff";  // its final report is not what it last sent
  ConnectionReport lost = s.relays[3].report->connections[0];
  lost.name = "w1";
  lost.link = "lost";
  s.relays[3].report->connections.push_back(lost);
  NetworkView v = buildView({s}, 1000.0);
  ASSERT_EQ(v.relays.size(), 4u);
  EXPECT_TRUE(v.relays[0].stopped);
  EXPECT_FALSE(v.relays[0].stale);
  EXPECT_FALSE(needsAttention(v.relays[0]));
  EXPECT_FALSE(needsAttention(v.relays[0], v.relays[0].state.report->connections[0]));
  EXPECT_FALSE(v.relays[2].stopped);
  EXPECT_TRUE(needsAttention(v.relays[2]));
  EXPECT_TRUE(needsAttention(v.relays[3], lost));
  nlohmann::ordered_json j = toJson(v);
  EXPECT_EQ(j["relays"][0]["stopped"], true);
  EXPECT_EQ(j["relays"][0]["attention"], false);
  EXPECT_EQ(j["relays"][1]["stopped"], false);

  std::string table = renderTable(v, false);
  std::vector<size_t> at;
  for (const char *row :
       {"!  c_broken", "!  d_sleeping  w1", "   d_sleeping  c", "   b_ok", "   a_stopped"})
    at.push_back(table.find(std::string("\n") + row));
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.back() != std::string::npos) << table;
  EXPECT_NE(table.find("stopped 15 min ago"), std::string::npos) << table;
}

// Only a report that says it is the last makes a relay stopped: one whose
// reports end without it (all its connections not started yet, say) goes
// stale after three intervals and lost after five.
TEST(NetworkView, OnlyTheFinalReportStopsARelayTheOthersGoStaleThenLost) {
  WatchSnapshot s;
  s.relays = {relayAt("a_early", 1000.0 - 7.0, std::nullopt, "stopped"),
              relayAt("b_killed", 1000.0 - 10.1, std::nullopt, "stopped"),
              relayAt("c_ended", 1000.0 - 60.0, std::nullopt, "stopped")};
  s.relays[0].report->saysFinal = false;
  s.relays[1].report->saysFinal = false;
  s.relays[2].report->saysFinal = true;
  NetworkView v = buildView({s}, 1000.0);
  EXPECT_TRUE(v.relays[0].stale && !v.relays[0].lost && !v.relays[0].stopped);
  EXPECT_TRUE(v.relays[1].lost && !v.relays[1].stopped);
  EXPECT_TRUE(v.relays[2].stopped && !v.relays[2].stale);
  EXPECT_NE(renderTable(v, false).find("LOST: no report for"), std::string::npos);
  // Where its status server cannot be reached it stays, saying why, not lost.
  s.server.tarn = "s1";
  s.server.error = "cannot be reached";
  NetworkView gone = buildView({s}, 1000.0);
  EXPECT_EQ(gone.relays[1].unreachable, "its status server s1 cannot be reached");
  EXPECT_TRUE(gone.relays[1].stale && !gone.relays[1].lost);
  EXPECT_TRUE(needsAttention(gone.relays[1]));
  RelayReport r;
  std::string why;
  ASSERT_TRUE(parse(stuffed(report(connection("c", "stopped", "0", "1.0")) + "final 1\n"), r, why));
  EXPECT_EQ(r.saysFinal, true);
}

// Streams are silent once their newest packet arrived (on the server's
// clock) longer ago than silentAfter, or, from older servers, once its time
// is that old; the relays' own packets are not streams.
TEST(NetworkView, SilentStreamsByArrivalAndWhatTarnStatusExitsWith) {
  ServerState up;
  up.tarn = "s1";
  up.up = true;
  up.answeredAt = 1000.0;
  up.figures.serverTime = 1005.0;  // its clock runs 5 s ahead of ours
  up.figures.sources = {{"LATE_1/X", 1, 100.0, 1004.0},  // old data, fresh arrival
                        {"GONE_1/X", 1, 999.0, 995.0},   // arrived 10 s ago
                        {"OLD_1/X", 1, 980.0, 0.0},      // arrival unknown: by its time
                        {"r1/pf/st", 1, 900.0, 900.0}};
  WatchSnapshot s{up, {}};
  NetworkView v = buildView({s}, 1000.0, 0.0, 5.0);
  ASSERT_EQ(v.streams.size(), 3u);
  EXPECT_FALSE(v.streams[0].silent);
  EXPECT_DOUBLE_EQ(*v.streams[0].feedLatency, 1.0);
  EXPECT_TRUE(v.streams[1].silent);
  EXPECT_TRUE(v.streams[2].silent && !v.streams[2].feedLatency);
  EXPECT_EQ(v.silentStreams, 2u);
  EXPECT_TRUE(v.needsAttention());
  EXPECT_FALSE(buildView({s}, 1000.0, 0.0, 60.0).needsAttention());
  EXPECT_FALSE(v.nothingReached());
  ServerState down;
  EXPECT_TRUE(buildView({WatchSnapshot{down, {}}}, 1000.0).nothingReached());

  MetricsOptions narrow;
  narrow.maxStreams = 1;
  narrow.pattern = "G.*|O.*";
  std::string text = renderMetrics(v, narrow);
  EXPECT_NE(text.find("tarn_streams{tarn=\"s1\"} 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("tarn_streams_silent{tarn=\"s1\"} 2\n"), std::string::npos);
  EXPECT_NE(text.find("tarn_streams_unexported{tarn=\"s1\"} 2\n"), std::string::npos);
  EXPECT_NE(text.find("tarn_stream_silent{tarn=\"s1\",stream=\"GONE_1/X\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(text.find("LATE_1/X"), std::string::npos);
  std::string err;
  EXPECT_FALSE(checkMetricsPattern("(", err));
}

TEST(PacketRate, AcrossIdWrapAndRingChanges) {
  tarnclient::RingFigures before, after;
  before.instance = after.instance = 7;
  before.newestId = 2147483646;
  after.newestId = 1;  // 2147483647, 0, 1
  EXPECT_EQ(packetRate(before, after, 2.0), 1.5);
  after.instance = 8;
  EXPECT_FALSE(packetRate(before, after, 2.0));
  after.instance = 7;
  before.newestId = 10;
  after.newestId = 5;
  EXPECT_FALSE(packetRate(before, after, 2.0));  // ids went back
  before.newestId = -1;
  after.packets = 4;
  EXPECT_EQ(packetRate(before, after, 2.0), 2.0);  // from empty
  EXPECT_FALSE(packetRate(before, after, 0.0));
}

TEST(Metrics, LabelsEscapedAndUnknownValuesLeftOut) {
  EXPECT_EQ(escapeLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  ServerState down;
  down.tarn = "gone:1";
  NetworkView v;
  v.servers = {down};
  EXPECT_EQ(renderMetrics(v),
            "# HELP tarn_server_up Whether the tarn server answered the monitor's last request.\n"
            "# TYPE tarn_server_up gauge\ntarn_server_up{tarn=\"gone:1\"} 0\n");
  WatchSnapshot s;
  s.relays = {relayAt("t\"1", 999.0, 2.0)};
  std::string text = renderMetrics(buildView({s}, 1000.0));
  EXPECT_NE(text.find("tarn_relay_connection_up{relay=\"t\\\"1\",connection=\"c\""),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("latency"), std::string::npos);
  EXPECT_EQ(text.find("last_packet_age"), std::string::npos);  // no packet yet
  // One series per state, the current one 1; counters only from relays that
  // send them.
  for (const char *st : {"stopped", "reg", "sleeping"})
    EXPECT_NE(text.find("queue=\"\",state=\"" + std::string(st) + "\"} 0\n"), std::string::npos)
        << st << text;
  EXPECT_NE(text.find("queue=\"\",state=\"yes\"} 1\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("_total"), std::string::npos) << text;
  s.relays[0].report->connections[0].counts = ConnectionCounts{5, 500, 1, 2, {{"too_large", 2}}, false, 0, {}};
  s.relays[0].report->connections[0].state = "lost";  // not one of the states known here
  text = renderMetrics(buildView({s}, 1000.0));
  for (const char *line :
       {"tarn_relay_connection_packets_total{", "} 5\n", "tarn_relay_connection_bytes_total{",
        "} 500\n", "tarn_relay_connection_reconnections_total{", ",cause=\"too_large\"} 2\n",
        "state=\"lost\"} 1\n", "state=\"yes\"} 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST(History, BucketsKeepPeaksWithinSpanAndBound) {
  History h(60.0, 10.0);
  h.add("s", 100.0, 1.0);
  h.add("s", 105.0, 3.0);
  h.add("s", 107.0, 2.0);
  h.add("s", 95.0, 9.0);  // older than the newest bucket
  h.add("s", 111.0, std::nan(""));
  EXPECT_EQ(h.points("s", 110.0).dump(), "[[107.0,3.0]]");
  for (int t = 110; t <= 400; t += 10) h.add("s", t, t);
  EXPECT_EQ(h.points("s", 400.0).size(), 7u);  // 340 to 400
  EXPECT_EQ(h.points("none", 400.0).dump(), "[]");
  h.prune(461.0);
  EXPECT_EQ(h.seriesCount(), 0u);
}

}  // namespace
}  // namespace tarntool
