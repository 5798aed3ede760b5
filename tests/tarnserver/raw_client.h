// Helpers for tests that talk to a tarnserver as a hostile or odd client
// would: a raw TCP connection (from any 127.x.y.z address, so that tests can
// play several client addresses on this machine) that sends whatever bytes
// it is given, and the server's resident memory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/tarnclient/tarn_frames.h"

namespace tarntest {

class RawClient {
 public:
  explicit RawClient(const std::string &tarn, const char *from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(tarn.substr(tarn.rfind(':') + 1))));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    timeval tv{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool send(const std::vector<char> &b) {
    return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }
  bool send(const std::string &b) {
    return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }
  // Reads until the server closes (or about 5 s); everything it sent.
  std::string readToEnd() {
    std::string all;
    char buf[4096];
    for (int i = 0; i < 10000; ++i) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }
  // The type of the next frame the server sends, read whole (0 when none
  // comes within 2 s).
  char nextFrameType() {
    char head[5];
    if (recv(fd_, head, sizeof head, MSG_WAITALL) != 5) return 0;
    uint32_t len;
    std::memcpy(&len, head, 4);
    std::string body(len, '\0');
    if (len > 0 && recv(fd_, body.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) return 0;
    return head[4];
  }
  void hello(uint8_t mode = 0) {
    tarnwire::Hello h;
    h.mode = mode;
    send(tarnwire::encoded(h));
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A frame with this type and body.
inline std::vector<char> rawFrame(tarnwire::Type type, const std::string &body = "") {
  std::vector<char> f;
  tarnwire::FrameWriter w(f);
  w.begin(type);
  w.raw(body.data(), body.size());
  w.end();
  return f;
}

// The server's memory bound in these tests, as resident memory: its buffers
// stay far below this. Sanitizer builds keep freed memory in quarantine for
// a while.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kBoundKb = 1024 * 1024;
#else
constexpr long kBoundKb = 200 * 1024;
#endif

inline long residentKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = -1;
  while (in >> key) {
    if (key == "VmRSS:") in >> kb;
  }
  return kb;
}

}  // namespace tarntest
