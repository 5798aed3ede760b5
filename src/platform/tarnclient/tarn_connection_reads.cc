// TarnConnection's requests and reading: expressions, positions, reaping
// the stream, and the server's figures.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_connection.h"
#include "platform/tarnclient/tarnclient.h"

namespace tarnclient {

using namespace tarnwire;

namespace {

std::vector<char> expressionRequest(Type type, std::string_view expr) {
  return type == kSelect ? encoded(Select{expr}) : encoded(Reject{expr});
}

// Makes *buf hold at least n bytes (at least 1).
void growBuffer(char **buf, int *bufsize, int n) {
  if (*buf != nullptr && *bufsize >= n) return;
  // A caller that hands each packet's buffer on (the relay) comes with none:
  // a plain allocation is the allocators' quick path, realloc is not.
  auto size = static_cast<size_t>(std::max(n, 1));
  char *grown = static_cast<char *>(*buf == nullptr ? std::malloc(size) : std::realloc(*buf, size));
  if (!grown) elog_die(1, "tarnreap: out of memory for a packet of %d bytes", n);
  *buf = grown;
  *bufsize = std::max(n, 1);
}

bool takeFigures(std::string_view body, RingFigures &out) {
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
  out.repeats = end.repeats;
  out.serverTime = end.serverTime;
  return ok;
}

}  // namespace

int TarnConnection::setExpression(Type type, const std::string &expr) {
  const char *what = type == kSelect ? "tarnselect" : "tarnreject";
  if (expr.size() > kMaxExpression) {
    elog_log(0, "%s: tarn '%s': expression longer than %zu characters", what, m_name.c_str(),
             kMaxExpression);
    return -1;
  }
  std::string &slot = type == kSelect ? m_session.select : m_session.reject;
  std::string answer;
  if ((m_sock < 0 && !reconnect()) || !request(expressionRequest(type, expr), kCount, answer)) {
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
  m_session.reading = true;
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
  if (!(kind == kAtId && positioned.result < 0)) m_session.cursor = positioned.cursor;
  m_streaming = false;
  return positioned.result;
}

int TarnConnection::reap(double timeout, bool forever, int *pktid, char *srcname, double *time,
                         char **buf, int *nbytes, int *bufsize) {
  m_session.reading = true;
  const ReapTarget to{pktid, srcname, time, buf, nbytes, bufsize};
  // A packet that arrived already is taken without reading the clock.
  if (m_sock >= 0 && m_streaming && takePacket(to) == 1) return 0;
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, std::min(timeout, 1e9))));
  for (;;) {
    if (m_sock < 0) {
      if (stopflag_is_set()) return TARN_EOF;
      if (!waitForServer(deadline, false)) return stopflag_is_set() ? TARN_EOF : TARN_TIMEOUT;
      continue;
    }
    if (!m_streaming && !startStream()) continue;
    int got = takePacket(to);
    if (got == 1) return 0;
    if (got < 0) continue;
    int r = recvSome(forever ? kWaitSliceMs : std::min(kWaitSliceMs, msUntil(deadline)));
    if (r < 0) {
      lose("connection closed by the server");
    } else if (r == 0) {
      // A program that is stopping is not kept waiting for a packet.
      if (stopflag_is_set()) return forever ? TARN_EOF : TARN_TIMEOUT;
      if (!forever && Clock::now() >= deadline) return TARN_TIMEOUT;
    }
  }
}

// Drops streamed packets left from before the stream was stopped; acks
// among them still count.
void TarnConnection::discardBufferedPackets() {
  takeAcks();
  FrameInput::Frame frame;
  while (m_input.front(frame) && frame.type != kError) m_input.pop();
}

// Asks for the stream from the descriptor's own position; false when the
// connection was lost.
bool TarnConnection::startStream() {
  discardBufferedPackets();
  if (!sendUnsent() || !sendFrame(encoded(Start{m_session.cursor}))) {
    lose("sending failed");
    return false;
  }
  m_streaming = true;
  return true;
}

// 1 with a packet delivered, 0 when none has come yet, -1 when the
// connection was lost.
int TarnConnection::takePacket(const ReapTarget &to) {
  FrameInput::Frame frame;
  while (m_input.front(frame)) {
    if (frame.type == kPacket) return deliver(frame.body, to);
    if (frame.type == kAck) {
      applyAck(frame.body);
    } else if (frame.type == kSkipped) {
      onSkipped(frame.body);
    } else if (frame.type == kError) {
      onError(frame.body, "the server ended the connection");
      return -1;
    }
    m_input.pop();
  }
  return 0;
}

int TarnConnection::deliver(std::string_view body, const ReapTarget &to) {
  Packet packet;
  if (!decode(body, packet) || packet.source.size() > kMaxSrcName ||
      packet.bytes.size() > static_cast<size_t>(INT32_MAX)) {
    lose("malformed packet from the server");
    return -1;
  }
  int n = static_cast<int>(packet.bytes.size());
  growBuffer(to.buf, to.bufsize, n);
  if (n > 0) std::memcpy(*to.buf, packet.bytes.data(), packet.bytes.size());
  std::memcpy(to.srcname, packet.source.data(), packet.source.size());
  to.srcname[packet.source.size()] = '\0';
  *to.pktid = packet.id;
  *to.time = packet.time;
  *to.nbytes = n;
  m_session.cursor = nextId(packet.id);
  m_input.pop();
  return 1;
}

bool TarnConnection::stat(RingFigures &out) {
  if (m_sock < 0 && !reconnect()) return false;
  if (!sendUnsent() || !sendFrame(encoded(Stat{}))) {
    lose("sending failed");
    return false;
  }
  m_streaming = false;
  out = RingFigures{};
  for (;;) {
    std::string body;
    Type got;
    if (!awaitAnswer(kStatSource, kStatEnd, body, got)) return false;
    if (got == kStatEnd) return takeFigures(body, out);
    StatSource source;
    if (decode(body, source))
      out.sources.push_back(
          {std::string(source.source), source.packets, source.newestTime, source.arrival});
  }
}

bool TarnConnection::clients(ClientList &out) {
  if (m_sock < 0 && !reconnect()) return false;
  out = ClientList{};
  if ((m_session.latestWelcome().features & kFeatureClientList) == 0) return true;
  if (!sendUnsent() || !sendFrame(encoded(Clients{}))) {
    lose("sending failed");
    return false;
  }
  m_streaming = false;
  out.served = true;
  for (;;) {
    std::string body;
    Type got;
    if (!awaitAnswer(kClient, kClientsEnd, body, got)) return false;
    if (got == kClientsEnd) {
      ClientsEnd end;
      bool ok = decode(body, end);
      out.total = end.clients;
      return ok;
    }
    Client c;
    if (decode(body, c))
      out.clients.push_back({std::string(c.peer), std::string(c.protocol), std::string(c.identity),
                             std::string(c.activity), c.since, c.bytesIn, c.bytesOut, c.packetsIn,
                             c.packetsOut});
  }
}

}  // namespace tarnclient
