// Packets through a real server: sizes, source names, times bit for bit,
// large puts however their bytes arrive, the oldest dropped when the ring is
// full, skipped-packet reports, and packet ids wrapping at 2147483647.
#include <cmath>
#include <cstring>
#include <limits>

#include <thread>

#include "raw_client.h"
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

class LargeServer : public TarnClientTest {
 protected:
  LargeServer() : TarnClientTest({"-s", "16M", "-m", "1M"}) {}
};

// The acknowledged count once it reaches `puts` (0 when the server went
// quiet or closed first).
uint64_t awaitAck(RawClient &c, uint64_t puts) {
  for (int i = 0; i < 8; ++i) {
    char head[5];
    if (recv(c.fd(), head, sizeof head, MSG_WAITALL) != 5) return 0;
    uint32_t len;
    std::memcpy(&len, head, 4);
    std::string body(len, '\0');
    if (len > 0 && recv(c.fd(), body.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len))
      return 0;
    tarnwire::Ack ack;
    if (head[4] == tarnwire::kAck && tarnwire::decode(body, ack) && ack.puts >= puts)
      return ack.puts;
  }
  return 0;
}

std::string bytesOf(const std::vector<char> &v) { return std::string(v.begin(), v.end()); }

// Puts longer than one read of the server's, between two small ones and cut
// in two anywhere around the large one's header, a read's length and its
// end, one after the other on one connection and each a little larger than
// the one before (so that the client's buffer grows with bytes in it): all
// are stored whole.
TEST_F(LargeServer, LargePutsCutAnywhereAreStoredWholeWithThePutsAroundThem) {
  const size_t read = 256 << 10;
  const std::string before = bytesOf(tarnwire::encoded(tarnwire::Put{1.0, "A/x", "before"}));
  const std::string after = bytesOf(tarnwire::encoded(tarnwire::Put{3.0, "C/x", "after"}));
  const size_t at = before.size();
  const std::vector<size_t> cuts = {at - 1, at,      at + 1,   at + 4, at + 5,
                                    at + 6, at + 20, read - 1, read,   read + 1};
  std::vector<std::string> bigs;
  RawClient c(server_.name());
  c.hello(1);
  for (size_t i = 0; i < cuts.size() + 3; ++i) {
    bigs.emplace_back((600 << 10) + i * 5000, '\0');
    std::string &big = bigs.back();
    for (size_t k = 0; k < big.size(); ++k) big[k] = static_cast<char>(k * 7 + k / 251 + i);
    std::string wire = before + bytesOf(tarnwire::encoded(tarnwire::Put{2.0, "B/x", big})) + after;
    const size_t end = wire.size() - after.size();
    size_t cut =
        i < cuts.size() ? cuts[i] : end - 1 + (i - cuts.size());  // the last three: at its end
    c.send(wire.substr(0, cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most often read apart
    c.send(wire.substr(cut));
    ASSERT_EQ(awaitAck(c, 3 * (i + 1)), 3 * (i + 1)) << "cut at " << cut;
  }
  int r = open();
  ASSERT_GE(tarnposition(r, "oldest"), 0);
  for (const std::string &big : bigs) {
    Reaped a = reap(r), b = reap(r), d = reap(r);
    EXPECT_TRUE(a.src == "A/x" && a.bytes == "before");
    EXPECT_TRUE(b.src == "B/x" && b.bytes == big) << "the one of " << big.size() << " bytes";
    EXPECT_TRUE(d.src == "C/x" && d.bytes == "after");
  }
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
