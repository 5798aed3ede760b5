// Packets through a real server: sizes, source names, times bit for bit,
// the oldest dropped when the ring is full, skipped-packet reports, and
// packet ids wrapping at 2147483647.
#include <cmath>
#include <cstring>
#include <limits>

#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

class SmallServer : public TarnClientTest {
 protected:
  SmallServer() : TarnClientTest({"-s", "64k", "-m", "4k"}) {}
};

TEST_F(SmallServer, PacketsOfZeroAndOfTheMaximumSizeAndNoLarger) {
  int w = open("w&");
  std::string max(4096, '\0');
  for (size_t i = 0; i < max.size(); ++i) max[i] = static_cast<char>(i * 31);
  EXPECT_EQ(tarnput(w, "A/x", 1.0, "", 0), 0);
  EXPECT_EQ(tarnput(w, "A/x", 2.0, max.data(), 4096), 0);
  EXPECT_EQ(tarnput(w, "A/x", 3.0, max.data(), 4097), -1);
  EXPECT_EQ(tarnput(w, "A/x", 3.0, max.data(), -1), -1);
  int r = open();
  ASSERT_EQ(tarnseek(r, TARN_OLDEST), 0);
  EXPECT_EQ(reap(r).bytes, "");
  EXPECT_EQ(reap(r).bytes, max);
  EXPECT_EQ(reap(r, 0.2).rc, TARN_TIMEOUT);
}

TEST_F(SmallServer, SourceNamesOfOneTo63Characters) {
  int w = open("w&");
  std::string n63(63, 'n'), n64(64, 'n');
  EXPECT_EQ(tarnput(w, n63.c_str(), 1.0, "a", 1), 0);
  EXPECT_EQ(tarnput(w, "S", 1.0, "a", 1), 0);
  EXPECT_EQ(tarnput(w, n64.c_str(), 1.0, "a", 1), -1);
  EXPECT_EQ(tarnput(w, "", 1.0, "a", 1), -1);
  EXPECT_EQ(tarnput(w, nullptr, 1.0, "a", 1), -1);
  int r = open();
  ASSERT_EQ(tarnseek(r, TARN_OLDEST), 0);
  EXPECT_EQ(reap(r).src, n63);
  EXPECT_EQ(reap(r).src, "S");
}

TEST_F(SmallServer, TimesTravelBitForBit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  uint64_t payloadBits = 0x7ff8000000012345ull;
  double payloadNan;
  std::memcpy(&payloadNan, &payloadBits, 8);
  std::vector<double> times = {-0.0,
                               1765100000.123456789,
                               std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::infinity(),
                               nan,
                               payloadNan,
                               -9999999999.999};
  int w = open("w&");
  for (double t : times) ASSERT_EQ(tarnput(w, "T/t", t, "", 0), 0);
  int r = open();
  ASSERT_EQ(tarnseek(r, TARN_OLDEST), 0);
  for (double t : times) {
    Reaped p = reap(r);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(std::memcmp(&p.time, &t, 8), 0) << t;
  }
}

TEST_F(SmallServer, TheOldestPacketsAreDroppedWhenTheRingIsFull) {
  ASSERT_TRUE(put("A/x", 400, 0.0, 1000));  // 400 kB through a 64 kB ring
  int r = open();
  int oldest = tarnposition(r, "oldest");
  EXPECT_GT(oldest, 300);
  EXPECT_EQ(tarnposition(r, "newest"), 399);
  EXPECT_EQ(tarnseek(r, 0), -1);
  ASSERT_EQ(tarnseek(r, oldest), oldest);
  std::vector<int> ids = reapIds(r, 399 - oldest + 1);
  ASSERT_EQ(ids.size(), static_cast<size_t>(399 - oldest + 1));
  EXPECT_EQ(ids.back(), 399);
  EXPECT_LT(tarnafter(r, 0.0), 399);  // the oldest time present, not time 0
}

