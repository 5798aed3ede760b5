#include "platform/tarnclient/tarn_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_flusher.h"
#include "platform/tarnclient/tarnclient.h"

namespace tarnclient {

using namespace tarnwire;

namespace {
constexpr int kConnectTimeoutMs = 2000;
constexpr int kAnswerTimeoutMs = 10000;
constexpr int kWaitSliceMs = 100;  // how often a wait looks at the stop flag
constexpr size_t kRecvChunk = 256 << 10;
constexpr double kMaxBackoff = 5.0;
constexpr uint64_t kMaxFrameFromServer = (1ull << 30) + 4096;

double secondsSince(TarnConnection::Clock::time_point t) {
  return std::chrono::duration<double>(TarnConnection::Clock::now() - t).count();
}
int msUntil(TarnConnection::Clock::time_point t) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - TarnConnection::Clock::now()).count();
  return d < 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}
}  // namespace

TarnConnection::TarnConnection(std::string name, TarnAddress addr) : m_name(std::move(name)), m_addr(std::move(addr)) {}

TarnConnection::~TarnConnection() {
  if (m_sock >= 0) ::close(m_sock);
}

// ---- connection management ----

bool TarnConnection::open() {
  std::string err;
  if (!connectAndGreet(err)) {
    elog_log(0, "tarnopen: tarn '%s': %s", m_name.c_str(), err.c_str());
    return false;
  }
  return true;
}

bool TarnConnection::connectAndGreet(std::string &err) {
  int fd = connectTo(m_addr, kConnectTimeoutMs, err);
  if (fd < 0) return false;
  m_sock = fd;
  if (m_address.empty()) m_address = peerAddress(fd);
  m_inHead = m_inLen = m_scan = 0;
  m_streaming = false;
  Hello greeting;
  greeting.mode = m_putsAccepted.load(std::memory_order_relaxed) > 0 ? 1 : 0;
  std::vector<char> hello = encoded(greeting);
  std::string body;
  Type got;
  if (!sendRaw(hello.data(), hello.size()) || !awaitAnswer(kWelcome, kWelcome, body, got)) {
    err = "the server did not answer as a tarn server";
    if (m_sock >= 0) lose(err);
    return false;
  }
  Welcome welcome;
  if (!decode(body, welcome)) {
    lose("malformed welcome");
    err = "malformed welcome";
    return false;
  }
  m_maxPacket = welcome.maxPacket;
  m_welcomeInstance = welcome.instance;
  m_welcomeNext = welcome.nextId;
  if (!m_everConnected) {
    m_everConnected = true;
    m_instance = welcome.instance;
    m_cursor = welcome.nextId;
  }
  return true;
}

void TarnConnection::lose(const std::string &why) {
  if (m_sock >= 0) ::close(m_sock);
  m_sock = -1;
  m_streaming = false;
  m_inHead = m_inLen = m_scan = 0;
  if (m_everConnected && !m_lossReported) {
    elog_log(0, "tarn '%s': connection lost (%s); reconnecting", m_name.c_str(), why.c_str());
    m_lossReported = true;
    m_lostAt = Clock::now();
    m_backoff = 0.0;
    m_nextAttempt = m_lostAt;
  }
}

bool TarnConnection::reconnect() {
  if (Clock::now() < m_nextAttempt) return false;
  std::string err;
  if (!connectAndGreet(err) || !restoreSession()) {
    m_backoff = m_backoff == 0.0 ? 0.1 : std::min(m_backoff * 2, kMaxBackoff);
    m_nextAttempt = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_backoff));
    return false;
  }
  size_t resent = m_putEnds.size();
  elog_log(0, "tarn '%s': connection restored after %.1f s%s", m_name.c_str(), secondsSince(m_lostAt),
           resent ? (", " + std::to_string(resent) + " unacknowledged puts sent again").c_str() : "");
  m_lossReported = false;
  m_backoff = 0.0;
  return true;
}

