// Server: accepting clients, refusing the ones past a limit, and shedding
// connections while the process is out of descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/datalink/datalink_wire.h"
#include "platform/elog/elog.h"
#include "platform/tarnclient/tarn_frames.h"
#include "tarnserver/datalink_session.h"
#include "tarnserver/seedlink_session.h"
#include "tarnserver/server.h"
#include "tarnserver/websocket_transport.h"

namespace tarnserver {

namespace {
constexpr int kAcceptsPerRound = 64;
constexpr auto kShedPause = std::chrono::milliseconds(250);

std::string hostText(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, host, sizeof host);
  return host;
}
}  // namespace

void Server::acceptClients(int listenFd, Port port) {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd =
        accept4(listenFd, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return shedExcess();  // out of descriptors or kernel memory
    }
    uint32_t a = ntohl(addr.sin_addr.s_addr);
    admit(fd, a, hostText(a) + ":" + std::to_string(ntohs(addr.sin_port)), port);
  }
  if (shedding_) endShedding();
}

// A shedding episode ends once a round of accepts leaves a descriptor to
// spare. While closed clients give their descriptors back one at a time a
// round may take a connection and run out at the next: that is still the
// same episode, logged once; the server looks again after a pause.
void Server::endShedding() {
  int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (probe < 0) return pauseListening(true);
  ::close(probe);
  elog_log(0, "accepting connections again; %llu were closed at once while descriptors ran out",
           static_cast<unsigned long long>(shed_));
  shedding_ = false;
}

// SeedLink and DataLink: plain, or WebSocket when the connection opens
// with "GET ".
std::unique_ptr<Session> Server::makeSession(Port port, ClientAccess access) {
  switch (port) {
    case Port::kSeedlink:
    {
      WebSocketLimits web;
      web.origins = &origins_;
      return std::make_unique<SeedlinkSession>(ring_, limits_, std::move(access),
                                               std::make_unique<PortTransport>(web), &figures_);
    }
    case Port::kDatalink: {
      WebSocketLimits web = DatalinkSession::webSocketLimits(limits_.maxPacket);
      web.origins = &origins_;  // pages of the same origins as SeedLink's
      return std::make_unique<DatalinkSession>(ring_, limits_, *this, std::move(access),
                                               std::make_unique<PortTransport>(web));
    }
    case Port::kTarn:
      break;
  }
  return std::make_unique<ClientSession>(ring_, limits_, figures_, std::move(access));
}

void Server::admit(int fd, uint32_t addr, const std::string &peer, Port port) {
  std::string host = hostText(addr);
  bool writer = access_.mayWrite(addr);
  switch (slots_.admit(addr, writer)) {
    case ConnectionSlots::Verdict::kServerFull:
      return refuseNow(
          fd, host, tarnwire::kErrLimit,
          "the server " + tarnName() + " has all the clients it serves (" +
              std::to_string(writer ? slots_.total() : slots_.total() - slots_.reserved()) + ")",
          port);
    case ConnectionSlots::Verdict::kAddressFull:
      return refuseNow(fd, host, tarnwire::kErrLimit,
                       "too many connections to " + tarnName() + " from " + host + " (at most " +
                           std::to_string(slots_.perAddress()) + ")",
                       port);
    case ConnectionSlots::Verdict::kAdmit:
      break;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int bytes = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  ClientAccess access;
  access.mayConnect = access_.mayConnect(addr);
  access.write = access_.permitFor(addr);
  access.host = host;
  access.tarn = tarnName();
  auto c = std::make_unique<Client>();
  c->fd = fd;
  c->addr = addr;
  c->host = host;
  c->peer = peer;
  c->since = c->lastRequest = now_;
  c->sinceWall = wallSeconds();
  c->port = port;
  c->session = makeSession(port, std::move(access));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
  clients_[fd] = std::move(c);
  slots_.add(addr);
  figures_.clients = static_cast<uint32_t>(clients_.size());
  if (opt_.verbose) elog_log(0, "client %s connected (%zu clients)", peer.c_str(), clients_.size());
}

// Answers a connection that is not taken with an error frame and closes it.
// What the client already sent is read first, so that closing does not
// reset the connection before the client reads the answer.
void Server::refuseNow(int fd, const std::string &host, int32_t code, const std::string &text,
                       Port port) {
  char sink[4096];
  (void)!recv(fd, sink, sizeof sink, MSG_DONTWAIT);
  std::vector<char> frame = tarnwire::encoded(tarnwire::Error{code, text});
  std::string answer;
  if (port == Port::kSeedlink) answer = "ERROR LIMIT " + text + "\r\n";  // an answer line
  if (port == Port::kDatalink) datalink::appendError(answer, 0, text);
  if (!answer.empty()) frame.assign(answer.begin(), answer.end());
  (void)!send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::close(fd);
  if (refusals_.shouldLog(host, text, now_))
    elog_log(0, "refused a connection from %s: %s", host.c_str(), text.c_str());
}

// Out of descriptors: the spare one is closed to accept each waiting
// connection and close it at once (its client learns that instead of
// waiting), then taken again; new connections are not looked at for a
// moment. The episode is logged when it starts and when it ends.
void Server::shedExcess() {
  int err = errno;
  if (!shedding_) {
    shedding_ = true;
    shed_ = 0;
    elog_log(0,
             "cannot accept connections: %s (%zu clients); closing new connections until "
             "descriptors are free",
             std::strerror(err), clients_.size());
  }
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    if (spareFd_ >= 0) ::close(spareFd_);
    spareFd_ = -1;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && seedlinkFd_ >= 0) fd = accept4(seedlinkFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && datalinkFd_ >= 0) fd = accept4(datalinkFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) break;
    ::close(fd);
    ++shed_;
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spareFd_ < 0) break;
  }
  if (spareFd_ < 0) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pauseListening(true);
}

void Server::pauseListening(bool paused) {
  epoll_event ev{};
  ev.events = paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  ev.data.fd = kListenTag;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
  if (seedlinkFd_ >= 0) {
    ev.data.fd = kSeedlinkListenTag;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, seedlinkFd_, &ev);
  }
  if (datalinkFd_ >= 0) {
    ev.data.fd = kDatalinkListenTag;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, datalinkFd_, &ev);
  }
  listenPaused_ = paused;
  if (paused) listenResume_ = now_ + kShedPause;
}

}  // namespace tarnserver
