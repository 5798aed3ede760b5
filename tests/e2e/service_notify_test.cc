// Under a service manager: the server and the relay say READY on the socket
// systemd names in NOTIFY_SOCKET once they serve, and ping the watchdog it
// asks for in WATCHDOG_USEC from their loops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "relay_e2e.h"

namespace e2e {
namespace {

// A datagram socket where the programs' notifications arrive.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    timeval wait{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  // Everything received until `text` came, or 20 s passed.
  std::string until(const std::string &text) {
    std::string got;
    for (int i = 0; i < 20 && got.find(text) == std::string::npos; ++i) {
      char buf[512];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) got.append(buf, static_cast<size_t>(n)).append("\n");
    }
    return got;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

std::vector<std::string> underManager(const std::string &socket, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"/usr/bin/env", "NOTIFY_SOCKET=" + socket, "WATCHDOG_USEC=2000000"});
  return argv;
}

TEST(ServiceManager, ServerAndRelaySayReadyAndPingTheWatchdog) {
  testsupport::TempDir dir;
  NotifySocket server(dir.file("server.sock")), relay(dir.file("relay.sock"));
  ASSERT_TRUE(server.bound() && relay.bound());
  testsupport::ChildProcess tarnserver(
      underManager(dir.file("server.sock"),
                   {testsupport::programPath("tarnserver"), "-p", "0", "-R", dir.file("ready")}));
  std::string said = server.until("WATCHDOG=1");
  EXPECT_NE(said.find("READY=1"), std::string::npos) << said;
  EXPECT_LT(said.find("READY=1"), said.find("WATCHDOG=1")) << said;
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return !testsupport::readFile(dir.file("ready")).empty(); }, std::chrono::seconds(10)));
  std::string tarn = testsupport::readFile(dir.file("ready"));
  tarn = tarn.substr(0, tarn.find('\n'));

  testsupport::RelayPf pf;
  pf.connections = reader("in", tarn, "q") + writer("out", tarn, "q2");
  testsupport::writeFile(dir.file("relay.pf"), pf.text());
  testsupport::ChildProcess r(
      underManager(dir.file("relay.sock"),
                   {testsupport::programPath("tarn2tarn_pre"), "-p", dir.file("relay.pf")}));
  said = relay.until("READY=1");
  EXPECT_NE(said.find("READY=1"), std::string::npos) << said;
  said = relay.until("WATCHDOG=1");  // a ping after it (the first may come before)
  EXPECT_NE(said.find("WATCHDOG=1"), std::string::npos) << said;
  r.signal(SIGTERM);
  EXPECT_NE(relay.until("STOPPING=1").find("STOPPING=1"), std::string::npos);
  EXPECT_EQ(r.wait(std::chrono::seconds(30)), 0);
  tarnserver.signal(SIGTERM);
  EXPECT_EQ(tarnserver.wait(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace e2e
