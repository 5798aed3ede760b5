// Where a reader begins and ends: the start time, an end time met exactly or
// passed by a millisecond, the end time "last" (also on an empty server),
// packets too old or too far ahead of the clock, and packets that do not
// unstuff, each with its messages.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "relay_e2e.h"

namespace {

using e2e::identities;
using e2e::packetsOn;
using e2e::Relay;
using tarntest::TarnTestServer;
using testsupport::RelayPf;

const double kBase = 1765100000.0;

// A time as the relay writes it in its end-time messages.
std::string dateText(double time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%D %T UTC", &tm);
  return text;
}

std::string timeText(double time) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", time);
  return text;
}

std::vector<double> timesOf(const std::vector<e2e::Packet> &packets) {
  std::vector<double> times;
  for (const auto &p : packets) times.push_back(p.time);
  return times;
}

// A relay from one server to another with the reader's extra lines.
RelayPf oneWay(const TarnTestServer &src, const TarnTestServer &dst,
               const std::string &readerLines) {
  RelayPf pf;
  pf.connections =
      e2e::reader("in", src.name(), "q", readerLines) + e2e::writer("out", dst.name(), "q");
  return pf;
}

TEST(RelayLimits, StartTimeBeginsAtTheFirstPacketAtOrAfterIt) {
  TarnTestServer src;
  ASSERT_TRUE(tarntest::putPackets(src.name(), "ST_1/X", 10, kBase));
  struct Case {
    std::string start;
    double first;
    int firstId;
  };
  for (const Case &c :
       {Case{timeText(kBase + 4.5), kBase + 5, 5}, Case{timeText(kBase + 4), kBase + 4, 4},
        Case{timeText(kBase - 100), kBase, 0}}) {
    SCOPED_TRACE(c.start);
    TarnTestServer dst;
    Relay relay(oneWay(src, dst, "starttime " + c.start + "\n"));
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    EXPECT_NE(relay.output().find(" to requested start time '"), std::string::npos);
    EXPECT_NE(relay.output().find("(pktid " + std::to_string(c.firstId) + ")\n"), std::string::npos)
        << relay.output();
    size_t expected = static_cast<size_t>(10 - c.firstId);
    ASSERT_TRUE(e2e::waitForCount(dst.name(), expected)) << relay.output();
    auto out = packetsOn(dst.name());
    ASSERT_EQ(out.size(), expected);
    EXPECT_EQ(out.front().time, c.first);
    EXPECT_EQ(relay.terminate(), 0) << relay.output();
  }
}

TEST(RelayLimits, EndTimeTakesAPacketExactlyAtItButNotOneMillisecondLater) {
  TarnTestServer src;
  std::vector<double> times = {kBase, kBase + 1, kBase + 2, kBase + 2.001, kBase + 3};
  ASSERT_TRUE(e2e::putAt(src.name(), "ET_1/X", times));
  struct Case {
    std::string end;
    double endTime;
    size_t relayed;
    std::string word;
  };
  for (const Case &c : {Case{timeText(kBase + 2), kBase + 2, 3, "at"},
                        Case{timeText(kBase + 1.999), kBase + 1.999, 2, "past"}}) {
    SCOPED_TRACE(c.end);
    TarnTestServer dst;
    Relay relay(oneWay(src, dst, "starttime " + timeText(kBase) + "\nendtime " + c.end + "\n"));
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    // The reader ends, and with it the writer of its queue; the relay runs on.
    ASSERT_TRUE(relay.waitFor("Thread finished", 2)) << relay.output();
    EXPECT_TRUE(relay.process().running());
    EXPECT_NE(relay.output().find("Scheduled to stop acquisition after endtime of " +
                                  dateText(c.endTime) + " on tarn <"),
              std::string::npos)
        << relay.output();
    EXPECT_EQ(e2e::countOf(relay.output(), "Received a packet " + c.word + " specified endtime " +
                                               dateText(c.endTime) +
                                               ", stopping acquisition for this connection\n"),
              1)
        << relay.output();
    auto out = packetsOn(dst.name());
    EXPECT_EQ(timesOf(out), std::vector<double>(times.begin(), times.begin() + long(c.relayed)));
    EXPECT_EQ(relay.terminate(), 0) << relay.output();
  }
}

