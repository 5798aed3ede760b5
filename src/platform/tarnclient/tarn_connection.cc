// TarnConnection's socket: connecting and greeting, losing and mending the
// connection, receiving frames, sending bytes, and request and answer.
#include "platform/tarnclient/tarn_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"

namespace tarnclient {

using namespace tarnwire;

namespace {
constexpr int kConnectTimeoutMs = 2000;
constexpr int kAnswerTimeoutMs = 10000;
constexpr size_t kRecvChunk = 256 << 10;
constexpr uint64_t kMaxFrameFromServer = (1ull << 30) + 4096;
}  // namespace

// A send's patience: the answer time-out since the socket last took
// something, and the stall once the program stops.
struct TarnConnection::SendWait {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  StopStall stall;

  void progress() {
    deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    stall.progress();
  }
  bool over() const { return Clock::now() >= deadline || stall.givesUp(); }
};

TarnConnection::TarnConnection(std::string name, TarnAddress addr)
    : m_name(std::move(name)), m_addr(std::move(addr)) {}

TarnConnection::~TarnConnection() {
  if (m_sock >= 0) ::close(m_sock);
}

int TarnConnection::msUntil(Clock::time_point t) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return d < 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
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
  m_input.clear();
  m_streaming = false;
  Hello hello;
  hello.mode = m_puts.accepted() > 0 ? 1 : 0;
  std::string body;
  Type got;
  if (!sendFrame(encoded(hello)) || !awaitAnswer(kWelcome, kWelcome, body, got)) {
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
  m_session.welcomed(welcome);
  m_welcomedHere = true;
  return true;
}

void TarnConnection::lose(const std::string &why) {
  if (m_sock >= 0) ::close(m_sock);
  m_sock = -1;
  m_welcomedHere = false;
  m_streaming = false;
  m_input.clear();
  bool quiet = std::exchange(m_quietLoss, false);
  if (m_session.everWelcomed() && m_schedule.lost(Clock::now())) {
    m_restoreQuietly = quiet;  // said only if it is not mended at once
    if (quiet) return;
    elog_log(0, "tarn '%s': connection lost (%s); reconnecting", m_name.c_str(), why.c_str());
  }
}

bool TarnConnection::reconnect() {
  if (!m_schedule.due(Clock::now())) return false;
  std::string err;
  if (!connectAndGreet(err) || !restoreSession()) {
    m_schedule.failed(Clock::now());
    if (std::exchange(m_restoreQuietly, false)) {
      elog_log(0, "tarn '%s': connection lost after a refused put; reconnecting", m_name.c_str());
    }
    return false;
  }
  size_t resent = m_puts.waiting();
  double seconds = m_schedule.recovered(Clock::now());
  m_lastRefusal.clear();
  if (std::exchange(m_restoreQuietly, false)) return true;
  elog_log(
      0, "tarn '%s': connection restored after %.1f s%s", m_name.c_str(), seconds,
      resent ? (", " + std::to_string(resent) + " unacknowledged puts sent again").c_str() : "");
  return true;
}

// Brings a fresh connection to the state the descriptor had: expressions,
// position and unacknowledged puts.
bool TarnConnection::restoreSession() {
  // Every unacknowledged put goes out again on this connection, whose acks
  // count from zero. Rewind first: the requests below send pending puts.
  m_puts.rewind((m_session.latestWelcome().features & kFeatureIdentifiedPuts) != 0);
  bool rereads = m_session.ringReplaced() && m_session.reading;
  int32_t oldest = 0;
  for (const RestoreStep &step : m_session.restoreSteps()) {
    std::string answer;
    if (!request(step.frame, step.answer, answer)) return false;
    Positioned positioned;
    if (step.answer == kPositioned && decode(answer, positioned)) oldest = positioned.cursor;
  }
  if (rereads) {
    elog_log(0,
             "tarn '%s': the server's ring was replaced while disconnected; reading again from its "
             "oldest packet",
             m_name.c_str());
  }
  m_session.restored(oldest);
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
    auto wake = forever ? m_schedule.nextAttempt() : std::min(m_schedule.nextAttempt(), deadline);
    auto nap =
        std::min<Clock::duration>(wake - Clock::now(), std::chrono::milliseconds(kWaitSliceMs));
    if (nap > Clock::duration::zero()) std::this_thread::sleep_for(nap);
  }
  return true;
}

