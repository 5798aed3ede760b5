// One descriptor's connection to a tarn server, and everything it must
// remember to mend a lost connection: the expressions, the position (the
// next id, and the id and time of the last packet delivered), and the puts
// the server has not acknowledged yet.
//
// Reading: after a start request the server streams delivered packets;
// reap() takes them out of the input buffer. A positioning or expression
// request stops the stream; frames that arrive before its answer are
// discarded, and the next reap restarts the stream at the descriptor's own
// position, so read-ahead never changes what the caller sees.
//
// Putting: put() appends the frame to the output buffer, which keeps every
// frame until the server acknowledges it (acks count puts on the
// connection), and sends at once when the connection was idle a while or
// the batch is large; flushPending() sends what is left waiting (the
// library's flusher thread calls it). After a reconnection the
// unacknowledged frames are sent again. Puts are numbered 1, 2, ... for the
// life of the descriptor, and the count of acknowledged puts only grows, so
// a caller knows which of its puts the server holds.
//
// Stopping: once the program's stop flag is set, a wait that makes no
// progress (nothing sent, nothing acknowledged, no answer) for
// kStopStallSeconds gives up, so that no wait holds up a stop for long.
//
// Thread-safety: every method except the constructor expects the caller to
// hold mutex(); the registry (tarnclient.cc) takes it around each call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tarnclient/tarn_address.h"
#include "platform/tarnclient/tarn_frames.h"
#include "platform/tarnclient/tarnclient_internal.h"

namespace tarnclient {

class TarnConnection {
 public:
  using Clock = std::chrono::steady_clock;

  TarnConnection(std::string name, TarnAddress addr);
  ~TarnConnection();
  TarnConnection(const TarnConnection &) = delete;
  TarnConnection &operator=(const TarnConnection &) = delete;

  std::mutex &mutex() { return m_mutex; }

  // First connection; false (reason logged) when the server is not there.
  bool open();
  int setExpression(tarnwire::Type type, const std::string &expr);
  int position(tarnwire::PositionKind kind, int32_t id, double time);
  int tell() const { return m_cursor; }
  int reap(double timeout, bool forever, int *pktid, char *srcname, double *time, char **buf, int *nbytes,
           int *bufsize);
  // Takes a packet (*number: its put number) and returns 0; or returns -1
  // (bad packet), -3 (stopping while the server is away or does not take
  // it), or kPutWindowFull when `windowWait` is not negative and the window
  // of unacknowledged puts stayed full that many seconds.
  int put(const char *srcname, double time, const char *bytes, int nbytes, double windowWait, uint64_t *number);
  // Sends everything and waits for acknowledgement of every put until
  // `deadline`; true when none is left outstanding.
  bool drain(Clock::time_point deadline);
  // Waits until put `number` is acknowledged: 0; -2 at `deadline`; -3 when
  // stopping and the server does not answer.
  int awaitAcknowledged(uint64_t number, Clock::time_point deadline);
  // Sends what waits and takes in the acknowledgements that have arrived,
  // without waiting.
  void collectAcknowledgements();
  // For the flusher thread: sends puts left waiting since `olderThan`.
  void flushPending(Clock::time_point olderThan);
  bool hasUnsent() const { return m_unsent.load(std::memory_order_relaxed); }
  bool stat(RingFigures &out);

  const std::string &name() const { return m_name; }
  // The server's address as first connected; set once by open().
  const std::string &address() const { return m_address; }
  // Read without the lock.
  uint64_t acceptedPuts() const { return m_putsAccepted.load(std::memory_order_acquire); }
  uint64_t acknowledgedPuts() const { return m_putsAcked.load(std::memory_order_acquire); }
  uint64_t unacknowledgedBytes() const { return m_unackedBytes.load(std::memory_order_relaxed); }
  const std::string &selectExpr() const { return m_select; }
  const std::string &rejectExpr() const { return m_reject; }

