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
// Bytes: every frame ever added has an absolute offset. The server has
// acknowledged everything before m_acked and been sent everything before
// m_sent (m_acked <= m_sent); the frames end at m_end. The window is full
// once more than kWindowBytes wait for an ack.
//
// Storage: frames are packed, whole, into blocks of at least kBlockBytes
// (a larger frame gets a block of its size), so that a frame is written
// once and never moves: a block goes, to be used again, once every frame in
// it is acknowledged. unsent() gives the unsent bytes of one block at a
// time.
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
  static constexpr size_t kBlockBytes = 1 << 20;

  // Takes a put; returns its number.
  uint64_t add(const tarnwire::Put &put);
  uint64_t add(const tarnwire::IdentifiedPut &put);
  // Takes in an ack: `stored` puts are stored from this connection.
  void acknowledge(uint64_t stored);
  // The first of the bytes not sent on this connection yet (those of one
  // block: empty when none wait), and how many of them went.
  std::string_view unsent() const;
  void sent(size_t n) { m_sent += n; }
  // All the bytes not sent on this connection yet.
  uint64_t unsentBytes() const { return m_end - m_sent; }
  // A new connection: every unacknowledged put is unsent again, and the
  // connection's acks count from zero. A server that does not take
  // identified puts (`identified` false) gets them as plain puts.
  void rewind(bool identified = true);
  // The server refused the first unacknowledged put and will never store
  // it: its frame body, as a plain put's, goes to `body` and it counts as
  // acknowledged from now on. False (nothing changed) when no put that was
  // sent waits.
  bool refuseFirst(std::string &body);
  // The first unacknowledged put's frame body, as a plain put's, when it
  // was sent; nothing changes. False when no put that was sent waits.
  bool firstSent(std::string_view &body) const;

  // Nothing sent waits for an ack.
  bool idle() const { return m_sent == m_acked; }
  bool hasRoom() const { return unacked() <= kWindowBytes; }
  // The unacknowledged puts.
  size_t waiting() const { return m_ends.size(); }

  uint64_t accepted() const { return m_accepted.load(std::memory_order_acquire); }
  uint64_t acknowledged() const { return m_acknowledged.load(std::memory_order_acquire); }
  uint64_t unackedBytes() const { return m_unackedBytes.load(std::memory_order_relaxed); }

 private:
  struct Block {
    uint64_t start = 0;       // the absolute offset of its first byte
    std::vector<char> bytes;  // whole frames
  };
  uint64_t unacked() const { return m_end - m_acked; }
  // The tail block, with room for a frame of up to `bytes` bytes.
  std::vector<char> &roomFor(size_t bytes);
  // Writes a put's frame at the end of the tail block.
  template <class PutFrame>
  void append(const PutFrame &put);
  uint64_t added();
  // The bytes [from, to) of one frame.
  std::string_view frame(uint64_t from, uint64_t to) const;
  void stripIdentities();
  void dropAcknowledged();
  void recycle(std::vector<char> &&bytes);

  std::deque<Block> m_blocks;              // from the one holding m_acked on
  std::vector<std::vector<char>> m_spare;  // emptied blocks, to be used again
  uint64_t m_acked = 0, m_sent = 0, m_end = 0;
  std::deque<uint64_t> m_ends;     // the end offset of every unacknowledged put
  uint64_t m_connectionAcked = 0;  // the latest ack's count on this connection
  // Written by the owner, read by anyone.
  std::atomic<uint64_t> m_accepted{0};
  std::atomic<uint64_t> m_acknowledged{0};
  std::atomic<uint64_t> m_unackedBytes{0};
};

}  // namespace tarnclient