TEST(RelayLimits, EndTimeLastStopsAfterTheNewestPacketPresentAtTheStart) {
  TarnTestServer src, dst;
  ASSERT_TRUE(tarntest::putPackets(src.name(), "LA_1/X", 10, kBase));
  Relay relay(oneWay(src, dst, "starttime " + timeText(kBase) + "\nendtime last\n"));
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  ASSERT_TRUE(relay.waitFor("Thread finished", 2)) << relay.output();
  EXPECT_NE(relay.output().find(
                "Scheduled to stop acquisition after receiving last pktid (= #9) on tarn <"),
            std::string::npos)
      << relay.output();
  EXPECT_EQ(
      e2e::countOf(relay.output(),
                   "Received last packet (pktid 9): stopping acquisition for this connection\n"),
      1)
      << relay.output();
  // What arrives later is not read any more.
  ASSERT_TRUE(tarntest::putPackets(src.name(), "LA_1/X", 5, kBase + 10));
  EXPECT_EQ(identities(packetsOn(dst.name())), identities(packetsOn(src.name(), {"-n", "10"})));
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayLimits, EndTimeLastOnAnEmptyServerEndsTheReaderAtOnce) {
  TarnTestServer src, dst;
  Relay relay(oneWay(src, dst, "endtime last\n"));
  ASSERT_TRUE(relay.waitFor("Thread finished", 2)) << relay.output();
  EXPECT_NE(relay.output().find("No packet to stop after on tarn <"), std::string::npos)
      << relay.output();
  EXPECT_EQ(relay.output().find("Scheduled to stop acquisition"), std::string::npos)
      << relay.output();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "5"}));
  EXPECT_TRUE(packetsOn(dst.name()).empty());
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayLimits, TooOldAndTooNewDropPacketsOutsideTheirLimits) {
  TarnTestServer src, dst;
  double now = static_cast<double>(std::time(nullptr));
  // Two hours old, two hours ahead, and current: only the last passes
  // limits of one hour each. The current one comes last, so once it is at
  // the destination the others have been judged.
  ASSERT_TRUE(e2e::putAt(src.name(), "OLD_1/X", {now - 7200}));
  ASSERT_TRUE(e2e::putAt(src.name(), "NEW_1/X", {now + 7200}));
  ASSERT_TRUE(e2e::putAt(src.name(), "NOW_1/X", {now}));
  Relay relay(
      oneWay(src, dst, "starttime " + timeText(now - 10000) + "\ntoo_old 3600\ntoo_new 3600\n"));
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 1)) << relay.output();
  auto out = packetsOn(dst.name());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].srcname, "NOW_1/X");

  std::string output = relay.output();
  std::string pktid = "pktid " + src.name() + "::";
  size_t old = output.find("Rejecting <Packet: srcname 'OLD_1/X' time '");
  ASSERT_NE(old, std::string::npos) << output;
  std::string line = output.substr(old, output.find('\n', old) - old);
  EXPECT_NE(line.find("' " + pktid + "0 nbytes 32>: age 2:00:"), std::string::npos) << line;
  EXPECT_NE(line.find(" exceeds configured 'too_old' limit of 1:00:00.000"), std::string::npos)
      << line;
  size_t lead = output.find("Rejecting <Packet: srcname 'NEW_1/X' time '");
  ASSERT_NE(lead, std::string::npos) << output;
  line = output.substr(lead, output.find('\n', lead) - lead);
  EXPECT_NE(line.find("' " + pktid + "1 nbytes 32>: lead on wall-clock of 1:59:"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find(" exceeds configured 'too_new' limit of 1:00:00.000"), std::string::npos)
      << line;
  EXPECT_EQ(e2e::countOf(output, "Rejecting <"), 2) << output;
  EXPECT_EQ(relay.terminate(), 0) << output;
}

