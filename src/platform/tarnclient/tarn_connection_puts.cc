// TarnConnection's output side: numbered puts in a window of unacknowledged
// bytes, batches sent by size or age, and the waits for acknowledgements.
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_connection.h"
#include "platform/tarnclient/tarn_flusher.h"
#include "platform/tarnclient/tarnclient_internal.h"

namespace tarnclient {

using namespace tarnwire;

namespace {
constexpr size_t kBatchBytes = 64 << 10;     // send once this much waits
constexpr uint64_t kWindowBytes = 16 << 20;  // unacknowledged bytes before put waits
constexpr auto kIdleSend = std::chrono::microseconds(200);
constexpr int kWaitSliceMs = 100;

int msUntil(TarnConnection::Clock::time_point t) {
  auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - TarnConnection::Clock::now()).count();
  return d < 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}
}  // namespace

uint64_t windowBytesLimit() { return kWindowBytes; }

bool StopStall::givesUp() const {
  return stopflag_is_set() &&
         TarnConnection::Clock::now() - m_since >= std::chrono::duration<double>(kStopStallSeconds);
}

// Acks count the puts stored on this connection; after a reconnection the
// unacknowledged puts are sent again and counted again from zero, so the
// descriptor's own count of acknowledged puts only ever grows.
void TarnConnection::applyAck(uint64_t puts) {
  if (puts <= m_connAcked) return;
  uint64_t n = std::min<uint64_t>(puts - m_connAcked, m_putEnds.size());
  m_connAcked = puts;
  for (uint64_t i = 0; i < n; ++i) {
    m_ackedAbs = m_putEnds.front();
    m_putEnds.pop_front();
  }
  m_putsAcked.fetch_add(n, std::memory_order_release);
  size_t acked = static_cast<size_t>(m_ackedAbs - m_outBase);
  if (acked == m_out.size() && m_sentAbs == m_ackedAbs) {
    m_out.clear();
    m_outBase = m_ackedAbs;
  } else if (acked > (1u << 20) && acked * 2 > m_out.size()) {
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(acked));
    m_outBase = m_ackedAbs;
  }
  noteUnacked();
}

bool TarnConnection::sendUnsent() {
  uint64_t end = m_outBase + m_out.size();
  if (m_sentAbs < end) {
    if (!sendRaw(m_out.data() + (m_sentAbs - m_outBase), static_cast<size_t>(end - m_sentAbs))) return false;
    m_sentAbs = end;
    m_lastSend = Clock::now();
  }
  m_unsent.store(false, std::memory_order_relaxed);
  return true;
}

int TarnConnection::waitForWindow(double seconds) {
  StopStall stall;
  auto giveUp = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e9)));
  for (;;) {
    if (m_sock < 0 && !waitForServer(seconds < 0 ? Clock::now() : giveUp, seconds < 0)) {
      return stopflag_is_set() ? -3 : kPutWindowFull;
    }
    if (unackedBytes() <= kWindowBytes) return 0;
    if (stall.givesUp()) return -3;
    if (seconds >= 0 && Clock::now() >= giveUp) return kPutWindowFull;
    uint64_t before = m_ackedAbs;
    if (!sendUnsent()) {
      lose("sending failed");
      continue;
    }
    if (recvSome(kWaitSliceMs) < 0) {
      lose("connection closed by the server");
      continue;
    }
    handleAcksInPlace();
    if (m_ackedAbs != before) stall.progress();
  }
}

int TarnConnection::put(const char *srcname, double time, const char *bytes, int nbytes, double windowWait,
                        uint64_t *number) {
  size_t srclen = srcname ? strnlen(srcname, kMaxSrcName + 1) : 0;
  if (srclen == 0 || srclen > kMaxSrcName || nbytes < 0 || (nbytes > 0 && !bytes) ||
      (m_maxPacket != 0 && static_cast<uint32_t>(nbytes) > m_maxPacket)) {
    elog_log(0, "tarnput: tarn '%s': refused a packet: source names have 1 to 63 characters and packets up to %u bytes",
             m_name.c_str(), m_maxPacket);
    return -1;
  }
  int room = waitForWindow(windowWait);
  if (room != 0) return room;
  bool idle = m_sentAbs == m_ackedAbs;
  encode(m_out, Put{time, std::string_view(srcname, srclen),
                    nbytes > 0 ? std::string_view(bytes, static_cast<size_t>(nbytes)) : std::string_view()});
  m_putEnds.push_back(m_outBase + m_out.size());
  uint64_t accepted = m_putsAccepted.load(std::memory_order_relaxed) + 1;
  m_putsAccepted.store(accepted, std::memory_order_release);
  if (number) *number = accepted;
  noteUnacked();
  // Reading the clock on every put would cost more than the put itself:
  // look at it every few puts; the flusher covers the time in between.
  bool checkClock = ++m_putsSinceClock >= 8;
  auto now = checkClock ? Clock::now() : m_lastSend;
  if (checkClock) m_putsSinceClock = 0;
  if (idle || m_outBase + m_out.size() - m_sentAbs >= kBatchBytes || now - m_lastSend >= kIdleSend) {
    if (!sendUnsent()) {
      lose("sending failed");  // the packet is kept and sent again
      return 0;
    }
    if (recvSome(0) < 0) lose("connection closed by the server");
    else handleAcksInPlace();
  } else if (!m_unsent.load(std::memory_order_relaxed)) {
    m_unsentSince = Clock::now();
    m_unsent.store(true, std::memory_order_relaxed);
    notifyFlusher();
  }
  return 0;
}

void TarnConnection::flushPending(Clock::time_point olderThan) {
  if (!m_unsent.load(std::memory_order_relaxed) || m_unsentSince > olderThan || m_sock < 0) return;
  if (!sendUnsent()) {
    lose("sending failed");
    return;
  }
  if (recvSome(0) < 0) lose("connection closed by the server");
  else handleAcksInPlace();
}

void TarnConnection::collectAcknowledgements() {
  if (m_sock < 0) return;
  if (!sendUnsent()) {
    lose("sending failed");
    return;
  }
  if (recvSome(0) < 0) lose("connection closed by the server");
  else handleAcksInPlace();
}

int TarnConnection::awaitAcknowledged(uint64_t number, Clock::time_point deadline) {
  StopStall stall;
  while (acknowledgedPuts() < number) {
    if (stall.givesUp()) return -3;
    if (Clock::now() >= deadline) return -2;
    if (m_sock < 0) {
      if (stopflag_is_set()) return -3;
      waitForServer(std::min(deadline, Clock::now() + std::chrono::milliseconds(kWaitSliceMs)), false);
      continue;
    }
    uint64_t before = acknowledgedPuts();
    if (!sendUnsent()) {
      lose("sending failed");
      continue;
    }
    int r = recvSome(std::min(kWaitSliceMs, std::max(1, msUntil(deadline))));
    if (r < 0) lose("connection closed by the server");
    else handleAcksInPlace();
    if (acknowledgedPuts() != before) stall.progress();
  }
  return 0;
}

bool TarnConnection::drain(Clock::time_point deadline) {
  return awaitAcknowledged(acceptedPuts(), deadline) == 0;
}

}  // namespace tarnclient
