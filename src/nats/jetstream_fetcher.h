// JetStreamFetcher: a reader's durable consumer on one JetStream stream.
//
// The consumer is named after the reader connection and keeps its place:
// the reader acknowledges a message only once the packet it became is done
// (every writer's server acknowledged it, or the reader's filters left it
// out), so the consumer's acknowledged floor covers only packets that are
// done, as a statefile position does for a tarn reader. The consumer
// acknowledges all messages up to the one acknowledged (its ack policy is
// "all"): one acknowledgement settles every done message before it.
//
// Where reading starts: a consumer that exists delivers again from just
// after its acknowledged floor (what it had delivered but not seen
// acknowledged comes again at once, not after its ack wait); a new one
// starts at the start time, or without one with the stream's newest message.
//
// Nothing is skipped: every delivery carries the consumer's delivery number,
// and a number missed (a delivery lost with a connection), a lost
// connection, or a consumer that vanished makes the fetcher stop fetching,
// wait until every message it has handed on is done and acknowledged, and
// then make the consumer deliver again from just after the last one. A
// message delivered again that the reader still holds is passed over. What
// is done but could not be acknowledged (the server restarted, the consumer
// is gone) needs no acknowledgement: the consumer made anew starts after it.
// The consumer vanishing with its stream is noticed by the fetch failing, or
// by the look at the stream made about once a second while fetching (it is
// gone, or was made at another time). A stream made anew is read from its
// first message, once what is held is done; what the old stream held after
// the last message read (as far as the last look saw) is said to be gone,
// by its sequence numbers and count. Numbers skipped within one stream
// (messages removed before they were read) are said the same way.
//
// Thread-safety: one reader thread calls every member; the records it hands
// out are released by any thread (ReadRecord).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "nats/jetstream_endpoint.h"
#include "platform/statefile/read_position.h"

#include <nats/nats.h>

class NatsLink;
class RelayLog;

// One message handed to a reader. `problem` says why it cannot be a packet
// (no Tarn headers, say); otherwise srcname and time are set. The record is
// held once for the reader, who releases it when done with it (at once for a
// message it leaves out). The data stays valid until the next fetch().
struct JetStreamDelivery {
  uint64_t sequence = 0;
  std::string srcname;
  double time = 0;
  std::string problem;
  const char *data = nullptr;
  int length = 0;
  ReadRecord *record = nullptr;
};

class JetStreamFetcher {
 public:
  static constexpr int kBatch = 256;
  static constexpr double kAckWaitSeconds = 120;
  static constexpr int kMaxAckPending = 65536;

  // `consumer` names the durable consumer; `owner` starts the lines it
  // writes to `log`.
  JetStreamFetcher(JetStreamEndpoint endpoint, std::string consumer, std::string clientName,
                   std::string owner, RelayLog &log);
  ~JetStreamFetcher();
  JetStreamFetcher(const JetStreamFetcher &) = delete;
  JetStreamFetcher &operator=(const JetStreamFetcher &) = delete;

  // Connects, checks the stream and sets the consumer up as above (a start
  // time of TIME_UNSET: none), waiting at most `seconds` for the server; ""
  // when reading can begin, else why not.
  std::string open(double seconds, double starttime);
  // What open() found: the stream's last sequence number (0: empty), the
  // sequence number the consumer delivers first, and how it got there.
  uint64_t lastSequence() const { return m_lastSequence; }
  uint64_t firstSequence() const { return m_firstSequence; }
  const std::string &placement() const { return m_placement; }

  using Delivery = JetStreamDelivery;
  // Fetches up to kBatch messages, waiting at most `seconds`, into `out`
  // (cleared first); acknowledges what is done first. Mends the connection
  // and the consumer as above when needed, without blocking for longer than
  // a connection attempt.
  void fetch(double seconds, std::vector<Delivery> &out);
  // Acknowledges the done messages at the front of those handed on (first
  // connecting anew, when the connection was lost and its back-off allows).
  void acknowledgeDone();
  // Messages handed on and not yet acknowledged; of them, those not done.
  size_t held() const { return m_held.size(); }
  size_t pending() const;
  // How often a lost connection was made again so far; any thread.
  uint64_t reconnections() const { return m_reconnections.load(); }
  // Forgets the messages handed on after `sequence`, which the reader never
  // looked at (it stopped before them): they stay unacknowledged, and are
  // delivered again when reading starts again.
  void forgetAfter(uint64_t sequence);

 private:
  using Clock = std::chrono::steady_clock;
  struct Held {
    uint64_t sequence;
    std::string reply;  // where an acknowledgement goes
    ReadRecord record;
  };
  struct Start {     // where a consumer made anew starts
    int policy = 0;  // jsDeliverPolicy
    uint64_t sequence = 0;
    int64_t timeNs = 0;
  };

  std::string connect(double seconds);
  std::string streamLastSequence();
  void watchStream();
  void sayStreamMadeAnew();
  void sayGap(uint64_t from, uint64_t to);
  std::string placeConsumer(double starttime);
  std::string makeConsumer(const Start &start);
  std::string subscribe();
  void closeLink();
  void trouble(const std::string &why, bool connectionLost);
  bool mend();
  bool mendLink();
  void take(natsMsg *msg, std::vector<Delivery> &out);
  void releaseFetched();

  const JetStreamEndpoint m_endpoint;
  const std::string m_consumer;
  const std::string m_clientName;
  const std::string m_owner;
  RelayLog &m_log;

  std::unique_ptr<NatsLink> m_link;
  jsCtx *m_js = nullptr;
  natsSubscription *m_sub = nullptr;
  std::vector<natsMsg *> m_fetched;  // the last batch, freed by the next fetch
  std::deque<Held> m_held;           // handed on, in delivery order
  uint64_t m_lastSequence = 0;
  uint64_t m_firstSequence = 0;
  std::string m_placement;
  Start m_start;                    // where the consumer resumes if made anew
  uint64_t m_lastDelivery = 0;      // the consumer's delivery number seen last
  uint64_t m_highest = 0;           // the highest stream sequence handed on
  int64_t m_streamMade = 0;         // when the stream was made, as last asked (ns since 1970)
  int64_t m_readingStreamMade = 0;  // the same for the stream m_highest belongs to
  uint64_t m_readingLast = 0;       // that stream's last sequence number, as last seen
  Clock::time_point m_watchAt;      // when the stream is looked at next while fetching
  bool m_resync = false;            // stop fetching until held() is 0, then remake the consumer
  bool m_lossReported = false;
  std::atomic<uint64_t> m_reconnections{0};  // lost connections made again
  Clock::time_point m_lostAt;
  Clock::time_point m_retryAt;
  double m_backoff = 0;
  std::string m_lastFailure;
};