// Brings a fresh connection to the state the descriptor had: expressions,
// position and unacknowledged puts.
bool TarnConnection::restoreSession() {
  // Every unacknowledged put goes out again on this connection, whose acks
  // count from zero. Rewind first: the requests below send pending puts.
  m_sentAbs = m_ackedAbs;
  m_connAcked = 0;
  std::string answer;
  for (auto [type, expr] : {std::pair{kSelect, &m_select}, std::pair{kReject, &m_reject}}) {
    if (expr->empty()) continue;
    std::vector<char> f = type == kSelect ? encoded(Select{*expr}) : encoded(Reject{*expr});
    if (!request(f, kCount, answer)) return false;
  }
  if (m_welcomeInstance != m_instance) {
    m_instance = m_welcomeInstance;
    m_cursor = m_welcomeNext;
    if (m_reading) {
      elog_log(0, "tarn '%s': the server's ring was replaced while disconnected; reading again from its oldest packet",
               m_name.c_str());
      if (!request(encoded(Position{kOldest, 0, 0.0}), kPositioned, answer)) return false;
      Positioned positioned;
      decode(answer, positioned);
      m_cursor = positioned.cursor;
    }
  }
  m_streaming = false;
  if (!sendUnsent()) {
    lose("sending failed");
    return false;
  }
  return true;
}

bool TarnConnection::waitForServer(Clock::time_point deadline, bool forever) {
  while (m_sock < 0) {
    if (stopflag_is_set()) return false;
    if (reconnect()) return true;
    if (!forever && Clock::now() >= deadline) return false;
    auto wake = forever ? m_nextAttempt : std::min(m_nextAttempt, deadline);
    auto nap = std::min<Clock::duration>(wake - Clock::now(), std::chrono::milliseconds(100));
    if (nap > Clock::duration::zero()) std::this_thread::sleep_for(nap);
  }
  return true;
}

// ---- input ----

bool TarnConnection::frameAt(size_t off, FrameHeader &h) const {
  return peekHeader(m_in.data() + off, m_inLen - off, h) && m_inLen - off >= kHeaderSize + h.length;
}

void TarnConnection::dropInputHead(size_t n) {
  m_inHead += n;
  if (m_scan < m_inHead) m_scan = m_inHead;
  if (m_inHead == m_inLen) m_inHead = m_inLen = m_scan = 0;
}

// Receives what the server sent, waiting up to timeoutMs for the first
// byte. Returns the bytes received, 0 when none came, -1 when the
// connection broke (the caller loses it).
int TarnConnection::recvSome(int timeoutMs) {
  size_t need = kRecvChunk;
  FrameHeader h;
  if (peekHeader(m_in.data() + m_inHead, m_inLen - m_inHead, h)) {
    if (h.length > kMaxFrameFromServer) return -1;
    need = std::max<size_t>(need, kHeaderSize + h.length - (m_inLen - m_inHead));
  }
  if (m_in.size() - m_inLen < need) {
    if (m_inHead > 0) {
      std::memmove(m_in.data(), m_in.data() + m_inHead, m_inLen - m_inHead);
      m_inLen -= m_inHead;
      m_scan -= m_inHead;
      m_inHead = 0;
    }
    if (m_in.size() - m_inLen < need) m_in.resize(m_inLen + need);
  }
  if (timeoutMs > 0) {
    pollfd p{m_sock, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) return 0;
  }
  ssize_t n = recv(m_sock, m_in.data() + m_inLen, m_in.size() - m_inLen, 0);
  if (n > 0) {
    m_inLen += static_cast<size_t>(n);
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;
}

// Applies every complete ack frame in the input, wherever it stands, and
// marks it consumed (type 0), so puts see their acks even while streamed
// packets wait in front of them.
void TarnConnection::handleAcksInPlace() {
  size_t p = std::max(m_scan, m_inHead);
  FrameHeader h;
  while (frameAt(p, h)) {
    if (h.type == kAck) {
      Ack ack;
      if (decode(std::string_view(m_in.data() + p + kHeaderSize, h.length), ack)) applyAck(ack.puts);
      m_in[p + kTypeOffset] = 0;
    }
    p += kHeaderSize + h.length;
  }
  m_scan = p;
  while (frameAt(m_inHead, h) && h.type == 0) dropInputHead(kHeaderSize + h.length);
}

void TarnConnection::onSkipped(const char *body, size_t len) {
  Skipped skipped;
  if (!decode(std::string_view(body, len), skipped)) return;
  elog_log(0, "tarn '%s': reader fell behind: the ring dropped %llu packets (ids %d to %d) before they were read",
           m_name.c_str(), static_cast<unsigned long long>(skipped.count), skipped.firstId, skipped.lastId);
}

// Reads frames until one of type `want` or `want2` arrives; streamed
// packets before it are discarded (the request that is being answered
// repositions the stream).
bool TarnConnection::awaitAnswer(Type want, Type want2, std::string &body, Type &got) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  StopStall stall;
  for (;;) {
    FrameHeader h;
    while (m_sock >= 0 && frameAt(m_inHead, h)) {
      const char *b = m_in.data() + m_inHead + kHeaderSize;
      if (h.type == want || h.type == want2) {
        body.assign(b, h.length);
        got = h.type;
        dropInputHead(kHeaderSize + h.length);
        return true;
      }
      if (h.type == kAck) {
        Ack ack;
        if (decode(std::string_view(b, h.length), ack)) applyAck(ack.puts);
      } else if (h.type == kError) {
        Error error;
        decode(std::string_view(b, h.length), error);
        std::string text(error.text);
        elog_log(0, "tarn '%s': the server refused a request: %s", m_name.c_str(), text.c_str());
        lose("refused: " + text);
        return false;
      }
      dropInputHead(kHeaderSize + h.length);
    }
    if (m_sock < 0) return false;
    int wait = msUntil(deadline);
    int r = recvSome(std::clamp(wait, 1, kWaitSliceMs));
    if (r < 0) {
      lose("connection closed by the server");
      return false;
    }
    if (r > 0) stall.progress();
    if (r == 0 && (Clock::now() >= deadline || stall.givesUp())) {
      lose("no answer from the server");
      return false;
    }
  }
}

