// Numbered puts and their acknowledgements: counted in order across a lost
// connection, awaited, and never waited for long once the program stops,
// even on a server that takes everything and acknowledges nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_frames.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

using namespace std::chrono_literals;

int putOne(int fd, int i, double windowWait = -1, tarnclient::PutReceipt *receipt = nullptr,
           size_t size = 8) {
  std::string bytes(size, 'p');
  return tarnclient::putNumbered(fd, "ACK/x", i, bytes.data(), static_cast<int>(bytes.size()),
                                 windowWait, receipt);
}

class Acknowledgements : public TarnClientTest {
 protected:
  static testsupport::TempDir &dir() {
    static testsupport::TempDir d;
    return d;
  }
  Acknowledgements() : TarnClientTest({"-r", dir().file("ring")}) {}
  void TearDown() override { std::remove(dir().file("ring").c_str()); }
};

TEST_F(Acknowledgements, AreCountedInOrderAcrossALostConnection) {
  int w = open("w&");
  tarnclient::PutReceipt receipt;
  for (int i = 1; i <= 10; ++i) {
    ASSERT_EQ(putOne(w, i, -1, &receipt), 0);
    EXPECT_EQ(receipt.number, static_cast<uint64_t>(i));
    EXPECT_LE(receipt.acknowledged, receipt.number);
  }
  EXPECT_EQ(tarnclient::awaitAcknowledged(w, 10, 30), 0);
  server_.kill();
  std::thread later([&] { restartOnceAwaited({w}); });
  for (int i = 11; i <= 20; ++i) ASSERT_EQ(putOne(w, i), 0);
  later.join();
  EXPECT_EQ(tarnclient::awaitAcknowledged(w, 20, 30), 0);
  // Puts sent again after the loss are not counted twice.
  EXPECT_EQ(tarnclient::collectAcknowledgements(w), 20u);
  tarnclient::PutWindow window;
  ASSERT_TRUE(tarnclient::putWindow(w, window));
  EXPECT_EQ(window.accepted, 20u);
  EXPECT_EQ(window.acknowledged, 20u);
  EXPECT_EQ(window.bytes, 0u);
  EXPECT_EQ(tarnclient::awaitAcknowledged(987654, 1, 1), -1);
}

// A server that greets its clients, then reads whatever they send and never
// answers: a destination that is alive but takes nothing in.
class SilentServer {
 public:
  SilentServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    name_ = ":" + std::to_string(ntohs(addr.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~SilentServer() {
    done_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  const std::string &name() const { return name_; }

 private:
  void serve() {
    std::vector<std::thread> clients;
    while (!done_) {
      int c = accept(listener_, nullptr, nullptr);
      if (c < 0) break;
      clients.emplace_back([this, c] {
        std::vector<char> welcome =
            tarnwire::encoded(tarnwire::Welcome{tarnwire::kVersion, 1 << 20, 42, 0, 64 << 20});
        char buf[65536];
        bool greeted = false;
        for (int n; !done_ && (n = static_cast<int>(recv(c, buf, sizeof buf, 0))) > 0;) {
          if (!greeted) greeted = send(c, welcome.data(), welcome.size(), MSG_NOSIGNAL) > 0;
        }
        close(c);
      });
    }
    for (auto &t : clients) t.join();
  }
  int listener_ = -1;
  std::string name_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(SilentDestination, AFullWindowIsSaidAndOnceStoppingNoWaitLasts) {
  SilentServer silent;
  int w = tarnopen(silent.name().c_str(), "w&");
  int r = tarnopen(silent.name().c_str(), "r&");
  ASSERT_GE(w, 0);
  ASSERT_GE(r, 0);
  // 8 MiB of puts fill the window; the next put finds no room.
  int rc = 0;
  int i = 0;
  for (; i < 40 && rc == 0; ++i) rc = putOne(w, i, 0.2, nullptr, 1 << 20);
  EXPECT_EQ(rc, tarnclient::kPutWindowFull);
  EXPECT_GE(i, 8);
  EXPECT_EQ(tarnclient::awaitAcknowledged(w, 1, 0.2), -2);
  StopFlagScope stop;
  stop.set();
  // Nothing moves: each wait gives up (TARN_TIMEOUT for the reap, -3 for
  // the others) instead of lasting its full time.
  EXPECT_EQ(putOne(w, 99), -3);
  EXPECT_EQ(tarnclient::awaitAcknowledged(w, 1, 3600), -3);
  char src[64];
  char *buf = nullptr;
  int size = 0, id = 0, n = 0;
  double t = 0;
  EXPECT_EQ(tarnreap_timeout(r, 3600, &id, src, &t, &buf, &n, &size), TARN_TIMEOUT);
  std::free(buf);
  EXPECT_EQ(tarnclose(w), -1);
  EXPECT_EQ(tarnclose(r), 0);
}

}  // namespace
}  // namespace tarntest
