#include "tarnserver/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/elog/elog.h"
#include "platform/hostname/host_name.h"
#include "platform/service/service_notify.h"

namespace tarnserver {

namespace {
constexpr size_t kMaxReserved = 64;
constexpr uint64_t kDescriptorsBesideClients = 32;  // ring file, epoll, stdio, ...

std::chrono::seconds handshakeFor(uint64_t idleSeconds) {
  if (idleSeconds == 0) return Server::kHandshakeTimeout;
  return std::min(Server::kHandshakeTimeout, std::chrono::seconds(idleSeconds));
}

// Raises the soft limit of open files to what the clients need, as far as
// the hard limit allows, and says so when that is not enough.
void fitDescriptorLimit(uint64_t clients) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  rlim_t want = clients + kDescriptorsBesideClients;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    elog_log(0,
             "only %llu open files allowed (ulimit -n, LimitNOFILE=): fewer than the %llu clients "
             "of -c can be "
             "served; connections past that are shed",
             static_cast<unsigned long long>(lim.rlim_cur),
             static_cast<unsigned long long>(clients));
  }
}
}  // namespace

Server::Server(Ring &ring, const ServerOptions &opt)
    : ring_(ring),
      opt_(opt),
      slots_(opt.maxClients, opt.perAddress,
             std::min<size_t>(kMaxReserved, std::max<size_t>(1, opt.maxClients / 16))),
      origins_(opt.seedlinkOrigins,
               opt.seedlinkAddress.empty() ? opt.address : opt.seedlinkAddress),
      memoryLimit_(opt.clientMemory ? opt.clientMemory : clientMemoryFor(opt.maxPacket)),
      idleTimeout_(opt.idleSeconds),
      handshakeTimeout_(handshakeFor(opt.idleSeconds)),
      scratch_(kReadChunk) {
  startTime_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  limits_.maxPacket = opt.maxPacket;
  limits_.outputLimit = kOutputHardLimit;
  figures_.listClients = [this] { return connections(); };
  std::string err;  // the options were checked when they were parsed
  for (const std::string &entry : opt.readers) access_.addReaders(entry, err);
  for (const std::string &entry : opt.writers) access_.addWriters(entry, err);
}

Server::~Server() {
  for (auto &entry : clients_) ::close(entry.first);
  for (int fd : {listenFd_, seedlinkFd_, datalinkFd_, epollFd_, signalFd_, spareFd_}) {
    if (fd >= 0) ::close(fd);
  }
}

// The IPv4 address of -a (or of --seedlink, --datalink): a dotted address
// as it is, a host name through the resolver (e.g. "localhost" from
// /etc/hosts).
bool Server::resolveAddress(const std::string &address, const char *option, in_addr &out,
                            std::string &err) const {
  if (!hostname::namesAHost(address)) {
    err = std::string(option) + ": '" + address +
          "' is neither an IPv4 address such as 127.0.0.1 nor a host name";
    return false;
  }
  if (inet_pton(AF_INET, address.c_str(), &out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(address.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    err = std::string(option) + ": host name '" + address +
          "' has no IPv4 address: " + gai_strerror(rc);
    return false;
  }
  out = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Binds a listening socket; `bound` receives the port taken and `host` the
// address as clients name it (127.0.0.1 for every interface).
bool Server::listenOn(const std::string &address, const char *option, int port, int &fd, int &bound,
                      std::string &host, std::string &err) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!resolveAddress(address, option, addr.sin_addr, err)) return false;
  fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    err = std::string(std::strcmp(option, "-a") == 0 ? "" : std::string(option) + ": ") +
          "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  bound = ntohs(addr.sin_port);
  char text[INET_ADDRSTRLEN] = "127.0.0.1";
  if (addr.sin_addr.s_addr != htonl(INADDR_ANY))
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  host = text;
  return true;
}

bool Server::listen(std::string &err) {
  fitDescriptorLimit(opt_.maxClients);
  if (!listenOn(opt_.address, "-a", opt_.port, listenFd_, port_, host_, err)) return false;
  if (opt_.seedlinkPort >= 0) {
    const std::string &address = opt_.seedlinkAddress.empty() ? opt_.address : opt_.seedlinkAddress;
    if (!listenOn(address, "--seedlink", opt_.seedlinkPort, seedlinkFd_, seedlinkPort_,
                  seedlinkHost_, err))
      return false;
  }
  if (opt_.datalinkPort >= 0) {
    const std::string &address = opt_.datalinkAddress.empty() ? opt_.address : opt_.datalinkAddress;
    if (!listenOn(address, "--datalink", opt_.datalinkPort, datalinkFd_, datalinkPort_,
                  datalinkHost_, err))
      return false;
  }

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (signalFd_ < 0 || epollFd_ < 0 || spareFd_ < 0) {
    err = std::string("cannot set up the event loop: ") + std::strerror(errno);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = kListenTag;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
  if (seedlinkFd_ >= 0) {
    ev.data.fd = kSeedlinkListenTag;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, seedlinkFd_, &ev);
  }
  if (datalinkFd_ >= 0) {
    ev.data.fd = kDatalinkListenTag;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, datalinkFd_, &ev);
  }
  ev.data.fd = kSignalTag;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &ev);
  return true;
}