// Drops streamed packets left from before the stream was stopped; acks
// among them still count.
void TarnConnection::discardBufferedPackets() {
  handleAcksInPlace();
  FrameHeader h;
  while (frameAt(m_inHead, h) && h.type != kError) dropInputHead(kHeaderSize + h.length);
}

int TarnConnection::takePacket(int *pktid, char *srcname, double *time, char **buf, int *nbytes, int *bufsize) {
  FrameHeader h;
  while (frameAt(m_inHead, h)) {
    const char *b = m_in.data() + m_inHead + kHeaderSize;
    size_t frameLen = kHeaderSize + h.length;
    if (h.type == kPacket) {
      Packet packet;
      bool ok = decode(std::string_view(b, h.length), packet);
      int32_t id = packet.id;
      double t = packet.time;
      std::string_view src = packet.source, bytes = packet.bytes;
      if (!ok || src.size() > kMaxSrcName || bytes.size() > static_cast<size_t>(INT32_MAX)) {
        lose("malformed packet from the server");
        return -1;
      }
      int n = static_cast<int>(bytes.size());
      if (*buf == nullptr || *bufsize < n) {
        char *grown = static_cast<char *>(std::realloc(*buf, static_cast<size_t>(std::max(n, 1))));
        if (!grown) elog_die(1, "tarnreap: out of memory for a packet of %d bytes", n);
        *buf = grown;
        *bufsize = std::max(n, 1);
      }
      if (n > 0) std::memcpy(*buf, bytes.data(), bytes.size());
      std::memcpy(srcname, src.data(), src.size());
      srcname[src.size()] = '\0';
      *pktid = id;
      *time = t;
      *nbytes = n;
      m_cursor = nextId(id);
      m_hasLast = true;
      m_lastId = id;
      m_lastTime = t;
      dropInputHead(frameLen);
      return 1;
    }
    if (h.type == kAck) {
      Ack ack;
      if (decode(std::string_view(b, h.length), ack)) applyAck(ack.puts);
    } else if (h.type == kSkipped) {
      onSkipped(b, h.length);
    } else if (h.type == kError) {
      Error error;
      decode(std::string_view(b, h.length), error);
      std::string text(error.text);
      elog_log(0, "tarn '%s': the server ended the connection: %s", m_name.c_str(), text.c_str());
      lose("refused: " + text);
      return -1;
    }
    dropInputHead(frameLen);
  }
  return 0;
}

// ---- output ----

// Sends all of it; false when the connection broke, when the server took
// nothing for the answer time-out, or when the program is stopping and the
// server takes nothing.
bool TarnConnection::sendRaw(const char *p, size_t n) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  StopStall stall;
  while (n > 0) {
    ssize_t w = send(m_sock, p, n, MSG_NOSIGNAL);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
      stall.progress();
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= deadline || stall.givesUp()) return false;
    pollfd pf{m_sock, POLLOUT | POLLIN, 0};
    if (poll(&pf, 1, kWaitSliceMs) > 0 && (pf.revents & POLLIN)) {
      if (recvSome(0) < 0) return false;
      handleAcksInPlace();
    }
  }
  return true;
}

bool TarnConnection::request(const std::vector<char> &frame, Type want, std::string &answer) {
  Type got;
  if (m_sock < 0) return false;
  if (!sendUnsent() || !sendRaw(frame.data(), frame.size())) {
    lose("sending failed");
    return false;
  }
  return awaitAnswer(want, want, answer, got);
}