// A packet larger than the destination takes is dropped at once: named once
// per source name with its time and size and why, the others counted, and
// the count said when the writer ends; what follows it is relayed.
TEST(RelayLimits, PacketsTooLargeForTheDestinationAreNamedOnceCountedAndReportedAtTheEnd) {
  TarnTestServer src, dst({"-m", "1k"});
  ASSERT_TRUE(e2e::putAt(src.name(), "BIG_1/X", e2e::timesFrom(kBase, 3), 2000));
  ASSERT_TRUE(e2e::putAt(src.name(), "BIG_2/X", {kBase + 3}, 1025));
  ASSERT_TRUE(e2e::putAt(src.name(), "SMALL_1/X", {kBase + 4, kBase + 5}, 1024));
  Relay relay(oneWay(src, dst, "starttime " + timeText(kBase - 1) + "\n"));
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 2)) << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  auto out = packetsOn(dst.name());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].srcname, "SMALL_1/X");

  std::string output = relay.output();
  auto why = [&](const std::string &n) {
    return ", " + n + " bytes: too large for tarn '" + dst.name() + "' (packet of " + n +
           " bytes is larger than the 1024 bytes it takes per packet, source name and frame not "
           "counted)";
  };
  EXPECT_EQ(e2e::countOf(output, "RelayConnection 'out' dropped packet 'BIG_1/X' of "), 1)
      << output;
  EXPECT_EQ(e2e::countOf(output, why("2000")), 1) << output;
  EXPECT_EQ(e2e::countOf(output, "RelayConnection 'out' dropped packet 'BIG_2/X' of "), 1)
      << output;
  EXPECT_EQ(e2e::countOf(output, why("1025")), 1) << output;
  EXPECT_NE(
      output.find("RelayConnection 'out' ends having dropped 4 packets: 4 too large for tarn '" +
                  dst.name() + "'"),
      std::string::npos)
      << output;
  EXPECT_EQ(output.find("failed to put packet"), std::string::npos) << output;
}

// A destination that comes back taking smaller packets than before: what it
// no longer takes is named and dropped as too large, not a failed put, and
// what follows is relayed.
TEST(RelayLimits, ADestinationBackWithASmallerLimitHasWhatNoLongerFitsNamedAndDropped) {
  TarnTestServer src, dst({"-m", "4k"});
  ASSERT_TRUE(e2e::putAt(src.name(), "SMALL_1/X", {kBase}, 700));
  Relay relay(oneWay(src, dst, "starttime " + timeText(kBase - 1) + "\n"));
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 1)) << relay.output();
  dst.kill();
  dst.restart({"-m", "1k"});
  ASSERT_TRUE(e2e::putAt(src.name(), "BIG_1/X", {kBase + 1, kBase + 2}, 2000));
  ASSERT_TRUE(e2e::putAt(src.name(), "SMALL_1/X", {kBase + 3}, 700));
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 1)) << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  auto out = packetsOn(dst.name());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].time, kBase + 3);
  std::string output = relay.output();
  EXPECT_EQ(e2e::countOf(output, "RelayConnection 'out' dropped packet 'BIG_1/X' of "), 1)
      << output;
  EXPECT_EQ(e2e::countOf(output, ", 2000 bytes: too large for tarn '" + dst.name() +
                                     "' (packet of 2000 bytes is larger than the 1024 bytes"),
            1)
      << output;
  EXPECT_EQ(output.find("failed to put packet"), std::string::npos) << output;
}

// Each connection counts what it relayed and dropped, and the final status
// packet carries it: the reader every packet it queued, the writer those
// stored and, by cause, those dropped; `tarn status --json` shows the same.
TEST(RelayLimits, ConnectionsCountWhatTheyRelayedAndDroppedAndTarnStatusShowsIt) {
  TarnTestServer src, dst({"-m", "1k"}), mon;
  ASSERT_TRUE(e2e::putAt(src.name(), "BIG_1/X", e2e::timesFrom(kBase, 2), 2000));
  ASSERT_TRUE(e2e::putAt(src.name(), "SMALL_1/X", e2e::timesFrom(kBase + 2, 3), 700));
  RelayPf pf = oneWay(src, dst, "starttime " + timeText(kBase - 1) + "\n");
  pf.connections += e2e::writer("status_out", mon.name(), "st");
  pf.status = "run true\nwrite_to_queue st\n";
  Relay relay(pf, {"-v", "-t", "counted"});
  ASSERT_TRUE(e2e::relayReady(relay, 3, 1)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 3)) << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();

  testsupport::ProcessResult status = testsupport::runProgram(
      {testsupport::programPath("tarn"), "status", mon.name(), "--json"}, std::chrono::seconds(60));
  nlohmann::json doc = nlohmann::json::parse(status.out, nullptr, false);
  ASSERT_TRUE(doc.contains("relays") && doc["relays"].size() == 1) << status.out << status.err;
  std::map<std::string, nlohmann::json> counters;
  for (const nlohmann::json &c : doc["relays"][0]["connections"])
    counters[c["name"]] = c["counters"];
  EXPECT_EQ(counters["in"], nlohmann::json::parse(R"({"packets":5,"bytes":6100,"dropped":{},)"
                                                  R"("dropped_total":0,"rejected":{},)"
                                                  R"("rejected_total":0,"reconnections":0})"));
  EXPECT_EQ(counters["out"],
            nlohmann::json::parse(R"({"packets":3,"bytes":2100,"dropped":{"too_large":2},)"
                                  R"("dropped_total":2,"rejected":{},"rejected_total":0,)"
                                  R"("reconnections":0})"));
  EXPECT_EQ(counters["status_out"]["packets"], 0);  // the relay's own packets are not counted
}

