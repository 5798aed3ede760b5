// The relay when servers are missing, stopped or lost: waiting for an absent
// server with back-off, draining a queue on SIGTERM, ending a writer that
// only carries log packets, resuming after a restart of the relay, and
// losing no packet when the source or the destination server is killed and
// started again.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "relay_e2e.h"

namespace {

using e2e::identities;
using e2e::packetsOn;
using e2e::Relay;
using std::chrono::seconds;
using tarntest::TarnTestServer;
using testsupport::ChildProcess;
using testsupport::programPath;
using testsupport::RelayPf;

// The waits of the "Waiting ..." complaints about one tarn, in order.
std::vector<std::string> waits(const std::string &output, const std::string &tarn) {
  std::vector<std::string> found;
  const std::string head = "Waiting ";
  const std::string middle = " seconds for tarn 'tarntag";
  const std::string tail = "' ('" + tarn + "') to become available\n";
  for (size_t at = output.find(head); at != std::string::npos; at = output.find(head, at + 1)) {
    size_t end = output.find('\n', at);
    std::string line = output.substr(at, end - at + 1);
    size_t mid = line.find(middle);
    if (mid != std::string::npos && line.size() > tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      found.push_back(line.substr(head.size(), mid - head.size()));
    }
  }
  return found;
}

TEST(RelayRecovery, WaitsForAnAbsentServerWithBackOffThenRelays) {
  // The source is absent at first for the reader, the destination for the
  // writer; each is started once the back-off has run through its steps.
  for (bool sourceAbsent : {true, false}) {
    SCOPED_TRACE(sourceAbsent ? "source absent" : "destination absent");
    std::unique_ptr<TarnTestServer> present = std::make_unique<TarnTestServer>();
    std::string port = std::to_string(e2e::freePort());
    std::string absent = ":" + port;
    RelayPf pf;
    pf.timing = "pfstatusreport 2\ninternal_timeout 0.25\nshutdown_grace_period 15\n";
    pf.connections =
        sourceAbsent ? e2e::reader("in", absent, "q") + e2e::writer("out", present->name(), "q")
                     : e2e::reader("in", present->name(), "q") + e2e::writer("out", absent, "q");
    Relay relay(pf);
    // Waits of 0, 0, 1, 2 and 2 whole seconds before the sixth complaint.
    ASSERT_TRUE(testsupport::waitUntil([&] { return waits(relay.output(), absent).size() >= 6; },
                                       seconds(30)))
        << relay.output();
    std::vector<std::string> expected = {"0.250000", "0.500000", "1.000000",
                                         "2.000000", "2.000000", "2.000000"};
    auto seen = waits(relay.output(), absent);
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 6), expected) << relay.output();

    TarnTestServer late({"-p", port});
    ASSERT_EQ(late.name(), "127.0.0.1" + absent);
    const TarnTestServer &src = sourceAbsent ? late : *present;
    const TarnTestServer &dst = sourceAbsent ? *present : late;
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    ASSERT_TRUE(e2e::gen(src.name(), {"-n", "300"}));
    ASSERT_TRUE(e2e::waitForCount(dst.name(), 300)) << relay.output();
    EXPECT_EQ(identities(packetsOn(dst.name())), identities(packetsOn(src.name())));
    EXPECT_EQ(relay.terminate(), 0) << relay.output();
  }
}

// At the default verbosity, a relay that waited for its destination says
// when the wait is over, and a link lost later is said to be back.
TEST(RelayRecovery, ReconnectionsAreToldAtTheDefaultVerbosity) {
  TarnTestServer src, dst;
  dst.kill();
  RelayPf pf;
  pf.timing = "pfstatusreport 2\ninternal_timeout 0.25\nshutdown_grace_period 15\n";
  pf.connections = e2e::reader("in", src.name(), "q") + e2e::writer("out", dst.name(), "q");
  Relay relay(pf, {});
  ASSERT_TRUE(relay.waitFor("') to become available")) << relay.output();
  dst.restart();
  EXPECT_TRUE(relay.waitFor("='" + dst.name() + "'> for writing")) << relay.output();
  EXPECT_EQ(e2e::countOf(relay.output(), "Connected to tarn"), 1) << relay.output();

  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "10"}));
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 10)) << relay.output();
  dst.kill();
  dst.restart();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "10"}));
  EXPECT_TRUE(relay.waitFor("tarn '" + dst.name() + "': connection restored after "))
      << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayRecovery, SigtermDrainsTheQueueBeforeTheRelayEnds) {
  TarnTestServer src, dst;
  RelayPf pf;
  // No bound in bytes, so that the queue can take every packet read.
  pf.connections = e2e::reader("in", src.name(), "q") +
                   e2e::writer("out", dst.name(), "q", "max_queue_bytes 0\n");
  Relay relay(pf, {"-v", "-v"});
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  // A destination that takes nothing for a while: once the socket buffers
  // are full the writer waits in its put and the packets read pile up in
  // the queue.
  ASSERT_EQ(kill(dst.pid(), SIGSTOP), 0);
  const int count = 20000;
  bool fed = e2e::gen(src.name(), {"-n", std::to_string(count), "-s", "1000"});
  bool read = relay.waitFor("' -> Queue 'q': read ", count, seconds(60));
  int written = e2e::countOf(relay.output(), "' -> Tarn '");
  relay.process().signal(SIGTERM);
  // The reader ends on the stop; the writer still waits in its put.
  bool stopped = relay.waitFor("Thread finished", 1, seconds(20));
  kill(dst.pid(), SIGCONT);
  ASSERT_TRUE(stopped) << relay.output();
  ASSERT_TRUE(fed);
  ASSERT_TRUE(read) << relay.output();
  EXPECT_LT(written, count);

  EXPECT_EQ(relay.process().wait(seconds(60)), 0) << relay.output();
  EXPECT_EQ(e2e::countOf(relay.output(), "Flushing queue"), 1) << relay.output();
  EXPECT_EQ(e2e::countOf(relay.output(), "' -> Tarn '"), count);
  EXPECT_EQ(identities(packetsOn(dst.name())), identities(packetsOn(src.name())));
}

