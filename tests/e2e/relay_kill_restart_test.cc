// A relay killed with SIGKILL under a steady stream of packets and
// restarted on the same statefile: no packet is missing, and none is stored
// twice, although the relay puts again what it read since its last save and
// what was in flight: the destination knows each put's identity. Also with
// the destination killed and restarted from its ring file meanwhile, and
// with the entries of the parameter file moved. The
// figures, and the repeats the destination left out, are printed too.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Figures {
  size_t generated = 0, delivered = 0, missing = 0, duplicated = 0;
};

class KillAndRestart : public testing::Test {
 protected:
  std::unique_ptr<Relay> start() {
    testsupport::RelayPf pf;
    pf.connections = swapped ? writer("out", dst.name(), "q") + reader("in", src.name(), "q")
                             : reader("in", src.name(), "q") + writer("out", dst.name(), "q");
    auto relay =
        std::make_unique<Relay>(pf, std::vector<std::string>{"-S", dir.file("relay.state"), "-v"});
    EXPECT_TRUE(relayReady(*relay, 2, 1)) << relay->output();
    return relay;
  }

  // Generates `rate` packets/s for `duration` seconds, kills the relay at
  // each of the moments (seconds from the start), restarting it each time,
  // and counts what reached the destination. `who` says whom each kill
  // hits: 'r' the relay (the default), 'd' the destination, 'b' both, 's'
  // the relay, restarted with the entries of its parameter file swapped.
  Figures run(int rate, int duration, const std::vector<double> &kills,
              const std::string &who = "") {
    auto relay = start();
    int count = rate * duration;
    testsupport::ChildProcess generator({testsupport::programPath("tarn"), "gen", src.name(), "-n",
                                         std::to_string(count), "-r", std::to_string(rate), "-s",
                                         "64", "--src", "KILL_%d/x", "--streams", "4"});
    auto begin = std::chrono::steady_clock::now();
    for (size_t k = 0; k < kills.size(); ++k) {
      std::this_thread::sleep_until(begin + milliseconds(static_cast<long>(kills[k] * 1000)));
      char hit = k < who.size() ? who[k] : 'r';
      if (hit != 'd') {
        relay->process().signal(SIGKILL);
        relay->process().wait(seconds(30));
      }
      if (hit == 's') swapped = !swapped;
      if (hit != 'r' && hit != 's') {
        dst.kill();
        dst.restart();
      }
      if (hit != 'd') relay = start();
    }
    EXPECT_EQ(generator.wait(seconds(300)), 0) << generator.err();
    Figures f;
    auto sent = packetsOn(src.name());
    f.generated = sent.size();
    EXPECT_TRUE(waitForCount(dst.name(), f.generated, seconds(120))) << relay->output();
    EXPECT_EQ(relay->terminate(), 0) << relay->output();
    std::map<std::string, int> seen;
    for (const Packet &p : packetsOn(dst.name())) ++seen[p.identity()];
    for (const Packet &p : sent) {
      auto it = seen.find(p.identity());
      if (it == seen.end()) {
        if (f.missing++ < 5)
          std::printf("missing: %s (source id %ld)\n", p.identity().c_str(), p.pktid);
        continue;
      }
      f.delivered += 1;
      f.duplicated += static_cast<size_t>(it->second - 1);
    }
    std::printf(
        "relay killed %zu times and restarted at %d packets/s: %zu generated, %zu delivered, %zu "
        "missing, "
        "%zu duplicated, %llu repeats left out by the destination\n",
        kills.size(), rate, f.generated, f.delivered, f.missing, f.duplicated,
        static_cast<unsigned long long>(repeatsLeftOut()));
    return f;
  }

  // The repeats the destination acknowledged without storing them.
  unsigned long long repeatsLeftOut() {
    int fd = tarnopen(dst.name().c_str(), "r&");
    tarnclient::RingFigures f;
    bool ok = fd >= 0 && tarnclient::stat(fd, f);
    if (fd >= 0) tarnclose(fd);
    return ok ? f.repeats : 0;
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer src, dst{{"-r", dir.file("dst.ring"), "-s", "64M"}};
  bool swapped = false;  // the writer's entry before the reader's
};

TEST_F(KillAndRestart, At1000PacketsPerSecond) {
  Figures f = run(1000, 4, {2.3});
  EXPECT_EQ(f.generated, 4000u);
  EXPECT_EQ(f.missing, 0u);
  EXPECT_EQ(f.duplicated, 0u);
}

TEST_F(KillAndRestart, At50000PacketsPerSecond) {
  Figures f = run(50000, 3, {1.8});
  EXPECT_EQ(f.generated, 150000u);
  EXPECT_EQ(f.missing, 0u);
  EXPECT_EQ(f.duplicated, 0u);
}

TEST_F(KillAndRestart, FiveKillsAtRandomMomentsAt20000PacketsPerSecond) {
  // RELAY_KILL_SEED repeats a run's kill moments.
  const char *given = std::getenv("RELAY_KILL_SEED");
  unsigned seed =
      given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  std::printf("kill moments from seed %u (RELAY_KILL_SEED)\n", seed);
  std::mt19937 random(seed);
  // One kill in each stretch of 1.5 s, so that the relay is up in between.
  std::vector<double> kills;
  for (int k = 0; k < 5; ++k)
    kills.push_back(0.3 + 1.5 * k + std::uniform_real_distribution<double>(0, 1.1)(random));
  Figures f = run(20000, 8, kills);
  EXPECT_EQ(f.generated, 160000u);
  EXPECT_EQ(f.missing, 0u) << "seed " << seed;
  EXPECT_EQ(f.duplicated, 0u) << "seed " << seed;
}

// The destination is killed too, or alone, and comes back from its ring
// file while the relay (restarted, or its client library reconnecting) puts
// again what it had not seen acknowledged: the window of identities is
// rebuilt from the file.
TEST_F(KillAndRestart, TheDestinationRestartedFromItsRingFileStoresEachPacketOnce) {
  Figures f = run(20000, 4, {0.8, 1.9, 3.0}, "bdb");
  EXPECT_EQ(f.generated, 80000u);
  EXPECT_EQ(f.missing, 0u);
  EXPECT_EQ(f.duplicated, 0u);
}

// The reader and writer entries swapped between a kill and the restart:
// their generated tag names change places, and what the reader reads again
// is still known to the destination.
TEST_F(KillAndRestart, EntriesSwappedBetweenAKillAndTheRestartStoreNothingTwice) {
  Figures f = run(20000, 3, {0.9, 1.9}, "ss");
  EXPECT_EQ(f.generated, 60000u);
  EXPECT_EQ(f.missing, 0u);
  EXPECT_EQ(f.duplicated, 0u);
}

}  // namespace
}  // namespace e2e
