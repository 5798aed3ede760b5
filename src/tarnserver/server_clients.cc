// Server: serving connected clients within their bounds of memory and time,
// and letting them go.
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/elog/elog.h"
#include "tarnserver/server.h"

namespace tarnserver {

namespace {
constexpr size_t kKeptInput = 64 << 10;       // input capacity kept once it is empty
constexpr uint64_t kTrimAfter = 16ull << 20;  // freed bytes before memory goes back to the system

std::string seconds(std::chrono::seconds s) { return std::to_string(s.count()) + " s"; }
}  // namespace

void Server::onEvent(Client &c, uint32_t events) {
  if (c.readPaused && (events & (EPOLLHUP | EPOLLERR))) return drop(c, "connection closed");
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) onReadable(c);
  if (!c.dead && (events & EPOLLOUT)) flushOut(c);
}

// One read per turn. A client reads into its own buffer once that has room
// for a good read, or for the rest of a large frame: the bytes of a large
// frame are then copied once, from there into the ring, and read up to its
// end and no further, so the buffer is empty again once the frame is
// handled. Otherwise the read lands in the scratch buffer and the client
// keeps only what its session does not handle at once. Either way a
// client's buffer grows only with what arrived: to at most twice that.
void Server::onReadable(Client &c) {
  if (c.readPaused) return;
  size_t want = kReadChunk;
  bool own = false;
  if (!c.in.empty() || c.in.capacity() > 0) {
    const size_t held = c.in.size(), spare = c.in.capacity() - held;
    const size_t request = c.session->requestSize(c.in.data(), held);
    if (request > kReadChunk && request > held) {
      want = std::min(request - held, std::max({held, spare, kReadChunk / 4}));
      own = true;
    } else if (spare >= kReadChunk / 4) {
      want = std::min(spare, kReadChunk);
      own = true;
    }
  }
  char *at = own ? c.in.room(want) : scratch_.data();
  ssize_t r = recv(c.fd, at, want, 0);
  if (r == 0) return drop(c, "closed the connection");
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return drop(c, std::string("connection failed: ") + std::strerror(errno));
  }
  c.bytesIn += static_cast<uint64_t>(r);
  if (own) {
    c.in.received(static_cast<size_t>(r));
  } else if (!c.in.empty()) {
    c.in.append(scratch_.data(), static_cast<size_t>(r));
  }
  if (c.in.empty()) {
    processInput(c, scratch_.data(), static_cast<size_t>(r));
  } else {
    processInput(c, c.in.data(), c.in.size());
  }
  if (!c.dead) flushOut(c);
}

// Lets the session handle data[0..n) (the scratch buffer or c.in) and keeps
// in c.in what it left.
void Server::processInput(Client &c, const char *data, size_t n) {
  ssize_t used = c.session->consume(data, n);
  if (used < 0) {
    flushOut(c);
    return drop(c, "dropped: " + c.session->error());
  }
  if (used > 0) c.lastRequest = now_;
  if (data == c.in.data()) {
    c.in.drop(static_cast<size_t>(used));
  } else {
    c.in.append(data + used, n - static_cast<size_t>(used));
  }
  c.backlog = c.session->backlog(c.in.data(), c.in.size());
}

