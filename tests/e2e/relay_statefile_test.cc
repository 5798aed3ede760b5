// Read positions across restarts of the real relay between real tarn
// servers: every packet exactly once after a SIGTERM and a restart, each
// reader at its own position, unusable statefiles and failing saves, and
// the status packets a running and a stopping relay send.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "relay_e2e.h"

namespace e2e {
namespace {

using std::chrono::seconds;
using testsupport::RelayPf;

// The times of the packets named `src`, in the order the server holds them.
std::vector<double> timesOf(const std::vector<Packet> &packets, const std::string &src) {
  std::vector<double> times;
  for (const Packet &p : packets) {
    if (p.srcname == src) times.push_back(p.time);
  }
  return times;
}

class RelayStatefile : public testing::Test {
 protected:
  std::string statefile() const { return dir.file("relay.state"); }
  std::vector<std::string> flags() const { return {"-v", "-S", statefile()}; }
  // One reader from src and one writer to dst.
  RelayPf straight(const std::string &readerExtra = "") const {
    RelayPf pf;
    pf.connections = reader("in", src.name(), "q", readerExtra) + writer("out", dst.name(), "q");
    return pf;
  }
  std::unique_ptr<Relay> start(const RelayPf &pf, int connections = 2, int readers = 1) {
    auto relay = std::make_unique<Relay>(pf, flags());
    EXPECT_TRUE(relayReady(*relay, connections, readers)) << relay->output();
    return relay;
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer src, dst;
};

TEST_F(RelayStatefile, SigtermAndRestartRelayEveryPacketOnce) {
  auto relay = start(straight());
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1000, 50)));
  ASSERT_TRUE(waitForCount(dst.name(), 50));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  // Packets that arrive while the relay is down.
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1050, 50)));
  relay = start(straight());
  EXPECT_NE(relay->output().find("from statefile '" + statefile() + "' to pktid 49, time "),
            std::string::npos)
      << relay->output();
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1100, 20)));
  ASSERT_TRUE(waitForCount(dst.name(), 120));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  EXPECT_EQ(timesOf(packetsOn(dst.name()), "A/x"), timesFrom(1000, 120));
  EXPECT_NE(testsupport::readFile(statefile()).find(" after 119 1119 "), std::string::npos)
      << testsupport::readFile(statefile());
}

TEST_F(RelayStatefile, TwoReadersOnOneTarnEachResumeAtTheirOwnPosition) {
  RelayPf pf;
  pf.connections = reader("aa", src.name(), "qa", "match AA/.*\n") +
                   reader("others", src.name(), "qb", "reject AA/.*\n") +
                   writer("outa", dst.name(), "qa") + writer("outb", dst.name(), "qb");
  auto relay = start(pf, 4, 2);
  ASSERT_TRUE(putAt(src.name(), "AA/x", timesFrom(1000, 10)));
  ASSERT_TRUE(putAt(src.name(), "BB/x", timesFrom(2000, 3)));
  ASSERT_TRUE(waitForCount(dst.name(), 13));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  ASSERT_TRUE(putAt(src.name(), "BB/x", timesFrom(2003, 7)));
  ASSERT_TRUE(putAt(src.name(), "AA/x", timesFrom(1010, 5)));
  relay = start(pf, 4, 2);
  ASSERT_TRUE(waitForCount(dst.name(), 25));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  auto packets = packetsOn(dst.name());
  EXPECT_EQ(timesOf(packets, "AA/x"), timesFrom(1000, 15));
  EXPECT_EQ(timesOf(packets, "BB/x"), timesFrom(2000, 10));
  EXPECT_EQ(packets.size(), 25u);
}