TEST_F(SmallServer, AReaderOverrunByTheRingIsToldWhatItMissed) {
  ASSERT_TRUE(put("A/x", 3, 0.0, 1000));
  int r = open();
  ASSERT_EQ(tarnseek(r, 1), 1);
  ASSERT_TRUE(put("A/x", 400, 10.0, 1000));
  Reaped p = reap(r);
  ASSERT_EQ(p.rc, 0);
  EXPECT_GT(p.id, 300);
  std::string log = drainLog();
  std::string want = "dropped " + std::to_string(p.id - 1) + " packets (ids 1 to " +
                     std::to_string(p.id - 1) + ")";
  EXPECT_NE(log.find(want), std::string::npos) << log;
}

class WrappingServer : public TarnClientTest {
 protected:
  WrappingServer() : TarnClientTest({"-i", "2147483645"}) {}
};

TEST_F(WrappingServer, IdsWrapToZeroAndKeepTheirOrder) {
  ASSERT_TRUE(put("A/x", 5, 100.0));  // 2147483645, ..46, ..47, 0, 1
  int r = open();
  EXPECT_EQ(tarnposition(r, "newest"), 1);
  EXPECT_EQ(tarnposition(r, "oldest"), 2147483645);
  EXPECT_EQ(tarnseek(r, 2147483646), 2147483646);
  EXPECT_EQ(reapIds(r, 2), (std::vector<int>{2147483646, 2147483647}));
  EXPECT_EQ(tarntell(r), 0);
  EXPECT_EQ(tarnseek(r, TARN_NEWEST), 1);
  EXPECT_EQ(tarnseek(r, 0), 0);
  EXPECT_EQ(reapIds(r, 2), (std::vector<int>{0, 1}));
  EXPECT_EQ(tarnafter(r, 102.0), 2147483647);
  EXPECT_EQ(tarnseek(r, 2), 2);  // the next id to come
  EXPECT_EQ(tarnseek(r, 3), -1);
}

TEST(ServerCommandLine, BadOptionsAreRefusedWithTheReason) {
  using testsupport::runProgram;
  auto bin = testsupport::programPath("tarnserver");
  auto r = runProgram({bin, "-s", "12q"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("-s: '12q'"), std::string::npos) << r.err;
  r = runProgram({bin, "-p", "70000"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("port"), std::string::npos);
  r = runProgram({bin, "-s", "1k", "-m", "4k"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("cannot hold one packet"), std::string::npos);
  r = runProgram({bin, "-x"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("usage:"), std::string::npos);
  // A bare number is no address (the resolver would take it for one).
  r = runProgram({bin, "-a", "1796600002", "-p", "0"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(
      r.err.find("-a: '1796600002' is neither an IPv4 address such as 127.0.0.1 nor a host name"),
      std::string::npos)
      << r.err;
}

TEST(ServerCommandLine, AddressMayBeAHostName) {
  TarnTestServer s({"-a", "localhost"});
  EXPECT_EQ(s.name().rfind("127.0.0.1:", 0), 0u) << s.name();
  int fd = tarnopen(s.name().c_str(), "r&");
  EXPECT_GT(fd, 0);
  tarnclose(fd);
}

TEST(ServerOpen, ANameWithNoServerBehindItGivesANegativeDescriptor) {
  int port;
  {
    TarnTestServer s;
    port = std::stoi(s.name().substr(s.name().rfind(':') + 1));
    s.stop();
  }
  EXPECT_LT(tarnopen((":" + std::to_string(port)).c_str(), "r&"), 0);
  EXPECT_LT(tarnopen("127.0.0.1:notaport", "r&"), 0);
  EXPECT_LT(tarnopen("", "r&"), 0);
  EXPECT_LT(tarnopen(":1", "x"), 0);
}

TEST(ServerOpen, TheThreeFormsOfATarnName) {
  TarnTestServer s;
  std::string port = s.name().substr(s.name().rfind(':') + 1);
  for (std::string name : {s.name(), ":" + port, "localhost:" + port}) {
    int fd = tarnopen(name.c_str(), "r&");
    EXPECT_GT(fd, 0) << name;
    tarnclose(fd);
  }
}

}  // namespace
}  // namespace tarntest
