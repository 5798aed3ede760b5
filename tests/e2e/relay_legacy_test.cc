// The legacy command line between real servers: `tarn2tarn_pre -S state in
// out START END` copies the packets from START to END, with the relay's own
// status and log packets beside them, and ends by itself; run again on the
// same statefile it copies none of them a second time.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/time/epochtime.h"
#include "process.h"
#include "relay_e2e.h"

namespace {

using std::chrono::seconds;
using testsupport::programPath;

class LegacyRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::writeFile(dir.file("legacy.pf"), "too_old\ncheck_unstuff false\n");
    base = static_cast<double>(static_cast<long>(std_now())) - 1000;
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) times.push_back(base + i);
    ASSERT_TRUE(e2e::putAt(source.name(), "AA_STA/GEN", times));
    ASSERT_TRUE(e2e::waitForCount(source.name(), 10));
  }

  std::vector<std::string> command(const std::string &start, const std::string &end) {
    return {programPath("tarn2tarn_pre"),
            "-v",
            "-p",
            dir.file("legacy"),
            "-S",
            dir.file("state"),
            "-t",
            "leg",
            source.name(),
            dest.name(),
            start,
            end};
  }
  std::string at(int offset) const { return std::to_string(static_cast<long>(base) + offset); }

  // The relayed packets on the destination, and whether the relay's own
  // status and log packets arrived beside them.
  std::vector<std::string> relayed() {
    return e2e::identities(e2e::withPrefix(e2e::packetsOn(dest.name()), "AA_STA/"));
  }
  // The source's packets `from` to `to`, once the destination holds at
  // least that many and two more (a status and a log packet): reading a
  // server can take a while on a busy machine.
  std::vector<std::string> expected(int from, int to) {
    e2e::waitForCount(dest.name(), static_cast<size_t>(to - from + 3));
    auto all = e2e::identities(e2e::packetsOn(source.name()));
    return std::vector<std::string>(all.begin() + from, all.begin() + to + 1);
  }
  void expectOwnPackets() {
    auto on = e2e::packetsOn(dest.name());
    EXPECT_FALSE(e2e::withPrefix(on, "leg/pf/st").empty()) << "no status packet";
    EXPECT_FALSE(e2e::withPrefix(on, "leg/log").empty()) << "no log packet";
  }

  // A second run on the same statefile: whatever arguments it has, it finds
  // nothing new to copy; it is stopped by SIGTERM if it does not end.
  void runAgainCopiesNothing(const std::string &start, const std::string &end) {
    size_t before = relayed().size();
    testsupport::ChildProcess again(command(start, end));
    testsupport::waitUntil(
        [&] {
          return again.out().find("Repositioned tarn") != std::string::npos || !again.running();
        },
        seconds(30));
    testsupport::waitUntil([&] { return !again.running(); }, seconds(3));
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(seconds(60)), 0) << again.err();
    EXPECT_EQ(relayed().size(), before) << again.out();
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer source;
  tarntest::TarnTestServer dest;
  double base = 0;
};

TEST_F(LegacyRelay, CopiesFromStartToEndAndEndsByItself) {
  auto run = testsupport::runProgram(command(at(2), at(6)), seconds(90));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  auto want = expected(2, 6);
  EXPECT_EQ(relayed(), want) << run.out << run.err;
  expectOwnPackets();
  runAgainCopiesNothing(at(2), at(6));
}

TEST_F(LegacyRelay, EndLastCopiesUpToTheNewestPacket) {
  auto run = testsupport::runProgram(command(at(3), "last"), seconds(90));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.out.find("Received last packet"), std::string::npos) << run.out;
  auto want = expected(3, 9);
  EXPECT_EQ(relayed(), want) << run.out << run.err;
  expectOwnPackets();
  // Again on the same statefile: it stands past the last packet already, so
  // it ends at once, by itself.
  size_t before = relayed().size();
  auto again = testsupport::runProgram(command(at(3), "last"), seconds(90));
  EXPECT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_NE(again.out.find("Already past the last packet (pktid 9)"), std::string::npos)
      << again.out;
  EXPECT_EQ(relayed().size(), before);
}

TEST_F(LegacyRelay, PeriodEndsThatLongAfterTheStart) {
  auto run = testsupport::runProgram(command(at(1), "4"), seconds(90));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  auto want = expected(1, 5);
  EXPECT_EQ(relayed(), want) << run.out << run.err;
  expectOwnPackets();
  runAgainCopiesNothing(at(1), "4");
}

}  // namespace