TEST_F(RelayStatefile, AnUnusableStatefileIsReportedAndReplaced) {
  testsupport::writeFile(statefile(), "tarn2tarn_pre read positions 1\nposition \"");
  auto relay = start(straight());
  EXPECT_TRUE(relay->waitFor("exhume: statefile '" + statefile() +
                             "' is unusable (line 2: broken quoted name); "
                             "starting without saved read positions"))
      << relay->output();
  EXPECT_TRUE(relay->waitFor(" ='" + src.name() + "'> to newest pktid")) << relay->output();
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1000, 3)));
  ASSERT_TRUE(waitForCount(dst.name(), 3));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  EXPECT_NE(testsupport::readFile(statefile()).find(" after 2 1002 "), std::string::npos);
}

TEST_F(RelayStatefile, FailingSavesAreReportedOnceEachWayAndRelayingGoesOn) {
  RelayPf pf = straight();
  pf.timing = "pfstatusreport 2\ninternal_timeout 0.5\nshutdown_grace_period 15\n";
  auto relay = start(pf);
  const std::string blocker = statefile() + ".tmp";
  ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1000, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 5));
  ASSERT_TRUE(relay->waitFor("bury: cannot save read positions")) << relay->output();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // several more failing saves
  ASSERT_EQ(rmdir(blocker.c_str()), 0);
  ASSERT_TRUE(relay->waitFor("' again")) << relay->output();
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1005, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 10));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  EXPECT_EQ(countOf(relay->output(), "bury: cannot save read positions"), 1) << relay->output();
  EXPECT_EQ(countOf(relay->output(),
                    "bury: read positions saved to statefile '" + statefile() + "' again"),
            1);
  EXPECT_NE(testsupport::readFile(statefile()).find(" after 9 1009 "), std::string::npos);
}

// One relay per statefile: a second is refused while the first runs, the
// lock goes with a killed first relay, and a statefile that cannot be saved
// refuses the start.
TEST_F(RelayStatefile, OneRelayPerStatefileAndOnlyOneThatCanBeSaved) {
  auto first = start(straight());
  Relay second(straight(), flags());
  ASSERT_EQ(second.process().wait(seconds(30)), 255) << second.output();
  EXPECT_NE(
      second.output().find("statefile '" + statefile() + "' is in use by another relay (pid " +
                           std::to_string(first->process().pid()) + ","),
      std::string::npos)
      << second.output();
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1000, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 5));
  for (int i = 0;
       i < 300 && testsupport::readFile(statefile()).find(" after 4 1004 ") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  first->process().signal(SIGKILL);
  ASSERT_EQ(first->process().wait(seconds(30)), 128 + SIGKILL);
  auto third = start(straight());
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1005, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 10));
  ASSERT_EQ(third->terminate(), 0) << third->output();
  EXPECT_EQ(timesOf(packetsOn(dst.name()), "A/x"), timesFrom(1000, 10));

  const std::string missing = dir.file("no-such-folder/relay.state");
  Relay homeless(straight(), {"-S", missing});
  ASSERT_EQ(homeless.process().wait(seconds(30)), 255) << homeless.output();
  EXPECT_NE(homeless.output().find("of statefile '" + missing + "': No such file or directory"),
            std::string::npos)
      << homeless.output();
}

// The keys of one parameter-file text, with their nesting: "dls{r1}{con}".
std::vector<std::string> keysOf(const std::string &text) {
  std::vector<std::string> keys, path;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (line == "}") {
      if (!path.empty()) path.pop_back();
      continue;
    }
    std::string key = line.substr(0, line.find(' '));
    std::string full = path.empty() ? key : path[0];
    for (size_t i = 1; i < path.size(); ++i) full += "{" + path[i] + "}";
    if (!path.empty()) full += "{" + key + "}";
    keys.push_back(full);
    if (line.size() >= 5 && line.compare(line.size() - 5, 5, "&Arr{") == 0) path.push_back(key);
  }
  return keys;
}

// The value of one top-level or nested line, e.g. ("r1", "con").
std::string valueIn(const std::string &text, const std::string &array, const std::string &key) {
  std::istringstream in(text);
  bool inside = array.empty();
  for (std::string line; std::getline(in, line);) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (line == array + " &Arr{")
      inside = true;
    else if (inside && line.compare(0, key.size() + 1, key + " ") == 0)
      return line.substr(key.size() + 1);
  }
  return "(none)";
}

