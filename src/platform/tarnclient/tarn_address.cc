#include "platform/tarnclient/tarn_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/hostname/host_name.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarnclient.h"

namespace tarnclient {

std::string bareNumberProblem(const std::string &name) {
  bool digits = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) return "";
  return "'" + name + "' is a bare number, which names no host: for port " + name +
         " on this machine write ':" + name + "'";
}

bool parseTarnName(const std::string &name, TarnAddress &out, std::string &err) {
  err = bareNumberProblem(name);
  if (!err.empty()) return false;
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
  } else if (!hostname::namesAHost(host)) {
    // What the resolver would still take (a number such as 1796600002, an
    // octal "010.1.1.1") is refused before it tries it.
    err = "bad tarn name '" + name + "': '" + host +
          "' is neither a dotted address such as 127.0.0.1 nor a host name";
    return false;
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
    // In slices, so that a program that is stopping does not wait for a
    // server that does not answer.
    pollfd p{fd, POLLOUT, 0};
    int r = 0;
    for (int waited = 0; waited < timeoutMs && r == 0; waited += 100) {
      if (stopflag_is_set() && waited >= 1000) break;
      r = poll(&p, 1, std::min(100, timeoutMs - waited));
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (r <= 0)
      soerr = r == 0 ? ETIMEDOUT : errno;
    else
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
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

std::string formatAddress(const sockaddr *sa) {
  char host[INET6_ADDRSTRLEN] = "";
  if (sa->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (sa->sa_family == AF_INET6) {
    auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return "";
}

}  // namespace

std::string peerAddress(int sock) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return "";
  return formatAddress(reinterpret_cast<const sockaddr *>(&ss));
}

bool resolveAddresses(const std::string &name, std::vector<std::string> &addresses,
                      std::string &err) {
  TarnAddress addr;
  if (!parseTarnName(name, addr, err)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  int rc = getaddrinfo(addr.host.c_str(), std::to_string(addr.port).c_str(), &hints, &list);
  if (rc != 0) {
    err = "cannot resolve '" + addr.host + "': " + gai_strerror(rc);
    return false;
  }
  addresses.clear();
  for (addrinfo *ai = list; ai; ai = ai->ai_next) addresses.push_back(formatAddress(ai->ai_addr));
  freeaddrinfo(list);
  return true;
}

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
