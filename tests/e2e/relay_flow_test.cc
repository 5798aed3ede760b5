// Packets carried by the relay between real tarn servers: unchanged, in
// order, selected by source name, gathered from several servers into one
// queue and spread from one queue onto several servers.
#include <gtest/gtest.h>

#include <set>

#include "relay_e2e.h"

namespace {

using e2e::identities;
using e2e::packetsOn;
using e2e::Relay;
using tarntest::TarnTestServer;
using testsupport::RelayPf;

const double kBase = 1765100000.0;

TEST(RelayFlow, CopiesEveryPacketUnchangedAndInOrder) {
  TarnTestServer src, dst;
  // Packets present before the relay starts, reached through the start
  // time, then packets put while it runs.
  ASSERT_TRUE(tarntest::putPackets(src.name(), "PRE_1/OLD", 50, kBase, 100));
  RelayPf pf;
  pf.connections =
      e2e::reader("in", src.name(), "q", "starttime " + std::to_string(long(kBase)) + "\n") +
      e2e::writer("out", dst.name(), "q");
  Relay relay(pf);
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  EXPECT_EQ(e2e::countOf(relay.output(), " to requested start time '"), 1) << relay.output();
  EXPECT_NE(relay.output().find("(pktid 0)"), std::string::npos) << relay.output();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "2000", "-s", "512", "--streams", "3"}));

  ASSERT_TRUE(e2e::waitForCount(dst.name(), 2050)) << relay.output();
  auto in = packetsOn(src.name());
  auto out = packetsOn(dst.name());
  ASSERT_EQ(in.size(), 2050u);
  EXPECT_EQ(identities(out), identities(in));
  for (size_t i = 1; i < out.size(); ++i) ASSERT_LT(out[i - 1].pktid, out[i].pktid);
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayFlow, MatchAndRejectChooseTheSources) {
  TarnTestServer src, dst;
  ASSERT_TRUE(tarntest::putPackets(src.name(), "CD_1/X", 5, kBase));
  ASSERT_TRUE(tarntest::putPackets(src.name(), "AB_2/TEST", 5, kBase + 10));
  ASSERT_TRUE(tarntest::putPackets(src.name(), "AB_1/X", 5, kBase + 20));
  RelayPf pf;
  pf.connections =
      e2e::reader("in", src.name(), "q",
                  "match AB_.*\nreject .*/TEST\nstarttime " + std::to_string(long(kBase)) + "\n") +
      e2e::writer("out", dst.name(), "q");
  Relay relay(pf);
  ASSERT_TRUE(e2e::relayReady(relay, 2, 1)) << relay.output();
  // Counts of the sources present that the tag delivers after each step.
  EXPECT_NE(relay.output().find("Matched 2 sources after selecting on expression 'AB_.*'\n"),
            std::string::npos)
      << relay.output();
  EXPECT_NE(relay.output().find("Matched 1 sources after rejecting on expression '.*/TEST'\n"),
            std::string::npos)
      << relay.output();
  // Live packets of every kind; the wanted ones come last, so once they are
  // there every other one has been passed over.
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "60", "--src", "CD_%d/X", "--streams", "2"}));
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "60", "--src", "AB_%d/TEST", "--streams", "2"}));
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "60", "--src", "AB_%d/X", "--streams", "2"}));

  std::vector<e2e::Packet> wanted;
  for (const auto &p : packetsOn(src.name())) {
    if (p.srcname.rfind("AB_", 0) == 0 && p.srcname.find("/TEST") == std::string::npos)
      wanted.push_back(p);
  }
  ASSERT_EQ(wanted.size(), 65u);
  ASSERT_TRUE(e2e::waitForCount(dst.name(), wanted.size())) << relay.output();
  EXPECT_EQ(identities(packetsOn(dst.name())), identities(wanted));
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayFlow, SeveralReadersFeedOneQueue) {
  TarnTestServer src1, src2, dst;
  RelayPf pf;
  pf.connections = e2e::reader("in1", src1.name(), "q") + e2e::reader("in2", src2.name(), "q") +
                   e2e::writer("out", dst.name(), "q");
  Relay relay(pf);
  ASSERT_TRUE(e2e::relayReady(relay, 3, 2)) << relay.output();
  // Both sources at once, so that the readers' packets interleave.
  testsupport::ChildProcess gen1({testsupport::programPath("tarn"), "gen", src1.name(), "-n",
                                  "1500", "--src", "ONE_%d/X", "--streams", "2"});
  testsupport::ChildProcess gen2({testsupport::programPath("tarn"), "gen", src2.name(), "-n",
                                  "1500", "--src", "TWO_%d/X", "--streams", "2"});
  ASSERT_EQ(gen1.wait(std::chrono::seconds(120)), 0);
  ASSERT_EQ(gen2.wait(std::chrono::seconds(120)), 0);

  ASSERT_TRUE(e2e::waitForCount(dst.name(), 3000)) << relay.output();
  auto out = packetsOn(dst.name());
  EXPECT_EQ(out.size(), 3000u);
  // Each reader's packets keep their order among themselves.
  EXPECT_EQ(identities(e2e::withPrefix(out, "ONE_")), identities(packetsOn(src1.name())));
  EXPECT_EQ(identities(e2e::withPrefix(out, "TWO_")), identities(packetsOn(src2.name())));
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

TEST(RelayFlow, OneQueueFeedsTwoWritersOnTwoServers) {
  TarnTestServer src, dst1, dst2;
  RelayPf pf;
  pf.connections = e2e::reader("in", src.name(), "q") + e2e::writer("out1", dst1.name(), "q") +
                   e2e::writer("out2", dst2.name(), "q");
  Relay relay(pf);
  ASSERT_TRUE(e2e::relayReady(relay, 3, 1)) << relay.output();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "2000", "-s", "200", "--streams", "4"}));

  auto in = identities(packetsOn(src.name()));
  ASSERT_EQ(in.size(), 2000u);
  ASSERT_TRUE(e2e::waitForCount(dst1.name(), 2000)) << relay.output();
  ASSERT_TRUE(e2e::waitForCount(dst2.name(), 2000)) << relay.output();
  EXPECT_EQ(identities(packetsOn(dst1.name())), in);
  EXPECT_EQ(identities(packetsOn(dst2.name())), in);
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
}

}  // namespace
