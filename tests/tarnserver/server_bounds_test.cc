// Hostile clients against the server's bounds of memory and work: slow
// huge puts, requests from clients that never read, costly positions, and
// more buffered input than the memory limit. The server's memory stays
// bounded and a good client is still answered. (How long the good client
// waits is measured by bench/tarnserver, not asserted here.)
#include "raw_client.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

// The head of a put frame announcing a body of `length` bytes.
std::string putHead(uint32_t length) {
  std::string h(4, '\0');
  std::memcpy(&h[0], &length, 4);
  h += static_cast<char>(tarnwire::kPut);
  return h;
}

class Bounds : public TarnClientTest {
 protected:
  explicit Bounds(std::vector<std::string> args) : TarnClientTest(std::move(args)) {}
  void expectServing() {
    ASSERT_TRUE(server_.running());
    ASSERT_TRUE(put("OK/x", 1));
    int r = open();
    EXPECT_GE(tarnposition(r, "newest"), 0);
    EXPECT_EQ(reap(r).src, "OK/x");
  }
  std::vector<std::unique_ptr<RawClient>> crowd(int n) {
    std::vector<std::unique_ptr<RawClient>> all;
    for (int i = 0; i < n; ++i) {
      all.push_back(std::make_unique<RawClient>(server_.name()));
      all.back()->hello();
    }
    return all;
  }
};

class LargePackets : public Bounds {
 protected:
  LargePackets() : Bounds({"-m", "1M", "-M", "24M", "-L", "400", "-c", "500"}) {}
};

// Announcing a frame costs nothing until its bytes arrive.
TEST_F(LargePackets, SlowPutsOfTheLargestSizeHoldOnlyWhatArrived) {
  auto clients = crowd(300);
  for (auto &c : clients) c->send(putHead(9 + 63 + (1 << 20)) + "x");
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

// Past the memory limit the clients holding the most are dropped.
TEST_F(LargePackets, TheGreediestClientsAreDroppedAtTheMemoryLimit) {
  auto clients = crowd(40);
  std::string most = putHead(9 + 63 + (1 << 20)) + std::string((1 << 20) - 64, 'x');
  for (auto &c : clients) c->send(most);
  expectServing();
  int dropped = 0;
  for (auto &c : clients) {
    if (c->readToEnd().find("client buffers reached their limit of 24 MiB") != std::string::npos)
      ++dropped;
    if (dropped > 0) break;
  }
  EXPECT_GT(dropped, 0);
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

class ManySources : public Bounds {
 protected:
  ManySources() : Bounds({"-s", "16M"}) {
    int w = open("w&");
    for (int i = 0; i < 1000; ++i)
      tarnput(w, ("STATION_" + std::to_string(i) + "/BHZ").c_str(), i, "p", 1);
    EXPECT_EQ(tarnclose(w), 0);
    open_.clear();
  }
};

// Each stat answer lists 1000 sources; answering all of them would take
// gigabytes.
TEST_F(ManySources, StatRequestsFromAClientThatNeverReadsStayBounded) {
  RawClient c(server_.name());
  c.hello();
  std::vector<char> burst;
  for (int i = 0; i < 50000; ++i) {
    std::vector<char> f = rawFrame(tarnwire::kStat);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  c.send(burst);
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

// Positions that no packet satisfies cost a look at each source, not a walk
// over the ring; the good client's put is answered meanwhile.
TEST_F(ManySources, PositionRequestsThatFindNothingStillLeaveRoomForOthers) {
  int w = open("w&");
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(tarnput(w, "BULK/x", i, "0123456789", 10), 0);
  ASSERT_EQ(tarnclose(w), 0);
  open_.clear();
  RawClient c(server_.name());
  c.hello();
  std::vector<char> burst = rawFrame(tarnwire::kSelect, "NOTHING/.*");
  std::string body(13, '\0');
  for (int kind : {tarnwire::kNewest, tarnwire::kOldest, tarnwire::kAfterTime}) {
    body[0] = static_cast<char>(kind);
    for (int i = 0; i < 700; ++i) {
      std::vector<char> f = rawFrame(tarnwire::kPosition, body);
      burst.insert(burst.end(), f.begin(), f.end());
    }
  }
  c.send(burst);
  expectServing();
}

}  // namespace
}  // namespace tarntest
