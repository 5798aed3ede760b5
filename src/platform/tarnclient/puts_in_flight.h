// The window of a descriptor's unacknowledged puts: the frames of the puts
// it has taken and the server has not acknowledged yet, in order.
//
// Numbering: puts are numbered 1, 2, ... for the life of the descriptor.
// The server acknowledges cumulatively: an ack carries the number of puts
// stored on that connection so far, and a new connection counts from zero
// again. On a new connection every unacknowledged put is sent again
// (rewind()), so the descriptor keeps its own count of acknowledged puts:
// it only grows, and counts no put twice, whatever the connections. Every
// put numbered up to acknowledged() is stored on the server.
//
// Bytes: every frame ever added has an absolute offset; the buffer holds
// those from m_base on. The server has acknowledged everything before
// m_acked and been sent everything before m_sent (m_acked <= m_sent). The
// window is full once more than kWindowBytes wait for an ack.
//
// Knows nothing of sockets: the owner sends unsent() and says with sent()
// how much went out.
//
// Thread-safety: the owner serialises every call, except accepted(),
// acknowledged() and unackedBytes(), which any thread may read at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tarnclient/tarn_frames.h"

namespace tarnclient {

class PutsInFlight {
 public:
  // Unacknowledged bytes past which a put waits for room.
  static constexpr uint64_t kWindowBytes = 8 << 20;

  // Takes a put; returns its number.
  uint64_t add(const tarnwire::Put &put);
  uint64_t add(const tarnwire::IdentifiedPut &put);
  // Takes in an ack: `stored` puts are stored from this connection.
  void acknowledge(uint64_t stored);
  // The bytes not sent on this connection yet, and how many of them went.
  std::string_view unsent() const;
  void sent(size_t n) { m_sent += n; }
  // A new connection: every unacknowledged put is unsent again, and the
  // connection's acks count from zero. A server that does not take
  // identified puts (`identified` false) gets them as plain puts.
  void rewind(bool identified = true);
  // The server refused the first unacknowledged put and will never store
  // it: its frame body, as a plain put's, goes to `body` and it counts as
  // acknowledged from now on. False (nothing changed) when no put that was
  // sent waits.
  bool refuseFirst(std::string &body);

  // Nothing sent waits for an ack.
  bool idle() const { return m_sent == m_acked; }
  bool hasRoom() const { return unacked() <= kWindowBytes; }
  // The unacknowledged puts.
  size_t waiting() const { return m_ends.size(); }

  uint64_t accepted() const { return m_accepted.load(std::memory_order_acquire); }
  uint64_t acknowledged() const { return m_acknowledged.load(std::memory_order_acquire); }
  uint64_t unackedBytes() const { return m_unackedBytes.load(std::memory_order_relaxed); }

 private:
  uint64_t end() const { return m_base + m_out.size(); }
  uint64_t unacked() const { return end() - m_acked; }
  uint64_t added();
  void stripIdentities();
  void dropAcknowledged();

  std::vector<char> m_out;  // put frames from absolute offset m_base on
  uint64_t m_base = 0, m_acked = 0, m_sent = 0;
  std::deque<uint64_t> m_ends;     // the end offset of every unacknowledged put
  uint64_t m_connectionAcked = 0;  // the latest ack's count on this connection
  // Written by the owner, read by anyone.
  std::atomic<uint64_t> m_accepted{0};
  std::atomic<uint64_t> m_acknowledged{0};
  std::atomic<uint64_t> m_unackedBytes{0};
};

}  // namespace tarnclient