TEST(RelayRecovery, WriterOfOnlyLogPacketsEndsAtStop) {
  TarnTestServer dst;
  RelayPf pf;
  pf.log = "run true\nwrite_to_queue logq\n";
  pf.connections = e2e::writer("logs", dst.name(), "logq");
  Relay relay(pf);
  ASSERT_TRUE(relay.waitFor("Connected to tarn")) << relay.output();
  ASSERT_TRUE(testsupport::waitUntil([&] { return e2e::newestId(dst.name()) >= 0; }, seconds(30)))
      << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  EXPECT_EQ(e2e::countOf(relay.output(), "Flushing queue"), 1) << relay.output();
  auto out = packetsOn(dst.name(), {"--unstuff"});
  ASSERT_FALSE(out.empty());
  for (const auto &p : out) {
    EXPECT_EQ(p.srcname.substr(p.srcname.size() - 4), "/log") << p.srcname;
    EXPECT_TRUE(p.unstuffs) << p.srcname;
  }
}

TEST(RelayRecovery, RestartedRelayResumesAfterItsLastPacket) {
  TarnTestServer src, dst;
  testsupport::TempDir state;
  RelayPf pf;
  pf.connections = e2e::reader("in", src.name(), "q") + e2e::writer("out", dst.name(), "q");
  std::vector<std::string> flags = {"-v", "-S", state.file("relay.state")};
  {
    Relay relay(pf, flags);
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    ASSERT_TRUE(e2e::gen(src.name(), {"-n", "1000", "--src", "RUN_%d/ONE"}));
    ASSERT_TRUE(e2e::waitForCount(dst.name(), 1000)) << relay.output();
    ASSERT_EQ(relay.terminate(), 0) << relay.output();
  }
  // Packets that arrive while the relay is down are read by the next run.
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "500", "--src", "RUN_%d/TWO"}));
  Relay relay(pf, flags);
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  EXPECT_NE(relay.output().find("from statefile '" + state.file("relay.state") + "'"),
            std::string::npos)
      << relay.output();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "500", "--src", "RUN_%d/THREE"}));
  ASSERT_TRUE(e2e::waitForCount(dst.name(), 2000)) << relay.output();
  // Each packet once, in order.
  EXPECT_EQ(identities(packetsOn(dst.name())), identities(packetsOn(src.name())));
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

// How many packets of `in` are not in `out`.
size_t missingFrom(const std::vector<e2e::Packet> &in, const std::vector<e2e::Packet> &out) {
  auto have = identities(out);
  std::set<std::string> present(have.begin(), have.end());
  size_t missing = 0;
  for (const auto &p : in) missing += present.count(p.identity()) ? 0 : 1;
  return missing;
}

// Every packet of the source is at the destination (some perhaps twice).
void expectNoneMissing(const std::vector<e2e::Packet> &in, const std::vector<e2e::Packet> &out) {
  auto have = identities(out);
  std::set<std::string> present(have.begin(), have.end());
  int missing = 0;
  for (const auto &p : in) {
    if (!present.count(p.identity()) && ++missing <= 5) ADD_FAILURE() << "missing " << p.identity();
  }
  EXPECT_EQ(missing, 0) << "of " << in.size();
}

TEST(RelayRecovery, NoPacketMissingWhenAServerIsKilledAndRestarted) {
  for (bool killSource : {true, false}) {
    SCOPED_TRACE(killSource ? "source killed" : "destination killed");
    testsupport::TempDir rings;
    TarnTestServer src({"-s", "16M", "-r", rings.file("src.ring")});
    TarnTestServer dst({"-s", "16M", "-r", rings.file("dst.ring")});
    RelayPf pf;
    pf.connections = e2e::reader("in", src.name(), "q") + e2e::writer("out", dst.name(), "q");
    Relay relay(pf);
    ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
    const int count = 4000;
    ChildProcess feed({programPath("tarn"), "gen", src.name(), "-n", std::to_string(count), "-r",
                       "1000", "--streams", "2"});
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return e2e::newestId(dst.name()) >= count / 3; }, seconds(60)))
        << relay.output();
    TarnTestServer &victim = killSource ? src : dst;
    victim.kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    victim.restart();
    ASSERT_EQ(feed.wait(seconds(120)), 0) << feed.err();

    auto in = packetsOn(src.name());
    ASSERT_GE(in.size(), size_t(count));
    std::vector<e2e::Packet> out;
    testsupport::waitUntil([&] { return missingFrom(in, out = packetsOn(dst.name())) == 0; },
                           seconds(60));
    expectNoneMissing(in, out);
    EXPECT_EQ(relay.terminate(), 0) << relay.output();
  }
}

}  // namespace
