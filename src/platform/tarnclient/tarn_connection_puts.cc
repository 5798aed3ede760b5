// TarnConnection's output side: puts into the window of unacknowledged puts,
// batches sent by size or age, and the waits for room and for
// acknowledgements.
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
constexpr size_t kBatchBytes = 64 << 10;  // send once this much waits
constexpr auto kIdleSend = std::chrono::microseconds(200);
constexpr int kPutsPerClockRead = 8;
}  // namespace

uint64_t windowBytesLimit() { return PutsInFlight::kWindowBytes; }

bool StopStall::givesUp() const {
  return stopflag_is_set() &&
         TarnConnection::Clock::now() - m_since >= std::chrono::duration<double>(kStopStallSeconds);
}

bool TarnConnection::exchange(int waitMs) {
  if (!sendUnsent()) {
    lose("sending failed");
    return false;
  }
  if (recvSome(waitMs) < 0) {
    closedByServer();
    return false;
  }
  takeAcks();
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
    if (m_puts.hasRoom()) return 0;
    if (stall.givesUp()) return -3;
    if (seconds >= 0 && Clock::now() >= giveUp) return kPutWindowFull;
    uint64_t before = m_puts.acknowledged();
    if (exchange(kWaitSliceMs) && m_puts.acknowledged() != before) stall.progress();
  }
}

int TarnConnection::put(const char *srcname, double time, const char *bytes, int nbytes,
                        double windowWait, uint64_t *number, const PutIdentity *identity) {
  size_t srclen = srcname ? strnlen(srcname, kMaxSrcName + 1) : 0;
  if (srclen == 0 || srclen > kMaxSrcName || nbytes < 0 || (nbytes > 0 && !bytes)) {
    elog_log(0, "tarnput: tarn '%s': refused a packet: source names have 1 to 63 characters",
             m_name.c_str());
    return -1;
  }
  // The limit is read after the wait for room, which may have reconnected
  // to a server that takes less than before.
  int room = waitForWindow(windowWait);
  if (room != 0) return room;
  uint32_t maxPacket = m_session.latestWelcome().maxPacket;
  if (maxPacket != 0 && static_cast<uint32_t>(nbytes) > maxPacket) {
    elog_log(
        0, "tarnput: refused a %s",
        tooLargeText(static_cast<uint64_t>(nbytes), maxPacket, "tarn '" + m_name + "'").c_str());
    return -1;
  }
  bool idle = m_puts.idle();
  std::string_view data =
      nbytes > 0 ? std::string_view(bytes, static_cast<size_t>(nbytes)) : std::string_view();
  std::string_view src(srcname, srclen);
  uint64_t accepted =
      identity && (m_session.latestWelcome().features & kFeatureIdentifiedPuts) != 0
          ? m_puts.add(IdentifiedPut{identity->origin, identity->sequence, time, src, data})
          : m_puts.add(Put{time, src, data});
  if (number) *number = accepted;
  sendNowOrLater(idle);
  return 0;
}

// Sends at once when nothing was in flight, when a batch is full or when
// nothing was sent for a while; else leaves the batch to grow, and to the
// flusher. A put that fails to go out is kept and sent again.
void TarnConnection::sendNowOrLater(bool wasIdle) {
  // Reading the clock on every put would cost more than the put itself:
  // look at it every few puts; the flusher covers the time in between.
  bool checkClock = ++m_putsSinceClock >= kPutsPerClockRead;
  auto now = checkClock ? Clock::now() : m_lastSend;
  if (checkClock) m_putsSinceClock = 0;
  if (wasIdle || m_puts.unsentBytes() >= kBatchBytes || now - m_lastSend >= kIdleSend) {
    exchange(0);
  } else if (!m_unsent.load(std::memory_order_relaxed)) {
    m_unsentSince = Clock::now();
    m_unsent.store(true, std::memory_order_relaxed);
    notifyFlusher();
  }
}

void TarnConnection::flushPending(Clock::time_point olderThan) {
  if (!m_unsent.load(std::memory_order_relaxed) || m_unsentSince > olderThan || m_sock < 0) return;
  exchange(0);
}

void TarnConnection::collectAcknowledgements() {
  if (m_sock < 0 && m_session.everWelcomed() && !stopflag_is_set()) reconnect();
  if (m_sock >= 0) exchange(0);
}

int TarnConnection::awaitAcknowledged(uint64_t number, Clock::time_point deadline) {
  StopStall stall;
  while (acknowledgedPuts() < number) {
    if (stall.givesUp()) return -3;
    if (Clock::now() >= deadline) return -2;
    if (m_sock < 0) {
      if (stopflag_is_set()) return -3;
      waitForServer(std::min(deadline, Clock::now() + std::chrono::milliseconds(kWaitSliceMs)),
                    false);
      continue;
    }
    uint64_t before = acknowledgedPuts();
    exchange(std::min(kWaitSliceMs, std::max(1, msUntil(deadline))));
    if (acknowledgedPuts() != before) stall.progress();
  }
  return 0;
}

bool TarnConnection::drain(Clock::time_point deadline) {
  return awaitAcknowledged(acceptedPuts(), deadline) == 0;
}

}  // namespace tarnclient
