#include "platform/tarnclient/tarn_address.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/tarnclient/tarnclient.h"

namespace tarnclient {

bool parseTarnName(const std::string &name, TarnAddress &out, std::string &err) {
  size_t colon = name.rfind(':');
  std::string host = colon == std::string::npos ? name : name.substr(0, colon);
  out.port = TARN_DEFAULT_PORT;
  if (colon != std::string::npos) {
    std::string port = name.substr(colon + 1);
    char *end = nullptr;
    long v = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || v < 1 || v > 65535) {
      err = "bad tarn name '" + name + "': '" + port + "' is not a port number";
      return false;
    }
    out.port = static_cast<int>(v);
  }
  if (host.empty()) {
    if (colon == std::string::npos) {
      err = "empty tarn name";
      return false;
    }
    host = "127.0.0.1";
  }
  out.host = host;
  return true;
}

namespace {

int tryConnect(const addrinfo *ai, int timeoutMs, std::string &err) {
  int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = std::strerror(errno);
    return -1;
  }
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      err = std::strerror(errno);
      ::close(fd);
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, timeoutMs);
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (r <= 0) soerr = r == 0 ? ETIMEDOUT : errno;
    else getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (soerr != 0) {
      err = std::strerror(soerr);
      ::close(fd);
      return -1;
    }
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int bytes = 4 << 20;  // room for large batches: fewer wake-ups per megabyte
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  return fd;
}

}  // namespace

int connectTo(const TarnAddress &addr, int timeoutMs, std::string &err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  std::string port = std::to_string(addr.port);
  int rc = getaddrinfo(addr.host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    err = "cannot resolve '" + addr.host + "': " + gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  std::string why = "no address";
  for (addrinfo *ai = list; ai && fd < 0; ai = ai->ai_next) fd = tryConnect(ai, timeoutMs, why);
  freeaddrinfo(list);
  if (fd < 0) err = "cannot connect to " + addr.host + ":" + port + ": " + why;
  return fd;
}

}  // namespace tarnclient