// ---- input ----

// Receives what the server sent, waiting up to timeoutMs for the first
// byte. Returns the bytes received, 0 when none came, -1 when the
// connection broke (the caller loses it).
int TarnConnection::recvSome(int timeoutMs) {
  if (m_input.frontLength() > kMaxFrameFromServer) return -1;
  size_t room = 0;
  char *at = m_input.room(kRecvChunk, room);
  if (timeoutMs > 0) {
    pollfd p{m_sock, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) return 0;
  }
  ssize_t n = recv(m_sock, at, room, 0);
  if (n > 0) {
    m_input.received(static_cast<size_t>(n));
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;
}

// Applies every ack that has arrived, wherever it stands, so that puts see
// their acks even while streamed packets wait in front of them.
void TarnConnection::takeAcks() {
  uint64_t stored = 0;
  if (m_input.takeAcks(stored)) m_puts.acknowledge(stored);
}

void TarnConnection::applyAck(std::string_view body) {
  Ack ack;
  if (decode(body, ack)) m_puts.acknowledge(ack.puts);
}

void TarnConnection::onSkipped(std::string_view body) {
  Skipped skipped;
  if (!decode(body, skipped)) return;
  elog_log(0,
           "tarn '%s': reader fell behind: the ring dropped %llu packets (ids %d to %d) before "
           "they were read",
           m_name.c_str(), static_cast<unsigned long long>(skipped.count), skipped.firstId,
           skipped.lastId);
}

// The server's error frame ends the connection; `what` says when it came.
// A refusal after the hello is of a put (the server refuses nothing else
// then): the first one not acknowledged, since the server acknowledges what
// it stored before it refuses. That put is dropped, so that the ones after
// it go on after the reconnection, and said once: by one line here, or by
// the caller that takes the refusals, not by a loss and a restoration too.
// So is a frame too large after the hello when the first put not
// acknowledged is larger than this connection's server takes: a put taken
// while the server took larger packets, sent again to a server that came
// back with a lower limit, which would otherwise end every connection that
// sends it. Any other frame too large only ends the connection.
void TarnConnection::onError(std::string_view body, const char *what) {
  Error error;
  decode(body, error);
  std::string text(error.text);
  std::string refused;
  Put put;
  bool tooLarge = error.code == kErrTooLarge && m_welcomedHere && firstPutTooLarge();
  if ((error.code == kErrRefused || tooLarge) && m_welcomedHere && m_puts.refuseFirst(refused) &&
      decode(refused, put)) {
    bool kept = m_refused.size() < kMaxRefusedKept;
    if (kept) {
      m_refused.push_back(RefusedPut{m_puts.acknowledged(), std::string(put.source), put.time,
                                     static_cast<uint32_t>(put.bytes.size()), text,
                                     tooLarge ? maxPacket() : 0});
    }
    if (!kept || !m_callerSaysRefusals) {
      elog_log(0, "tarn '%s': put of '%.*s' refused (%s); it is dropped", m_name.c_str(),
               static_cast<int>(put.source.size()), put.source.data(), text.c_str());
    }
    m_quietLoss = true;
    lose("refused: " + text);
    return;
  }
  // A server that refuses every attempt to reconnect says so once.
  if (m_welcomedHere || text != m_lastRefusal)
    elog_log(0, "tarn '%s': %s: %s", m_name.c_str(), what, text.c_str());
  if (!m_welcomedHere) m_lastRefusal = text;
  lose("refused: " + text);
}

bool TarnConnection::firstPutTooLarge() const {
  std::string_view body;
  Put put;
  return maxPacket() != 0 && m_puts.firstSent(body) && decode(body, put) &&
         put.bytes.size() > maxPacket();
}

// The server closed the connection: an error frame it sent first says why.
void TarnConnection::closedByServer() {
  FrameInput::Frame frame;
  while (m_sock >= 0 && m_input.front(frame)) {
    if (frame.type == kError) {
      std::string body(frame.body);
      onError(body, "the server ended the connection");
      return;
    }
    if (frame.type == kAck) applyAck(frame.body);
    m_input.pop();
  }
  lose("connection closed by the server");
}

// Reads frames until one of type `want` or `want2` arrives; streamed
// packets before it are discarded (the request that is being answered
// repositions the stream).
bool TarnConnection::awaitAnswer(Type want, Type want2, std::string &body, Type &got) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  StopStall stall;
  for (;;) {
    int found = answerInInput(want, want2, body, got);
    if (found != 0) return found > 0;
    if (m_sock < 0) return false;
    int r = recvSome(std::clamp(msUntil(deadline), 1, kWaitSliceMs));
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

// The answer among the frames received so far: 1 when it is there, 0 when
// it has not come yet, -1 when the server refused the request instead.
int TarnConnection::answerInInput(Type want, Type want2, std::string &body, Type &got) {
  FrameInput::Frame frame;
  while (m_sock >= 0 && m_input.front(frame)) {
    if (frame.type == want || frame.type == want2) {
      body.assign(frame.body);
      got = frame.type;
      m_input.pop();
      return 1;
    }
    if (frame.type == kAck) {
      applyAck(frame.body);
    } else if (frame.type == kError) {
      onError(frame.body, "the server refused a request");
      return -1;
    }
    m_input.pop();
  }
  return 0;
}

// ---- output ----

// One send: the bytes the socket took (more than 0), 0 when it takes none
// now, -1 when the connection broke.
ssize_t TarnConnection::sendStep(std::string_view bytes) {
  ssize_t w = send(m_sock, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (w > 0) return w;
  if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
  return 0;
}

// Waits a moment for the socket to take more, taking in what the server
// sends meanwhile (it may wait for its answers to be read before it reads
// again); false when the wait is over or the connection broke.
bool TarnConnection::waitToSend(SendWait &wait) {
  if (wait.over()) return false;
  pollfd pf{m_sock, POLLOUT | POLLIN, 0};
  if (poll(&pf, 1, kWaitSliceMs) > 0 && (pf.revents & POLLIN)) {
    if (recvSome(0) < 0) return false;
    takeAcks();
  }
  return true;
}

// Sends all of it; false when the connection broke, when the server took
// nothing for the answer time-out, or when the program is stopping and the
// server takes nothing.
bool TarnConnection::sendRaw(std::string_view bytes) {
  SendWait wait;
  while (!bytes.empty()) {
    ssize_t w = sendStep(bytes);
    if (w > 0) {
      bytes.remove_prefix(static_cast<size_t>(w));
      wait.progress();
    } else if (w < 0 || !waitToSend(wait)) {
      return false;
    }
  }
  return true;
}

// Sends the puts not sent on this connection yet, as sendRaw would. The
// bytes are looked up again after every step: acks taken in between may
// move the window's buffer.
bool TarnConnection::sendUnsent() {
  SendWait wait;
  bool sentAny = false;
  for (std::string_view bytes = m_puts.unsent(); !bytes.empty(); bytes = m_puts.unsent()) {
    ssize_t w = sendStep(bytes);
    if (w > 0) {
      m_puts.sent(static_cast<size_t>(w));
      wait.progress();
      sentAny = true;
    } else if (w < 0 || !waitToSend(wait)) {
      return false;
    }
  }
  if (sentAny) m_lastSend = Clock::now();
  m_unsent.store(false, std::memory_order_relaxed);
  return true;
}

bool TarnConnection::request(const std::vector<char> &frame, Type want, std::string &answer) {
  Type got;
  if (m_sock < 0) return false;
  if (!sendUnsent() || !sendFrame(frame)) {
    lose("sending failed");
    return false;
  }
  return awaitAnswer(want, want, answer, got);
}

}  // namespace tarnclient
