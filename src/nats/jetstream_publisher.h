// JetStreamPublisher: a writer's publishing onto one JetStream stream,
// asynchronous, with a bounded window.
//
// publish() turns a packet into one message (jetstream_names.h) and sends it
// without waiting: at most kWindowPackets messages, and kWindowBytes bytes,
// wait for JetStream's acknowledgement at a time. A packet counts as written
// (its read record is released, so that read positions may pass it) only
// once JetStream acknowledged it; a duplicate that its window dropped counts
// too, since JetStream stored it before.
//
// Failures: a message not acknowledged within kAckWaitSeconds, one that
// JetStream refuses, or a lost connection closes the connection. The
// publisher then connects anew (after 0.1 s, doubling up to 5 s) and sends
// every message not yet acknowledged again, in the order in which it was
// first published, before any new one: what JetStream had stored already is
// dropped by its duplicate window, so the order of the packets of a source
// is kept. A packet JetStream can never take (larger than the server or the
// stream allows) is dropped, done, and reported. The loss and the recovery
// are each reported once.
//
// On the wire: each message carries the reply subject INBOX.N, N its number
// in the window, and the publisher reads JetStream's answers from its own
// subscription to INBOX.* on the same connection, so an answer finds its
// message by that number, answers may come in any order, and nothing is
// looked up or allocated per message but the library's message itself.
// Messages go out one after the other without waiting, as many as the
// window takes; the library writes what they queued in large writes.
//
// Thread-safety: one writer thread calls every member but linkLost() and
// reconnections(). The answers wait in the library until that thread takes
// them (service(), and while it waits for room or for the last answers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nats/jetstream_endpoint.h"
#include "nats/publish_window.h"

#include <nats/nats.h>

class NatsLink;
class RelayLog;
class TarnPacket;

class JetStreamPublisher {
 public:
  static constexpr size_t kWindowPackets = 1024;
  static constexpr size_t kWindowBytes = 8 << 20;
  static constexpr double kAckWaitSeconds = 10;

  // `clientName` names the connection on the server; `owner` starts the
  // lines it writes to `log` ("RelayConnection 'NAME'").
  JetStreamPublisher(JetStreamEndpoint endpoint, std::string clientName, std::string owner,
                     RelayLog &log);
  ~JetStreamPublisher();
  JetStreamPublisher(const JetStreamPublisher &) = delete;
  JetStreamPublisher &operator=(const JetStreamPublisher &) = delete;

  // Connects and checks the stream (creating it when the endpoint says so),
  // waiting at most `seconds` for the server; "" when ready, else why not.
  std::string open(double seconds);

  enum class Result {
    kSent,     // in the window
    kNoRoom,   // the window stayed full (or the connection lost) that long
    kDropped,  // JetStream can never take it; `why` says why; it is done
  };
  // Sends one packet, waiting at most `seconds` for room.
  Result publish(const std::shared_ptr<TarnPacket> &packet, double seconds, std::string &why);
  // Takes in acknowledgements; after a failure connects anew and sends again
  // what waits, when its back-off allows. Call it often.
  void service();
  // Services until nothing waits for an acknowledgement or `seconds` passed,
  // or, with `giveUpAfter` not negative, that long without a new
  // acknowledgement. True when nothing waits.
  bool awaitAll(double seconds, double giveUpAfter = -1);

  // Where a packet JetStream can never take is told, with why, before it is
  // done; without it such a packet is logged.
  void onDrop(std::function<void(TarnPacket &, const std::string &why)> report) {
    m_onDrop = std::move(report);
  }

  // Where each packet JetStream acknowledged is told, before it is done.
  void onStored(std::function<void(TarnPacket &)> report) { m_onStored = std::move(report); }

  // Whether the connection was lost and is not made again yet; any thread
  // may ask.
  bool linkLost() const { return m_down.load(); }
  // How often a lost connection was made again so far; any thread.
  uint64_t reconnections() const { return m_reconnections.load(); }

  // Messages not yet acknowledged, and of them those carrying relayed
  // packets (the rest are the relay's own log and status packets).
  size_t waiting() const { return m_window.waiting(); }
  size_t relayedWaiting() const { return m_window.relayedWaiting(); }
  // Acknowledgements taken in so far (progress, for callers that wait).
  uint64_t acknowledged() const { return m_window.acknowledged(); }

 private:
  using Clock = std::chrono::steady_clock;
  std::string connectAndCheck(double seconds);
  std::string subscribeToAnswers();
  std::string checkStream();
  void closeLink();
  void fail(std::string why);
  void lose(const std::string &why);
  void reconnect();
  bool send(uint64_t id, const TarnPacket &packet);
  void describe(const TarnPacket &packet);
  std::string tooLarge(const TarnPacket &packet) const;
  void takeAnswers(double waitSeconds);
  void answer(natsMsg *msg);
  void wait(Clock::time_point deadline);
  void settle();

  const JetStreamEndpoint m_endpoint;
  const std::string m_clientName;
  const std::string m_owner;
  RelayLog &m_log;
  std::function<void(TarnPacket &, const std::string &)> m_onDrop;
  std::function<void(TarnPacket &)> m_onStored;
  std::atomic<bool> m_down{false};  // lost, not connected again yet
  std::atomic<uint64_t> m_reconnections{0};

  // ---- The writer thread's own ----
  PublishWindow m_window{kWindowPackets, kWindowBytes};
  std::unique_ptr<NatsLink> m_link;
  jsCtx *m_js = nullptr;
  natsSubscription *m_answers = nullptr;  // INBOX.* on m_link
  std::string m_replyPrefix;              // "INBOX."
  uint64_t m_answersTaken = 0;
  std::vector<PublishWindow::Entry> m_finished;  // settle()'s, between its calls empty
  std::string m_failure;  // why the current connection failed; "" while it works
  // The names of the last packet's source, kept while the next packets
  // come from the same source, and its time as text.
  std::string m_srcname;
  std::string m_subject;
  std::string m_token;
  std::string m_srcnameHeader;
  char m_timeText[32] = "";
  bool m_working = false;  // acknowledged since the last loss was reported
  bool m_lossReported = false;
  Clock::time_point m_lostAt;
  Clock::time_point m_retryAt;
  double m_backoff = 0;
  std::string m_lastConnectFailure;
};