TEST_F(RelayStatefile, StatusPacketsDescribeTheRunningAndTheStoppedRelay) {
  RelayPf pf = straight();
  pf.connections += writer("stout", dst.name(), "statq");
  pf.status = "run true\nwrite_to_queue statq\n";
  pf.timing = "pfstatusreport 1\ninternal_timeout 1\nshutdown_grace_period 15\n";
  auto relay = std::make_unique<Relay>(pf, std::vector<std::string>{"-v", "-t", "relay9"});
  ASSERT_TRUE(relayReady(*relay, 3, 1)) << relay->output();
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(1000, 4)));
  ASSERT_TRUE(waitForCount(dst.name(), 4 + 2));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();

  std::vector<std::string> texts;
  auto result =
      testsupport::runProgram({testsupport::programPath("tarn"), "tail", dst.name(), "--from",
                               "oldest", "-t", "0.5", "--json", "--unstuff", "-m", "relay9/pf/st"});
  std::istringstream in(result.out);
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.contains("text")) texts.push_back(j["text"].get<std::string>());
  }
  ASSERT_GE(texts.size(), 2u) << result.out << result.err;
  const std::vector<std::string> connectionKeys = {
      "comt", "tarnn", "dir",   "qn",     "con",        "rtm",    "rss",  "nq",
      "dlt",  "link",  "npkts", "nbytes", "nreconnect", "ndrops", "drops", "nrejects", "rejects"};
  for (const std::string &text : texts) {
    std::vector<std::string> keys = keysOf(text);
    std::vector<std::string> expected = {"target", "type", "model", "rtm", "dls"};
    for (const std::string name : {"in", "out", "stout"}) {
      expected.push_back("dls{" + name + "}");
      for (const std::string &k : connectionKeys)
        expected.push_back("dls{" + name + "}{" + k + "}");
    }
    // The last report says that it is the last.
    if (&text == &texts.back()) expected.push_back("final");
    // The connections come in the registry's order: compare them as a set of
    // blocks, the relay lines in order.
    ASSERT_EQ(keys.size(), expected.size()) << text;
    if (expected.back() == "final") {
      EXPECT_EQ(keys.back(), "final") << text;
      keys.pop_back();
    }
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 5),
              std::vector<std::string>(expected.begin(), expected.begin() + 5))
        << text;
    for (size_t at = 5; at < keys.size(); at += connectionKeys.size() + 1) {
      std::string name = keys[at].substr(4, keys[at].size() - 5);
      for (size_t k = 0; k < connectionKeys.size(); ++k) {
        EXPECT_EQ(keys[at + 1 + k], "dls{" + name + "}{" + connectionKeys[k] + "}") << text;
      }
    }
    EXPECT_EQ(valueIn(text, "", "target"), "relay9");
    EXPECT_EQ(valueIn(text, "in", "dir"), "read");
    EXPECT_EQ(valueIn(text, "in", "tarnn"), src.name());
  }
  // The first report may come before the connections have started.
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end() - 1, [](const std::string &t) {
    return valueIn(t, "in", "con") == "yes" && valueIn(t, "in", "link") == "up";
  })) << result.out;
  EXPECT_EQ(valueIn(texts.back(), "in", "con"), "stopped") << texts.back();
  EXPECT_EQ(valueIn(texts.back(), "out", "con"), "stopped") << texts.back();
  EXPECT_EQ(valueIn(texts.back(), "in", "dlt"), "999999999.900000") << texts.back();
  EXPECT_EQ(valueIn(texts.back(), "out", "link"), "none") << texts.back();
  // The last report counts what each connection relayed in all.
  EXPECT_EQ(valueIn(texts.back(), "in", "npkts"), "4") << texts.back();
  EXPECT_EQ(valueIn(texts.back(), "out", "npkts"), "4") << texts.back();
  EXPECT_EQ(valueIn(texts.back(), "stout", "npkts"), "0") << texts.back();
}

}  // namespace
}  // namespace e2e
