// Mending a lost connection to a tarn server, apart from the socket: when
// to try again, and what a new connection must be told so that the
// descriptor goes on as if nothing had happened.
//
// ReconnectSchedule: the first attempt comes at once, then after 0.1 s,
// doubling up to 5 s; a loss is news (to be reported) only once until the
// connection is restored.
//
// ReaderSession: what the descriptor has told its server: its expressions
// and its position (the id the next reap starts from, on which ring). On a
// new connection restoreSteps() lists the requests that bring the server
// back to that state: the expressions again and, when the welcome names
// another ring (the server came back without its own), a position at that
// ring's oldest packet for a descriptor that reads, since all of it is new
// to it. The session changes only once they all went through (restored()),
// so that a connection lost halfway is restored in full the next time. The
// unacknowledged puts (puts_in_flight.h) go after these requests.
//
// Thread-safety: the owning connection serialises every call, except
// ReconnectSchedule::failures(), recoveries() and down(), which any thread
// may read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tarnclient/tarn_frames.h"

namespace tarnclient {

class ReconnectSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kFirstBackoff = 0.1;
  static constexpr double kMaxBackoff = 5.0;

  // The connection was lost at `now`. True when that is news: the first
  // loss since the last recovery, whose attempts start at once.
  bool lost(Clock::time_point now);
  bool due(Clock::time_point now) const { return now >= m_next; }
  Clock::time_point nextAttempt() const { return m_next; }
  // An attempt at `now` failed: the next one waits longer.
  void failed(Clock::time_point now);
  // An attempt at `now` succeeded; the seconds since the loss.
  double recovered(Clock::time_point now);
  // Attempts that failed so far, for the life of the descriptor: a program
  // or a test may watch it to know that the descriptor waits for its server.
  uint64_t failures() const { return m_failures.load(std::memory_order_relaxed); }
  // Lost and not recovered yet; any thread may read it.
  bool down() const { return m_down.load(std::memory_order_relaxed); }
  // Losses recovered from so far, for the life of the descriptor; any
  // thread may read it.
  uint64_t recoveries() const { return m_recoveries.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_down{false};  // lost, not recovered yet
  Clock::time_point m_lostAt{}, m_next{};
  double m_backoff = 0.0;  // seconds before the next attempt; 0: none failed yet
  std::atomic<uint64_t> m_failures{0};
  std::atomic<uint64_t> m_recoveries{0};
};

// A request for a new connection and the type of the answer it waits for.
struct RestoreStep {
  std::vector<char> frame;
  tarnwire::Type answer = tarnwire::kCount;
};

class ReaderSession {
 public:
  std::string select, reject;  // the expressions in force; "" for none
  int32_t cursor = 0;          // the id the next reap starts from
  bool reading = false;        // the descriptor has positioned or reaped
  uint64_t instance = 0;       // the ring `cursor` belongs to

  // Takes in the welcome of every new connection. The first one gives the
  // ring and the position: the next packet to arrive.
  void welcomed(const tarnwire::Welcome &welcome);
  bool everWelcomed() const { return m_everWelcomed; }
  const tarnwire::Welcome &latestWelcome() const { return m_welcome; }
  // Whether the latest welcome names another ring than the position's.
  bool ringReplaced() const { return m_welcome.instance != instance; }

  // The requests that bring a new connection to this session, in order.
  std::vector<RestoreStep> restoreSteps() const;
  // They all went through: the session now stands on the new connection's
  // ring, at `oldestCursor` (the position request's answer) when it reads
  // that ring again, else at the ring's next id.
  void restored(int32_t oldestCursor);

 private:
  bool m_everWelcomed = false;
  tarnwire::Welcome m_welcome;  // of the latest connection
};

}  // namespace tarnclient