std::string Server::seedlinkName() const {
  return seedlinkFd_ < 0 ? "" : seedlinkHost_ + ":" + std::to_string(seedlinkPort_);
}

std::string Server::datalinkName() const {
  return datalinkFd_ < 0 ? "" : datalinkHost_ + ":" + std::to_string(datalinkPort_);
}

std::string Server::tarnName() const { return host_ + ":" + std::to_string(port_); }

int Server::waitMs(bool busy) const {
  if (busy) return 0;
  Clock::time_point wake = nextSweep_;
  if (listenPaused_) wake = std::min(wake, listenResume_);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms + 1, 1, 1000));
}

int Server::run() {
  epoll_event events[256];
  bool busy = false;
  bool acceptWanted = false, seedlinkWanted = false, datalinkWanted = false;
  nextSweep_ = Clock::now() + std::chrono::seconds(1);
  for (;;) {
    int n = epoll_wait(epollFd_, events, 256, waitMs(busy));
    if (n < 0 && errno != EINTR) elog_die(1, "epoll_wait failed: %s", std::strerror(errno));
    now_ = Clock::now();
    // Packets stored in this round arrived now (one reading of the wall
    // clock per round, not per packet).
    ring_.sources().setArrivalTime(wallSeconds());
    for (int i = 0; i < n; ++i) {
      int tag = events[i].data.fd;
      if (tag == kListenTag) {
        acceptWanted = true;
      } else if (tag == kSeedlinkListenTag) {
        seedlinkWanted = true;
      } else if (tag == kDatalinkListenTag) {
        datalinkWanted = true;
      } else if (tag == kSignalTag) {
        signalfd_siginfo info{};
        if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          return static_cast<int>(info.ssi_signo);
        }
      } else {
        auto it = clients_.find(tag);
        if (it != clients_.end() && !it->second->dead) onEvent(*it->second, events[i].events);
      }
    }
    if (now_ >= nextSweep_) {
      service::alive();  // the loop turns: systemd's watchdog, where it watches
      sweepTimeouts();
      sampleTraffic();
      nextSweep_ = now_ + std::chrono::seconds(1);
    }
    if (listenPaused_ && now_ >= listenResume_) {
      pauseListening(false);
      acceptWanted = acceptWanted || shedding_;  // to see whether descriptors are free again
      seedlinkWanted = seedlinkWanted || (shedding_ && seedlinkFd_ >= 0);
      datalinkWanted = datalinkWanted || (shedding_ && datalinkFd_ >= 0);
    }
    busy = serviceBacklogs();
    busy = serviceStreams() || busy;
    enforceMemoryLimit();
    reapDead();
    // New connections are taken after the closed ones have given back
    // their descriptors.
    if (acceptWanted) acceptClients(listenFd_, Port::kTarn);
    if (seedlinkWanted) acceptClients(seedlinkFd_, Port::kSeedlink);
    if (datalinkWanted) acceptClients(datalinkFd_, Port::kDatalink);
    acceptWanted = seedlinkWanted = datalinkWanted = false;
  }
}

}  // namespace tarnserver