 private:
  // Connection management.
  bool connectAndGreet(std::string &err);
  bool reconnect();
  bool restoreSession();
  void lose(const std::string &why);
  bool waitForServer(Clock::time_point deadline, bool forever);
  // Input.
  int recvSome(int timeoutMs);
  bool frameAt(size_t off, tarnwire::FrameHeader &h) const;
  void handleAcksInPlace();
  void applyAck(uint64_t puts);
  void onSkipped(const char *body, size_t len);
  bool awaitAnswer(tarnwire::Type want, tarnwire::Type want2, std::string &body, tarnwire::Type &got);
  void discardBufferedPackets();
  int takePacket(int *pktid, char *srcname, double *time, char **buf, int *nbytes, int *bufsize);
  void dropInputHead(size_t n);
  // Output.
  bool sendRaw(const char *p, size_t n);
  bool sendUnsent();
  bool request(const std::vector<char> &frame, tarnwire::Type want, std::string &answer);
  uint64_t unackedBytes() const { return m_outBase + m_out.size() - m_ackedAbs; }
  // 0 with room in the window, kPutWindowFull after `seconds` (not
  // negative) without, -3 when stopping and the server takes nothing.
  int waitForWindow(double seconds);
  void noteUnacked() { m_unackedBytes.store(unackedBytes(), std::memory_order_relaxed); }

  // Set at construction, never changed.
  const std::string m_name;
  const TarnAddress m_addr;
  std::string m_address;  // set once, by open(), before the descriptor is shared

  std::mutex m_mutex;  // guards everything below
  int m_sock = -1;
  bool m_everConnected = false;
  uint64_t m_instance = 0;
  uint32_t m_maxPacket = 0;
  uint64_t m_welcomeInstance = 0;  // from the latest welcome
  int32_t m_welcomeNext = 0;
  // Recovery state.
  Clock::time_point m_lostAt{};
  Clock::time_point m_nextAttempt{};
  double m_backoff = 0.0;
  bool m_lossReported = false;
  // Expressions in force (restored on reconnection).
  std::string m_select, m_reject;
  // Position: the id the next reap starts from, and the last packet delivered.
  int32_t m_cursor = 0;
  bool m_reading = false;  // the descriptor has positioned or reaped
  bool m_streaming = false;
  bool m_hasLast = false;
  int32_t m_lastId = -1;
  double m_lastTime = 0.0;
  // Input buffer: unread bytes are m_in[m_inHead, m_inLen); acks up to
  // m_scan have been applied in place (their type byte set to 0).
  std::vector<char> m_in;
  size_t m_inHead = 0, m_inLen = 0, m_scan = 0;
  // Output: put frames from absolute offset m_outBase on; acknowledged up
  // to m_ackedAbs, sent up to m_sentAbs; m_putEnds holds the end offset of
  // every unacknowledged put.
  std::vector<char> m_out;
  uint64_t m_outBase = 0, m_ackedAbs = 0, m_sentAbs = 0;
  std::deque<uint64_t> m_putEnds;
  uint64_t m_connAcked = 0;  // the server's ack count on this connection
  Clock::time_point m_lastSend{};
  int m_putsSinceClock = 0;
  Clock::time_point m_unsentSince{};
  std::atomic<bool> m_unsent{false};  // read by the flusher without the lock
  // Put numbers, written under the lock and read without it.
  std::atomic<uint64_t> m_putsAccepted{0};
  std::atomic<uint64_t> m_putsAcked{0};
  std::atomic<uint64_t> m_unackedBytes{0};
};

// The unacknowledged bytes a descriptor keeps before a put waits.
uint64_t windowBytesLimit();

// Once the program is stopping, how long a wait may go without progress.
constexpr double kStopStallSeconds = 3.0;

// A wait's progress: gives up once the program is stopping and nothing has
// moved for kStopStallSeconds.
class StopStall {
 public:
  void progress() { m_since = TarnConnection::Clock::now(); }
  bool givesUp() const;

 private:
  TarnConnection::Clock::time_point m_since = TarnConnection::Clock::now();
};

}  // namespace tarnclient