void Server::flushOut(Client &c) {
  while (c.session->outSize() > 0) {
    ssize_t n = send(c.fd, c.session->outData(), c.session->outSize(), MSG_NOSIGNAL);
    if (n > 0) {
      c.session->consumed(static_cast<size_t>(n));
      bytesSent_ += static_cast<uint64_t>(n);
      c.bytesOut += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
    drop(c, std::string("connection failed: ") + std::strerror(errno));
    break;
  }
  if (!c.dead && c.session->finished() && c.session->outSize() == 0) {
    drop(c,
         c.session->error().empty() ? "finished its transfer" : "dropped: " + c.session->error());
  }
  updateEvents(c);
  account(c);
}

// Reading stops while the client has frames waiting for their turn or more
// output than kOutputHardLimit waiting for it.
void Server::updateEvents(Client &c) {
  bool wantWrite = c.session->outSize() > 0;
  bool pauseRead = c.backlog || c.session->outSize() >= kOutputHardLimit;
  if (c.dead || (wantWrite == c.writeWatched && pauseRead == c.readPaused)) return;
  epoll_event ev{};
  ev.events = (pauseRead ? 0u : static_cast<uint32_t>(EPOLLIN)) |
              (wantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
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

void Server::refuse(Client &c, int32_t code, const std::string &text) {
  c.session->refuse(code, text);
  flushOut(c);
  drop(c, "dropped: " + text);
}

// Gives every client with frames left over its next turn; true when some
// still have frames and room for the answers.
bool Server::serviceBacklogs() {
  bool more = false;
  for (auto &entry : clients_) {
    Client &c = *entry.second;
    if (c.dead || !c.backlog || c.session->outSize() >= kOutputHardLimit) continue;
    processInput(c, c.in.data(), c.in.size());
    if (c.dead) continue;
    flushOut(c);
    if (!c.dead && c.backlog && c.session->outSize() < kOutputHardLimit) more = true;
  }
  return more;
}

// Feeds streaming clients; true when some still have packets to take and
// room for them, so the loop should come back without waiting.
bool Server::serviceStreams() {
  const size_t limit = memUsed_ > memoryLimit_ / 2 ? kOutputPressed : kOutputSoftLimit;
  bool more = false;
  for (auto &entry : clients_) {
    Client &c = *entry.second;
    if (c.dead || !c.session->wantsPackets()) continue;
    for (int round = 0; round < 4 && c.session->wantsPackets(); ++round) {
      if (c.session->outSize() >= limit) break;
      c.session->pump(limit);
      flushOut(c);
      if (c.dead || c.writeWatched) break;
    }
    if (!c.dead && !c.writeWatched && c.session->wantsPackets()) more = true;
  }
  return more;
}

void Server::account(Client &c) {
  size_t held = c.in.capacity() + c.session->memoryHeld();
  if (held < c.accounted) memFreed_ += c.accounted - held;
  memUsed_ = memUsed_ - c.accounted + held;
  c.accounted = held;
}

// Past the memory limit, the clients holding the most are dropped until the
// others fit: a few greedy clients cost the server nothing but themselves.
void Server::enforceMemoryLimit() {
  uint64_t used = memUsed_;
  for (auto &entry : clients_) {
    if (entry.second->dead) used -= entry.second->accounted;
  }
  while (used > memoryLimit_) {
    Client *greediest = nullptr;
    for (auto &entry : clients_) {
      Client &c = *entry.second;
      if (!c.dead && (!greediest || c.accounted > greediest->accounted)) greediest = &c;
    }
    if (!greediest || greediest->accounted == 0) return;
    used -= greediest->accounted;
    refuse(*greediest, tarnwire::kErrLimit,
           "the server's client buffers reached their limit of " +
               std::to_string(memoryLimit_ >> 20) + " MiB; this client held the most (" +
               std::to_string(greediest->accounted >> 10) + " KiB)");
  }
}

// Drops the clients that did not greet in time, and those silent past the
// idle time-out that neither wait for packets nor may write; takes large
// input buffers back from the clients that left them empty, and gives freed
// memory back to the system.
void Server::sweepTimeouts() {
  for (auto &entry : clients_) {
    Client &c = *entry.second;
    if (c.dead) continue;
    c.in.release(kKeptInput);
    account(c);
    if (!c.session->helloDone()) {
      if (now_ - c.since >= handshakeTimeout_) {
        refuse(c, tarnwire::kErrLimit,
               (c.port == Port::kTarn ? "no hello within " : "no command within ") +
                   seconds(handshakeTimeout_));
      }
      continue;
    }
    bool waits = c.session->streaming() && c.in.empty();
    if (idleTimeout_.count() == 0 || waits || c.session->writer()) continue;
    if (now_ - c.lastRequest >= idleTimeout_)
      refuse(c, tarnwire::kErrLimit, "no request for " + seconds(idleTimeout_));
  }
  if (memFreed_ >= kTrimAfter) {
    malloc_trim(0);
    memFreed_ = 0;
  }
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
    memUsed_ -= c.accounted;
    memFreed_ += c.accounted;
    slots_.remove(c.addr);
    packetsSentGone_ += c.session->packetsSent();
    figures_.clients = static_cast<uint32_t>(clients_.size() - 1);
    logDrop(c);
    it = clients_.erase(it);
  }
}

// With -v every client that leaves is logged; otherwise only those the
// server dropped, once per address and kind of reason.
void Server::logDrop(const Client &c) {
  if (opt_.verbose) {
    elog_log(0, "client %s disconnected: %s; it put %llu packets and was sent %llu (%zu clients)",
             c.peer.c_str(), c.why.c_str(),
             static_cast<unsigned long long>(c.session->putsStored()),
             static_cast<unsigned long long>(c.session->packetsSent()), clients_.size() - 1);
    return;
  }
  int32_t code = c.session->errorCode();
  if (code == 0) return;
  if (refusals_.shouldLog(c.host, "error " + std::to_string(code), now_)) {
    elog_log(0, "client %s %s (further drops of %s for this reason are not logged for an hour)",
             c.peer.c_str(), c.why.c_str(), c.host.c_str());
  }
}

}  // namespace tarnserver

namespace tarnserver {

// Every client, as tarn stat --clients and the INFO CONNECTIONS answers list
// them.
std::vector<ClientListing> Server::connections() const {
  std::vector<ClientListing> out;
  out.reserve(clients_.size());
  for (const auto &[fd, c] : clients_) {
    if (c->dead) continue;
    ClientListing l;
    l.peer = c->peer;
    l.port = c->port == Port::kSeedlink   ? "SeedLink"
             : c->port == Port::kDatalink ? "DataLink"
                                          : "tarn";
    l.info = c->session->info();
    l.since = c->sinceWall;
    l.bytesIn = c->bytesIn;
    l.bytesOut = c->bytesOut;
    l.packetsIn = c->session->putsStored();
    l.packetsOut = c->session->packetsSent();
    l.streaming = c->session->streaming();
    l.queuedBytes = c->session->outSize();
    out.push_back(std::move(l));
  }
  return out;
}

}  // namespace tarnserver