// A packet the destination's writers rule refuses is dropped and named, and
// the packets after it are relayed, not held up behind it.
TEST(RelayLimits, APacketTheWritersRuleRefusesIsDroppedAndTheRestRelayed) {
  TarnTestServer src, dst({"-W", "127.0.0.1=OK_.*"});
  ASSERT_TRUE(e2e::putAt(src.name(), "OK_1/X", {kBase}));
  ASSERT_TRUE(e2e::putAt(src.name(), "NO_1/X", e2e::timesFrom(kBase + 1, 2)));
  ASSERT_TRUE(e2e::putAt(src.name(), "OK_1/X", {kBase + 3}));
  Relay relay(oneWay(src, dst, "starttime " + timeText(kBase - 1) + "\n"));
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 2)) << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  EXPECT_EQ(packetsOn(dst.name()).size(), 2u);
  std::string output = relay.output();
  EXPECT_EQ(e2e::countOf(output, "RelayConnection 'out' dropped packet 'NO_1/X' of "), 1) << output;
  EXPECT_EQ(e2e::countOf(output, "writing source 'NO_1/X'"), 1) << output;  // said once
  EXPECT_NE(
      output.find(", 32 bytes: refused by tarn '" + dst.name() + "' (writing source 'NO_1/X' to "),
      std::string::npos)
      << output;
  EXPECT_NE(output.find("RelayConnection 'out' ends having dropped 2 packets: 2 refused by tarn '" +
                        dst.name() + "'\n"),
            std::string::npos)
      << output;
}

TEST(RelayLimits, CheckUnstuffDropsBadPacketsWithAndWithoutComplaint) {
  TarnTestServer src;
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "40", "--bad", "0.25", "--streams", "2"}));
  auto in = packetsOn(src.name(), {"--unstuff"});
  ASSERT_EQ(in.size(), 40u);
  std::vector<e2e::Packet> good, bad;
  for (const auto &p : in) (p.unstuffs ? good : bad).push_back(p);
  ASSERT_EQ(bad.size(), 10u);
  // A start time before the first packet: every one of them is read.
  std::string start =
      "starttime " + std::to_string(long(in.front().time) - 1) + "\ncheck_unstuff true\n";
  const std::string complaint = ">: packet doesn't unstuff (";
  std::set<std::string> badSources;
  for (const auto &p : bad) badSources.insert(p.srcname);

  for (bool suppress : {false, true}) {
    SCOPED_TRACE(suppress ? "suppressed" : "reported");
    TarnTestServer dst;
    Relay relay(oneWay(src, dst,
                       start + "suppress_unstuff_errors " + (suppress ? "true" : "false") + "\n"));
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    ASSERT_TRUE(e2e::waitForCount(dst.name(), good.size())) << relay.output();
    EXPECT_EQ(identities(packetsOn(dst.name())), identities(good));
    std::string output = relay.output();
    if (suppress) {
      EXPECT_EQ(e2e::countOf(output, "Rejecting <"), 0) << output;
    } else {
      // The first bad packet of each source is named, with why; the rest counted.
      EXPECT_EQ(e2e::countOf(output, complaint), int(badSources.size())) << output;
      EXPECT_EQ(e2e::countOf(output, "), and 'check_unstuff' is configured to 'true'; further "
                                     "packets of this source rejected for this reason are counted"),
                int(badSources.size()))
          << output;
      for (const std::string &name : badSources)
        EXPECT_NE(output.find("Rejecting <Packet: srcname '" + name + "' time '"),
                  std::string::npos);
    }
    EXPECT_EQ(relay.terminate(), 0) << output;
  }
}

}  // namespace
