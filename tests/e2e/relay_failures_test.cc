// What the relay keeps when things go wrong around it: a destination that
// hangs at a stop, a relay killed while its destination lags, a forced exit,
// parameter files edited between runs. In every case a restart on the
// statefile delivers every packet the source still holds. The destination
// keeps its ring in a file, so that it can be killed and started again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <thread>

#include "relay_e2e.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::RelayPf;

// How often each packet of the source arrived at the destination.
struct Delivery {
  size_t missing = 0, duplicated = 0;
};
Delivery compare(const std::vector<Packet> &sent, const std::vector<Packet> &arrived) {
  std::map<std::string, int> seen;
  for (const Packet &p : arrived) ++seen[p.identity()];
  Delivery d;
  for (const Packet &p : sent) {
    auto it = seen.find(p.identity());
    if (it == seen.end()) {
      ++d.missing;
    } else {
      d.duplicated += static_cast<size_t>(it->second - 1);
    }
  }
  return d;
}

class RelayFailures : public testing::Test {
 protected:
  std::string statefile() const { return dir.file("relay.state"); }

  // True once the relay has saved its statefile twice after the call.
  bool savedTwiceMore() const {
    auto stamp = [&] {
      struct stat st {};
      if (stat(statefile().c_str(), &st) != 0) return std::pair<time_t, long>{0, 0};
      return std::pair<time_t, long>{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    };
    auto last = stamp();
    int saves = 0;
    return testsupport::waitUntil(
        [&] {
          auto now = stamp();
          if (now != last) ++saves;
          last = now;
          return saves >= 2;
        },
        seconds(20));
  }
  RelayPf straight(const std::string &srcName = "") const {
    RelayPf pf;
    pf.connections =
        reader("in", srcName.empty() ? src.name() : srcName, "q") + writer("out", dst.name(), "q");
    return pf;
  }
  // -v -v: the reader's "read" lines tell how far it is.
  std::unique_ptr<Relay> start(const RelayPf &pf) {
    auto relay =
        std::make_unique<Relay>(pf, std::vector<std::string>{"-v", "-v", "-S", statefile()});
    EXPECT_TRUE(relayReady(*relay, 2, 1)) << relay->output();
    return relay;
  }
  bool readAll(const Relay &relay, const std::string &src, int count) {
    return relay.waitFor("': read Packet: srcname '" + src + "'", count);
  }
  void hangDestination() { kill(dst.pid(), SIGSTOP); }
  void restartDestination() {
    dst.kill();  // also when stopped: what it had not stored is gone
    dst.restart();
  }
  // Waits until the destination holds every packet of the source; then
  // stops the relay in order and compares.
  Delivery settle(std::unique_ptr<Relay> &relay) {
    size_t want = packetsOn(src.name()).size();
    EXPECT_TRUE(waitForCount(dst.name(), want)) << relay->output();
    EXPECT_EQ(relay->terminate(), 0) << relay->output();
    return compare(packetsOn(src.name()), packetsOn(dst.name()));
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer src;
  tarntest::TarnTestServer dst{{"-r", dir.file("dst.ring")}};
};

// The destination hangs (SIGSTOP) after the relay has put packets on it: at
// the stop the writer waits three seconds for acknowledgements that never come,
// says what it leaves, and the statefile keeps the position before them.
TEST_F(RelayFailures, ADestinationHungAtTheStopLosesNothing) {
  auto relay = start(straight());
  ASSERT_TRUE(putAt(src.name(), "W/x", timesFrom(1000, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 5));
  hangDestination();
  ASSERT_TRUE(putAt(src.name(), "H/x", timesFrom(2000, 300), 100));
  ASSERT_TRUE(readAll(*relay, "H/x", 300)) << relay->output();
  EXPECT_EQ(relay->terminate(), 0) << relay->output();
  std::string err = relay->process().err();
  EXPECT_NE(
      err.find(
          "RelayConnection 'out' ends with 300 packets put to tarn '" + dst.name() +
          "' not acknowledged: they will be read again when the relay restarts on its statefile"),
      std::string::npos)
      << err;
  EXPECT_NE(err.find("tarn '" + dst.name() + "': 300 puts left unacknowledged at exit"),
            std::string::npos)
      << err;
  restartDestination();
  relay = start(straight());
  Delivery d = settle(relay);
  EXPECT_EQ(d.missing, 0u);
  EXPECT_EQ(d.duplicated, 0u);
}

// The hung destination comes back instead of being killed: it stores the
// puts that were waiting in its socket, and the restarted relay puts them
// again. Each is stored once, the others acknowledged as repeats.
TEST_F(RelayFailures, ADestinationHungAtTheStopThatComesBackStoresEachPacketOnce) {
  auto relay = start(straight());
  ASSERT_TRUE(putAt(src.name(), "W/x", timesFrom(1000, 5)));
  ASSERT_TRUE(waitForCount(dst.name(), 5));
  hangDestination();
  ASSERT_TRUE(putAt(src.name(), "H/x", timesFrom(2000, 300), 100));
  ASSERT_TRUE(readAll(*relay, "H/x", 300)) << relay->output();
  EXPECT_EQ(relay->terminate(), 0) << relay->output();
  kill(dst.pid(), SIGCONT);
  ASSERT_TRUE(waitForCount(dst.name(), 305)) << "what waited in its socket";
  relay = start(straight());
  ASSERT_TRUE(putAt(src.name(), "A/x", timesFrom(3000, 5)));
  Delivery d = settle(relay);
  EXPECT_EQ(d.missing, 0u);
  EXPECT_EQ(d.duplicated, 0u);
  EXPECT_EQ(packetsOn(dst.name()).size(), 310u);
}

// SIGKILL two saves after the reader has read what the hung destination
// never took: the saved position is still before those packets.
TEST_F(RelayFailures, ARelayKilledWhileItsDestinationLagsLosesNothing) {
  auto relay = start(straight());
  hangDestination();
  ASSERT_TRUE(putAt(src.name(), "K/x", timesFrom(1000, 200), 100));
  ASSERT_TRUE(readAll(*relay, "K/x", 200)) << relay->output();
  ASSERT_TRUE(savedTwiceMore()) << relay->output();
  relay->process().signal(SIGKILL);
  relay->process().wait(seconds(30));
  restartDestination();
  relay = start(straight());
  Delivery d = settle(relay);
  EXPECT_EQ(d.missing, 0u);
  EXPECT_EQ(d.duplicated, 0u);
}

// A second signal ends the relay at once, and the grace period running out
// does too; each saves the positions of what is done first.
TEST_F(RelayFailures, AForcedExitSavesOnlyWhatIsDone) {
  for (const char *how : {"second signal", "grace period"}) {
    SCOPED_TRACE(how);
    bool second = std::string(how) == "second signal";
    RelayPf pf = straight();
    pf.timing = std::string("pfstatusreport 2\ninternal_timeout 1\nshutdown_grace_period ") +
                (second ? "600" : "1") + "\n";
    auto relay = start(pf);
    hangDestination();
    std::string srcName = second ? "S/x" : "G/x";
    ASSERT_TRUE(putAt(src.name(), srcName, timesFrom(1000, 100), 100));
    ASSERT_TRUE(readAll(*relay, srcName, 100)) << relay->output();
    relay->process().signal(SIGTERM);
    if (second) {
      // Signals of one kind sent at once merge into one: the second goes
      // once the first has been seen, while the writer still waits.
      ASSERT_TRUE(relay->waitFor("'state_manager': Thread finished")) << relay->output();
      relay->process().signal(SIGTERM);
    }
    EXPECT_EQ(relay->process().wait(seconds(30)), 255) << relay->output();
    std::string err = relay->process().err();
    std::string why = second ? "Second termination signal received: exiting now\n"
                             : "Shutdown grace period of 1 seconds expired: exiting now\n";
    EXPECT_NE(err.find(why), std::string::npos) << err;
    EXPECT_NE(err.find("Read positions saved to statefile '" + statefile() + "' before exiting\n"),
              std::string::npos)
        << err;
    restartDestination();
    relay = start(straight());
    Delivery d = settle(relay);
    EXPECT_EQ(d.missing, 0u);
  }
}

// Moving entries about and writing the source's name another way changes
// nothing: the reader is known by its server's address, its expressions and
// its name.
TEST_F(RelayFailures, EditsToTheParameterFileKeepThePosition) {
  std::string port = src.name().substr(src.name().rfind(':'));
  auto relay = start(straight(port));
  ASSERT_TRUE(putAt(src.name(), "E/x", timesFrom(1000, 10)));
  ASSERT_TRUE(waitForCount(dst.name(), 10));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  int first = 1010;
  for (std::string name : {"127.0.0.1" + port, "localhost" + port}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(putAt(src.name(), "E/x", timesFrom(first, 5)));  // while the relay is down
    first += 5;
    RelayPf pf;
    pf.connections = writer("out", dst.name(), "q") + reader("in", name, "q");
    relay = start(pf);
    EXPECT_TRUE(relay->waitFor("from statefile '" + statefile() + "' to pktid " +
                               std::to_string(first - 1006)))
        << relay->output();
    ASSERT_TRUE(waitForCount(dst.name(), static_cast<size_t>(first - 1000)));
    ASSERT_EQ(relay->terminate(), 0) << relay->output();
  }
  Delivery d = compare(packetsOn(src.name()), packetsOn(dst.name()));
  EXPECT_EQ(d.missing, 0u);
  EXPECT_EQ(d.duplicated, 0u);
}

// A statefile written by an earlier version (positions named by the tarn
// name as written and the tag) is taken over, and rewritten in the new form,
// the tag's name kept as what the reader's packets are identified by, as
// that version did.
TEST_F(RelayFailures, AStatefileOfTheFirstFormatIsTakenOver) {
  ASSERT_TRUE(putAt(src.name(), "O/x", timesFrom(1000, 10)));
  testsupport::writeFile(statefile(), "tarn2tarn_pre read positions 1\nposition \"" + src.name() +
                                          "\" \"\" \"\" \"tarntag0001\" 5 1005\nend 1\n");
  auto relay = start(straight());
  EXPECT_TRUE(relay->waitFor("to pktid 5, time")) << relay->output();
  ASSERT_TRUE(waitForCount(dst.name(), 4));
  ASSERT_EQ(relay->terminate(), 0) << relay->output();
  auto arrived = packetsOn(dst.name());
  ASSERT_EQ(arrived.size(), 4u);
  EXPECT_EQ(arrived.front().time, 1006);
  std::string text = testsupport::readFile(statefile());
  EXPECT_EQ(text.rfind("tarn2tarn_pre read positions 3\n", 0), 0u) << text;
  EXPECT_NE(text.find("\"in\" \"tarntag0001\" after 9 1009"), std::string::npos) << text;
}

// A long internal time-out no longer holds up a stop: every thread sees the
// stop within a second, and the relay warns about the setting.
TEST_F(RelayFailures, ALongInternalTimeoutDoesNotTurnAStopIntoAForcedExit) {
  RelayPf pf = straight();
  pf.timing = "pfstatusreport 30\ninternal_timeout 20\nshutdown_grace_period 6\n";
  pf.status = "run true\nwrite_to_queue q\n";
  pf.log = "run true\nwrite_to_queue q\n";
  auto relay = start(pf);
  EXPECT_TRUE(relay->waitFor(
      "Warning: internal_timeout of 20 seconds is not below shutdown_grace_period of 6 seconds"))
      << relay->output();
  ASSERT_TRUE(putAt(src.name(), "L/x", timesFrom(1000, 3)));
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return withPrefix(packetsOn(dst.name()), "L/").size() >= 3; }, seconds(30)));
  EXPECT_EQ(relay->terminate(), 0) << relay->output();
  // The stop came while the writer waited for its queue: it still says so.
  EXPECT_EQ(countOf(relay->output(), "Flushing queue"), 1) << relay->output();
}

}  // namespace
}  // namespace e2e
