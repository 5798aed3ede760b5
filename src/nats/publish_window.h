// PublishWindow: the messages a JetStream publisher has handed out and not
// yet finished with, numbered in publishing order.
//
// A message is added, sent (perhaps again, on a later connection), and
// finished by JetStream's answer: stored, or dropped with why. Answers may
// come in any order; settle() hands out only the finished messages at the
// front, so packets are done in the order they were published. An answer
// for a number not in flight (late, repeated, or from an older connection)
// changes nothing. Bounded by a number of messages and of bytes: full()
// says when no more may be added.
//
// Thread-safety: none; its publisher's thread alone uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class TarnPacket;

class PublishWindow {
 public:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    std::shared_ptr<TarnPacket> packet;
    size_t bytes = 0;
    Clock::time_point sentAt{};
    bool inFlight = false;  // sent on the current connection, not answered
    bool done = false;      // stored, or dropped
    std::string dropped;    // why JetStream cannot take it
  };

  PublishWindow(size_t maxMessages, size_t maxBytes);

  bool full() const;
  // Adds a message costing `bytes`; its number.
  uint64_t add(std::shared_ptr<TarnPacket> packet, size_t bytes);
  // The entry numbered `id`, or null when it is not in the window.
  Entry *at(uint64_t id);

  // Entry `id` is sent now; false when it is not waiting to be sent.
  bool sent(uint64_t id, Clock::time_point now);
  // JetStream's answers for `id`; false (and nothing changed) unless it was
  // in flight.
  bool stored(uint64_t id);
  bool dropped(uint64_t id, std::string why);
  // A message that was never sent after all (the library refused it): it
  // waits to be sent again.
  void unsent(uint64_t id);

  // The connection is gone: nothing is in flight any more.
  void disconnected();
  // The numbers of the messages still to be sent, in order.
  std::vector<uint64_t> toSend() const;
  // When the oldest message in flight was sent; false when none is.
  bool oldestInFlight(Clock::time_point &sentAt) const;

  // Moves the finished messages at the front, in order, into `out`.
  void settle(std::vector<Entry> &out);

  // Messages not finished; of them, those carrying relayed packets.
  size_t waiting() const { return m_waiting; }
  size_t relayedWaiting() const;
  // Messages JetStream stored so far.
  uint64_t acknowledged() const { return m_acknowledged; }

 private:
  Entry *inFlight(uint64_t id);

  const size_t m_maxMessages;
  const size_t m_maxBytes;
  std::deque<Entry> m_entries;  // the first is number m_firstId
  uint64_t m_firstId = 0;
  size_t m_bytes = 0;
  size_t m_waiting = 0;
  uint64_t m_acknowledged = 0;
};