// ---- the operations ----

int TarnConnection::setExpression(Type type, const std::string &expr) {
  const char *what = type == kSelect ? "tarnselect" : "tarnreject";
  if (expr.size() > kMaxExpression) {
    elog_log(0, "%s: tarn '%s': expression longer than %zu characters", what, m_name.c_str(), kMaxExpression);
    return -1;
  }
  std::string &slot = type == kSelect ? m_select : m_reject;
  if (m_sock < 0 && !reconnect()) {
    slot = expr;
    return -1;
  }
  std::vector<char> f = type == kSelect ? encoded(Select{expr}) : encoded(Reject{expr});
  std::string answer;
  if (!request(f, kCount, answer)) {
    slot = expr;  // applied when the connection is back
    return -1;
  }
  m_streaming = false;
  Count count;
  decode(answer, count);
  if (count.sources < 0) {
    elog_log(0, "%s: tarn '%s': %s", what, m_name.c_str(), std::string(count.reason).c_str());
    return -1;
  }
  slot = expr;
  return count.sources;
}

int TarnConnection::position(PositionKind kind, int32_t id, double time) {
  m_reading = true;
  if (m_sock < 0 && !reconnect()) return -1;
  std::string answer;
  if (!request(encoded(Position{kind, id, time}), kPositioned, answer)) return -1;
  Positioned positioned;
  if (!decode(answer, positioned)) {
    lose("malformed answer");
    return -1;
  }
  // A failed seek to an id leaves the position as it was: the descriptor's
  // own, which the server's cursor may have passed while streaming ahead.
  const int32_t result = positioned.result;
  if (!(kind == kAtId && result < 0)) m_cursor = positioned.cursor;
  m_streaming = false;
  if (kind == kResume && result == kResumedById) {
    m_hasLast = true;
    m_lastId = id;
    m_lastTime = time;
  }
  return result;
}

int TarnConnection::reap(double timeout, bool forever, int *pktid, char *srcname, double *time, char **buf,
                         int *nbytes, int *bufsize) {
  m_reading = true;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, std::min(timeout, 1e9))));
  for (;;) {
    if (m_sock < 0) {
      if (stopflag_is_set()) return TARN_EOF;
      if (!waitForServer(deadline, false)) return stopflag_is_set() ? TARN_EOF : TARN_TIMEOUT;
      continue;
    }
    if (!m_streaming) {
      discardBufferedPackets();
      std::vector<char> f = encoded(Start{m_cursor});
      if (!sendUnsent() || !sendRaw(f.data(), f.size())) {
        lose("sending failed");
        continue;
      }
      m_streaming = true;
    }
    int got = takePacket(pktid, srcname, time, buf, nbytes, bufsize);
    if (got == 1) return 0;
    if (got < 0) continue;
    int r = recvSome(forever ? kWaitSliceMs : std::min(kWaitSliceMs, msUntil(deadline)));
    if (r < 0) {
      lose("connection closed by the server");
      continue;
    }
    if (r == 0) {
      // A program that is stopping is not kept waiting for a packet.
      if (stopflag_is_set()) return forever ? TARN_EOF : TARN_TIMEOUT;
      if (!forever && Clock::now() >= deadline) return TARN_TIMEOUT;
    }
  }
}

bool TarnConnection::stat(RingFigures &out) {
  if (m_sock < 0 && !reconnect()) return false;
  std::vector<char> f = encoded(Stat{});
  if (!sendUnsent() || !sendRaw(f.data(), f.size())) {
    lose("sending failed");
    return false;
  }
  m_streaming = false;
  out = RingFigures{};
  for (;;) {
    std::string body;
    Type got;
    if (!awaitAnswer(kStatSource, kStatEnd, body, got)) return false;
    if (got == kStatSource) {
      StatSource source;
      if (decode(body, source)) out.sources.push_back({std::string(source.source), source.packets, source.newestTime});
      continue;
    }
    StatEnd end;
    bool ok = decode(body, end);
    out.ringBytes = end.ringBytes;
    out.usedBytes = end.usedBytes;
    out.packets = end.packets;
    out.oldestId = end.oldestId;
    out.newestId = end.newestId;
    out.oldestTime = end.oldestTime;
    out.newestTime = end.newestTime;
    out.dropped = end.dropped;
    out.clients = end.clients;
    out.maxPacket = end.maxPacket;
    out.inFile = end.inFile;
    out.sourcesTruncated = end.sourcesCut;
    out.instance = end.instance;
    return ok;
  }
}

}  // namespace tarnclient
