// One descriptor's connection to a tarn server: the socket, and the parts
// that keep what the descriptor must remember to mend a lost connection:
//
//   FrameInput (frame_input.h)      the bytes received, taken out as frames
//   PutsInFlight (puts_in_flight.h) the window of unacknowledged puts
//   ReaderSession, ReconnectSchedule (reconnection.h)
//                                   expressions and position to restore, and
//                                   when to try a lost server again
//
// Each part knows nothing of sockets; this class moves bytes between them
// and the server.
//
// Reading: after a start request the server streams delivered packets;
// reap() takes them out of the input. A positioning or expression request
// stops the stream; frames that arrive before its answer are discarded, and
// the next reap restarts the stream at the descriptor's own position, so
// read-ahead never changes what the caller sees.
//
// Putting: put() adds the frame to the window, which keeps every frame until
// the server acknowledges it, and sends at once when the connection was idle
// a while or the batch is large; flushPending() sends what is left waiting
// (the library's flusher thread calls it). After a reconnection the
// unacknowledged frames are sent again.
//
// Stopping: once the program's stop flag is set, a wait that makes no
// progress (nothing sent, nothing acknowledged, no answer) for
// kStopStallSeconds gives up, so that no wait holds up a stop for long.
//
// Thread-safety: every method except the constructor and the ones marked
// "read without the lock" expects the caller to hold mutex(); the registry
// (tarnclient.cc) takes it around each call.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/tarnclient/frame_input.h"
#include "platform/tarnclient/puts_in_flight.h"
#include "platform/tarnclient/reconnection.h"
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
  int tell() const { return m_session.cursor; }
  int reap(double timeout, bool forever, int *pktid, char *srcname, double *time, char **buf,
           int *nbytes, int *bufsize);
  // Takes a packet (*number: its put number) and returns 0; or returns -1
  // (bad packet), -3 (stopping while the server is away or does not take
  // it), or kPutWindowFull when `windowWait` is not negative and the window
  // of unacknowledged puts stayed full that many seconds.
  // With `identity`, the put says which packet it is when the server takes
  // identified puts (its welcome says so), and goes as a plain put otherwise.
  int put(const char *srcname, double time, const char *bytes, int nbytes, double windowWait,
          uint64_t *number, const PutIdentity *identity = nullptr);
  // Sends everything and waits for acknowledgement of every put until
  // `deadline`; true when none is left outstanding.
  bool drain(Clock::time_point deadline);
  // Waits until put `number` is acknowledged: 0; -2 at `deadline`; -3 when
  // stopping and the server does not answer.
  int awaitAcknowledged(uint64_t number, Clock::time_point deadline);
  // Sends what waits and takes in the acknowledgements that have arrived,
  // without waiting; a lost connection is tried again when its next attempt
  // is due, so that an idle writer notices that its server is back.
  void collectAcknowledgements();
  // For the flusher thread: sends puts left waiting since `olderThan`.
  void flushPending(Clock::time_point olderThan);
  bool stat(RingFigures &out);
  // The server's clients; out.served false (and true returned) when the
  // server does not list them.
  bool clients(ClientList &out);
  // The largest packet the server takes, from its latest welcome; 0 before
  // the first.
  uint32_t maxPacket() const { return m_session.latestWelcome().maxPacket; }
  uint64_t ringInstance() const { return m_session.latestWelcome().instance; }
  // The puts the server refused since the last call.
  std::vector<RefusedPut> takeRefused() { return std::exchange(m_refused, {}); }
  bool hasRefused() const { return !m_refused.empty(); }
  // The caller says the refused puts it takes itself: those kept for
  // takeRefused are not logged here.
  void callerSaysRefusals() { m_callerSaysRefusals = true; }

  const std::string &name() const { return m_name; }
  // The server's address as first connected; set once by open().
  const std::string &address() const { return m_address; }
  const std::string &selectExpr() const { return m_session.select; }
  const std::string &rejectExpr() const { return m_session.reject; }

  // Read without the lock.
  bool hasUnsent() const { return m_unsent.load(std::memory_order_relaxed); }
  uint64_t acceptedPuts() const { return m_puts.accepted(); }
  uint64_t acknowledgedPuts() const { return m_puts.acknowledged(); }
  uint64_t unacknowledgedBytes() const { return m_puts.unackedBytes(); }
  uint64_t reconnectFailures() const { return m_schedule.failures(); }
  bool linkLost() const { return m_schedule.down(); }
  uint64_t reconnections() const { return m_schedule.recoveries(); }

 private:
  static constexpr int kWaitSliceMs = 100;  // how often a wait looks at the stop flag
  struct SendWait;
  // Where a reap delivers its packet.
  struct ReapTarget {
    int *pktid;
    char *srcname;
    double *time;
    char **buf;
    int *nbytes;
    int *bufsize;
  };

  static int msUntil(Clock::time_point t);

  // Connection management (tarn_connection.cc).
  bool connectAndGreet(std::string &err);
  bool reconnect();
  bool restoreSession();
  void lose(const std::string &why);
  bool waitForServer(Clock::time_point deadline, bool forever);
  // Input.
  int recvSome(int timeoutMs);
  void takeAcks();
  void applyAck(std::string_view body);
  void onSkipped(std::string_view body);
  void onError(std::string_view body, const char *what);
  // Whether the first unacknowledged put is larger than the server takes.
  bool firstPutTooLarge() const;
  void closedByServer();
  bool awaitAnswer(tarnwire::Type want, tarnwire::Type want2, std::string &body,
                   tarnwire::Type &got);
  int answerInInput(tarnwire::Type want, tarnwire::Type want2, std::string &body,
                    tarnwire::Type &got);
  // Output.
  ssize_t sendStep(std::string_view bytes);
  bool waitToSend(SendWait &wait);
  bool sendRaw(std::string_view bytes);
  bool sendFrame(const std::vector<char> &frame) {
    return sendRaw(std::string_view(frame.data(), frame.size()));
  }
  bool sendUnsent();
  bool request(const std::vector<char> &frame, tarnwire::Type want, std::string &answer);

  // Reading (tarn_connection_reads.cc).
  void discardBufferedPackets();
  bool startStream();
  int takePacket(const ReapTarget &to);
  int deliver(std::string_view body, const ReapTarget &to);

  // Putting (tarn_connection_puts.cc).
  // 0 with room in the window, kPutWindowFull after `seconds` (not
  // negative) without, -3 when stopping and the server takes nothing.
  int waitForWindow(double seconds);
  void sendNowOrLater(bool wasIdle);
  // Sends what waits and takes in what arrives within `waitMs`; false
  // (the connection lost) when either failed.
  bool exchange(int waitMs);

  // Set at construction, never changed.
  const std::string m_name;
  const TarnAddress m_addr;
  std::string m_address;  // set once, by open(), before the descriptor is shared

  std::mutex m_mutex;  // guards everything below
  int m_sock = -1;
  bool m_welcomedHere = false;  // this socket's hello was answered
  std::vector<RefusedPut> m_refused;
  bool m_callerSaysRefusals = false;
  std::string m_lastRefusal;      // of the reconnections since the last success
  bool m_quietLoss = false;       // the coming loss is a refused put's, said already
  bool m_restoreQuietly = false;  // so is its reconnection, unless it fails
  bool m_streaming = false;       // the server streams: a start went out since the last request
  ReaderSession m_session;
  ReconnectSchedule m_schedule;
  FrameInput m_input;
  PutsInFlight m_puts;
  // When puts go out: the last send, a count that spaces out reading the
  // clock, and since when puts wait for the flusher.
  Clock::time_point m_lastSend{};
  int m_putsSinceClock = 0;
  Clock::time_point m_unsentSince{};
  std::atomic<bool> m_unsent{false};  // read by the flusher without the lock
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
