#include "tarnserver/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/elog/elog.h"
#include "platform/hostname/host_name.h"

namespace tarnserver {

namespace {
constexpr size_t kInitialInput = 256 << 10;
constexpr int kListenTag = -1;
constexpr int kSignalTag = -2;

std::string peerName(const sockaddr_in &a) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}
}  // namespace

Server::Server(Ring &ring, const ServerOptions &opt) : ring_(ring), opt_(opt) {
  limits_.maxPacket = opt.maxPacket;
}

Server::~Server() {
  for (auto &entry : clients_) ::close(entry.first);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
  if (signalFd_ >= 0) ::close(signalFd_);
}

// The IPv4 address of -a: a dotted address as it is, a host name through the
// resolver (e.g. "localhost" from /etc/hosts).
bool Server::resolveAddress(in_addr &out, std::string &err) const {
  const std::string &address = opt_.address;
  if (!hostname::namesAHost(address)) {
    err = "-a: '" + address + "' is neither an IPv4 address such as 127.0.0.1 nor a host name";
    return false;
  }
  if (inet_pton(AF_INET, address.c_str(), &out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(address.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    err = "-a: host name '" + address + "' has no IPv4 address: " + gai_strerror(rc);
    return false;
  }
  out = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

bool Server::listen(std::string &err) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
  if (!resolveAddress(addr.sin_addr, err)) return false;
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 128) != 0) {
    err = "cannot listen on " + opt_.address + ":" + std::to_string(opt_.port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  char host[INET_ADDRSTRLEN] = "127.0.0.1";
  if (addr.sin_addr.s_addr != htonl(INADDR_ANY)) inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
  host_ = host;

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = kListenTag;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
  ev.data.fd = kSignalTag;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &ev);
  return true;
}

std::string Server::tarnName() const { return host_ + ":" + std::to_string(port_); }

int Server::run() {
  epoll_event events[256];
  bool busy = false;
  for (;;) {
    int n = epoll_wait(epollFd_, events, 256, busy ? 0 : -1);
    if (n < 0 && errno != EINTR) elog_die(1, "epoll_wait failed: %s", std::strerror(errno));
    for (int i = 0; i < n; ++i) {
      int tag = events[i].data.fd;
      if (tag == kListenTag) {
        acceptClients();
      } else if (tag == kSignalTag) {
        signalfd_siginfo info{};
        if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          return static_cast<int>(info.ssi_signo);
        }
      } else {
        auto it = clients_.find(tag);
        if (it == clients_.end() || it->second->dead) continue;
        Client &c = *it->second;
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) onReadable(c);
        if (!c.dead && (events[i].events & EPOLLOUT)) flushOut(c);
      }
    }
    busy = serviceStreams();
    reapDead();
  }
}

void Server::acceptClients() {
  for (;;) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        elog_log(0, "accept failed: %s", std::strerror(errno));
      }
      return;
    }
    std::string peer = peerName(addr);
    if (clients_.size() >= kMaxClients) {
      elog_log(0, "refused %s: already %zu clients", peer.c_str(), clients_.size());
      ::close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int bytes = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->peer = peer;
    c->session = std::make_unique<ClientSession>(ring_, limits_, figures_);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    clients_[fd] = std::move(c);
    figures_.clients = static_cast<uint32_t>(clients_.size());
    elog_log(0, "client %s connected (%zu clients)", peer.c_str(), clients_.size());
  }
}

void Server::onReadable(Client &c) {
  if (c.in.empty()) c.in.resize(kInitialInput);
  ssize_t r = recv(c.fd, c.in.data() + c.inLen, c.in.size() - c.inLen, 0);
  if (r == 0) return drop(c, "closed the connection");
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return drop(c, std::string("connection failed: ") + std::strerror(errno));
  }
  c.inLen += static_cast<size_t>(r);
  ssize_t used = c.session->consume(c.in.data(), c.inLen);
  if (used < 0) {
    flushOut(c);
    return drop(c, "dropped: " + c.session->error());
  }
  std::memmove(c.in.data(), c.in.data() + used, c.inLen - static_cast<size_t>(used));
  c.inLen -= static_cast<size_t>(used);
  // A frame larger than the buffer: grow it to hold the whole frame (the
  // session has checked the announced length against the limits).
  tarnwire::FrameHeader h;
  if (tarnwire::peekHeader(c.in.data(), c.inLen, h) && tarnwire::kHeaderSize + h.length > c.in.size()) {
    c.in.resize(tarnwire::kHeaderSize + h.length);
  } else if (c.inLen == 0 && c.in.size() > kInitialInput) {
    std::vector<char>(kInitialInput).swap(c.in);
  }
  flushOut(c);
}

void Server::flushOut(Client &c) {
  while (c.session->outSize() > 0) {
    ssize_t n = send(c.fd, c.session->outData(), c.session->outSize(), MSG_NOSIGNAL);
    if (n > 0) {
      c.session->consumed(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
    return drop(c, std::string("connection failed: ") + std::strerror(errno));
  }
  bool pending = c.session->outSize() > 0;
  updateEvents(c, pending, c.session->outSize() > kOutputHardLimit);
}

void Server::updateEvents(Client &c, bool wantWrite, bool pauseRead) {
  if (c.dead || (wantWrite == c.writeWatched && pauseRead == c.readPaused)) return;
  epoll_event ev{};
  ev.events = (pauseRead ? 0u : static_cast<uint32_t>(EPOLLIN)) | (wantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
  ev.data.fd = c.fd;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
  c.writeWatched = wantWrite;
  c.readPaused = pauseRead;
}

void Server::drop(Client &c, const std::string &why) {
  if (c.dead) return;
  c.dead = true;
  c.why = why;
}

// Feeds streaming clients; true when some still have packets to take and
// room for them, so the loop should come back without waiting.
bool Server::serviceStreams() {
  bool more = false;
  for (auto &entry : clients_) {
    Client &c = *entry.second;
    if (c.dead || !c.session->wantsPackets()) continue;
    for (int round = 0; round < 4 && c.session->wantsPackets(); ++round) {
      if (c.session->outSize() >= kOutputSoftLimit) break;
      c.session->pump(kOutputSoftLimit);
      flushOut(c);
      if (c.dead || c.writeWatched) break;
    }
    if (!c.dead && !c.writeWatched && c.session->wantsPackets()) more = true;
  }
  return more;
}

void Server::reapDead() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client &c = *it->second;
    if (!c.dead) {
      ++it;
      continue;
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    std::string peer = c.peer, why = c.why;
    uint64_t puts = c.session->putsStored(), sent = c.session->packetsSent();
    it = clients_.erase(it);
    figures_.clients = static_cast<uint32_t>(clients_.size());
    if (opt_.verbose) {
      elog_log(0, "client %s disconnected: %s; it put %llu packets and was sent %llu (%zu clients)", peer.c_str(),
               why.c_str(), static_cast<unsigned long long>(puts), static_cast<unsigned long long>(sent),
               clients_.size());
    } else {
      elog_log(0, "client %s disconnected: %s (%zu clients)", peer.c_str(), why.c_str(), clients_.size());
    }
  }
}

}  // namespace tarnserver
