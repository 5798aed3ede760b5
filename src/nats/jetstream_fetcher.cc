#include "nats/jetstream_fetcher.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "base/relay_log.h"
#include "base/relay_times.h"
#include "nats/jetstream_names.h"
#include "nats/nats_link.h"

namespace {

constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 5.0;
constexpr int64_t kAckTimeoutMs = 5000;
constexpr int64_t kNanoseconds = 1000000000;
constexpr auto kWatchEvery = std::chrono::seconds(1);  // a look at the stream while fetching
constexpr int64_t kWatchWaitMs = 1000;                 // how long the reader waits for one

std::string header(natsMsg *msg, const char *key) {
  const char *value = nullptr;
  if (natsMsgHeader_Get(msg, key, &value) != NATS_OK || !value) return "";
  return value;
}

// "messages 12001–20000", or "message 7".
std::string rangeText(uint64_t from, uint64_t to) {
  return from == to ? "message " + std::to_string(from)
                    : "messages " + std::to_string(from) + "\u2013" + std::to_string(to);
}

}  // namespace

JetStreamFetcher::JetStreamFetcher(JetStreamEndpoint endpoint, std::string consumer,
                                   std::string clientName, std::string owner, RelayLog &log)
    : m_endpoint(std::move(endpoint)),
      m_consumer(std::move(consumer)),
      m_clientName(std::move(clientName)),
      m_owner(std::move(owner)),
      m_log(log) {}

JetStreamFetcher::~JetStreamFetcher() {
  releaseFetched();
  closeLink();
}

void JetStreamFetcher::releaseFetched() {
  for (natsMsg *msg : m_fetched) natsMsg_Destroy(msg);
  m_fetched.clear();
}

void JetStreamFetcher::closeLink() {
  if (m_sub) natsSubscription_Destroy(m_sub);
  m_sub = nullptr;
  if (m_js) jsCtx_Destroy(m_js);
  m_js = nullptr;
  m_link.reset();
}

std::string JetStreamFetcher::connect(double seconds) {
  closeLink();
  m_link = std::make_unique<NatsLink>(m_endpoint.urls, m_clientName);
  std::string why = m_link->connect(seconds);
  if (why.empty()) {
    natsStatus s = natsConnection_JetStream(&m_js, m_link->connection(), nullptr);
    if (s != NATS_OK) why = NatsLink::statusText(s);
  }
  if (why.empty()) why = streamLastSequence();
  if (!why.empty()) closeLink();
  return why;
}

std::string JetStreamFetcher::streamLastSequence() {
  jsStreamInfo *info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, m_js, m_endpoint.stream.c_str(), nullptr, &code);
  if (s == NATS_NOT_FOUND) return "no stream '" + m_endpoint.stream + "'";
  if (s != NATS_OK) return "JetStream does not answer: " + NatsLink::statusText(s);
  m_lastSequence = info->State.LastSeq;
  m_streamMade = info->Created;
  if (m_readingStreamMade == 0) m_readingStreamMade = m_streamMade;
  if (m_streamMade == m_readingStreamMade) m_readingLast = std::max(m_readingLast, m_lastSequence);
  jsStreamInfo_Destroy(info);
  return "";
}

// While fetching, about once a second: is the stream still the one being
// read, and the consumer still there? Either gone makes the fetcher mend.
// A look that fails for another reason is left to the fetch to notice.
void JetStreamFetcher::watchStream() {
  if (m_resync || !m_js || Clock::now() < m_watchAt) return;
  m_watchAt = Clock::now() + kWatchEvery;
  const std::string &stream = m_endpoint.stream;
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = kWatchWaitMs;
  jsStreamInfo *info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, m_js, stream.c_str(), &options, &code);
  if (s == NATS_NOT_FOUND) {
    trouble("stream '" + stream + "' is gone", false);
    return;
  }
  if (s != NATS_OK) return;
  bool sameStream = info->Created == m_readingStreamMade;
  if (sameStream) m_readingLast = std::max(m_readingLast, info->State.LastSeq);
  jsStreamInfo_Destroy(info);
  if (!sameStream) {
    trouble("stream '" + stream + "' was deleted and made again", false);
    return;
  }
  jsConsumerInfo *consumer = nullptr;
  s = js_GetConsumerInfo(&consumer, m_js, stream.c_str(), m_consumer.c_str(), &options, &code);
  if (s == NATS_OK) jsConsumerInfo_Destroy(consumer);
  if (s == NATS_NOT_FOUND) trouble("durable consumer '" + m_consumer + "' is gone", false);
}

// The stream being read was replaced by one made at another time: what the
// old one held after the last message read can no longer be read.
void JetStreamFetcher::sayStreamMadeAnew() {
  uint64_t from = m_highest > 0 ? m_highest + 1 : std::max<uint64_t>(1, m_firstSequence);
  std::string gone;
  if (m_readingLast >= from) {
    gone = rangeText(from, m_readingLast) + " of the old stream" +
           (from == m_readingLast ? " is" : " are") + " gone (" +
           std::to_string(m_readingLast - from + 1) +
           " never read; the old stream was last seen ending at " + std::to_string(m_readingLast) +
           ")";
  } else {
    gone = "the old stream was read to its end as last seen (stream sequence " +
           std::to_string(from - 1) + "); anything it took after that is gone";
  }
  m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() +
                      "': the stream was made anew: " + gone +
                      "; reading the new stream from its first message");
}

void JetStreamFetcher::sayGap(uint64_t from, uint64_t to) {
  m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() + "': stream " +
                      rangeText(from, to) + " (" + std::to_string(to - from + 1) +
                      (from == to ? ") is" : ") are") +
                      " no longer in the stream and never read; reading on from stream sequence " +
                      std::to_string(to + 1));
}

std::string JetStreamFetcher::open(double seconds, double starttime) {
  std::string why = connect(seconds);
  if (why.empty()) why = placeConsumer(starttime);
  if (why.empty()) why = subscribe();
  if (!why.empty()) closeLink();
  return why;
}

// Finds where the consumer is to deliver from (see the header) and makes it
// deliver from there.
std::string JetStreamFetcher::placeConsumer(double starttime) {
  jsConsumerInfo *info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetConsumerInfo(&info, m_js, m_endpoint.stream.c_str(), m_consumer.c_str(),
                                    nullptr, &code);
  Start start;
  if (s == NATS_OK) {
    uint64_t floor = info->AckFloor.Stream;
    if (floor > 0) {
      start = {js_DeliverByStartSequence, floor + 1, 0};
      m_placement = "durable consumer '" + m_consumer +
                    "' after its acknowledged stream sequence " + std::to_string(floor);
    } else {
      start = {info->Config->DeliverPolicy, info->Config->OptStartSeq, info->Config->OptStartTime};
      m_placement =
          "durable consumer '" + m_consumer + "' where it first started (nothing acknowledged yet)";
    }
    jsConsumerInfo_Destroy(info);
    js_DeleteConsumer(m_js, m_endpoint.stream.c_str(), m_consumer.c_str(), nullptr, &code);
  } else if (s == NATS_NOT_FOUND) {
    if (starttime != TIME_UNSET) {
      start = {js_DeliverByStartTime, 0, static_cast<int64_t>(starttime * kNanoseconds)};
      m_placement = "new durable consumer '" + m_consumer + "' from the start time";
    } else if (m_lastSequence > 0) {
      start = {js_DeliverByStartSequence, m_lastSequence, 0};
      m_placement = "new durable consumer '" + m_consumer + "' from the stream's newest message";
    } else {
      start = {js_DeliverAll, 0, 0};
      m_placement = "new durable consumer '" + m_consumer + "' from the first message to arrive";
    }
  } else {
    return "cannot look up durable consumer '" + m_consumer + "': " + NatsLink::statusText(s);
  }
  return makeConsumer(start);
}

std::string JetStreamFetcher::makeConsumer(const Start &start) {
  jsConsumerConfig config;
  jsConsumerConfig_Init(&config);
  config.Durable = m_consumer.c_str();
  config.AckPolicy = js_AckAll;
  config.AckWait = static_cast<int64_t>(kAckWaitSeconds) * kNanoseconds;
  config.MaxAckPending = kMaxAckPending;
  config.DeliverPolicy = static_cast<jsDeliverPolicy>(start.policy);
  config.OptStartSeq = start.sequence;
  config.OptStartTime = start.timeNs;
  jsConsumerInfo *info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_AddConsumer(&info, m_js, m_endpoint.stream.c_str(), &config, nullptr, &code);
  if (s != NATS_OK)
    return "cannot make durable consumer '" + m_consumer + "': " + NatsLink::statusText(s);
  m_firstSequence = info->Delivered.Stream + 1;
  jsConsumerInfo_Destroy(info);
  m_start = start;
  m_lastDelivery = 0;
  return "";
}

std::string JetStreamFetcher::subscribe() {
  if (m_sub) natsSubscription_Destroy(m_sub);
  m_sub = nullptr;
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = m_endpoint.stream.c_str();
  options.Consumer = m_consumer.c_str();
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_PullSubscribe(&m_sub, m_js, "", m_consumer.c_str(), nullptr, &options, &code);
  if (s == NATS_OK) return "";
  m_sub = nullptr;
  return "cannot read through durable consumer '" + m_consumer + "': " + NatsLink::statusText(s);
}

void JetStreamFetcher::fetch(double seconds, std::vector<Delivery> &out) {
  releaseFetched();
  out.clear();
  if (m_link && !m_link->up()) trouble(m_link->lossReason(), true);
  if (!mend()) {
    // Waiting for the next connection attempt, or for what is held to be
    // done: the reader comes back within `seconds`.
    double wait = m_link ? 0.05 : std::chrono::duration<double>(m_retryAt - Clock::now()).count();
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::clamp(wait, 0.01, std::max(0.01, seconds))));
    return;
  }
  acknowledgeDone();
  // Acknowledging may have found the connection lost, and closed it.
  if (!m_link || !m_sub) return;
  natsMsgList list;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = natsSubscription_Fetch(
      &list, m_sub, kBatch, std::max<int64_t>(1, static_cast<int64_t>(seconds * 1000)), &code);
  if (s == NATS_TIMEOUT) {
    watchStream();
    return;
  }
  if (s != NATS_OK) {
    trouble("fetching failed: " + NatsLink::statusText(s), !m_link || !m_link->up());
    return;
  }
  for (int i = 0; i < list.Count; ++i) {
    take(list.Msgs[i], out);
    list.Msgs[i] = nullptr;
  }
  natsMsgList_Destroy(&list);
  watchStream();
  if (m_lossReported && !out.empty()) {
    double lost = std::chrono::duration<double>(Clock::now() - m_lostAt).count();
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", lost);
    m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() +
                        "' delivers again after " + text + " s, from stream sequence " +
                        std::to_string(out.front().sequence));
    m_lossReported = false;
    m_backoff = 0;
  }
}

// One fetched message: handed on, passed over (delivered again), or the
// sign of a missed delivery.
void JetStreamFetcher::take(natsMsg *msg, std::vector<Delivery> &out) {
  jsMsgMetaData *meta = nullptr;
  if (m_resync || natsMsg_GetMetaData(&meta, msg) != NATS_OK) {
    natsMsg_Destroy(msg);
    return;
  }
  uint64_t sequence = meta->Sequence.Stream;
  uint64_t delivery = meta->Sequence.Consumer;
  jsMsgMetaData_Destroy(meta);
  if (delivery != m_lastDelivery + 1) {
    natsMsg_Destroy(msg);
    trouble("delivery " + std::to_string(m_lastDelivery + 1) + " of durable consumer '" +
                m_consumer + "' never arrived",
            false);
    return;
  }
  m_lastDelivery = delivery;
  if (sequence <= m_highest) {  // delivered again: still held, or acknowledged
    natsMsg_Destroy(msg);
    return;
  }
  // The consumer reads every subject of the stream, so its numbers follow
  // on unless messages were removed before they were read.
  uint64_t expected = m_highest > 0                                 ? m_highest + 1
                      : m_start.policy == js_DeliverByStartSequence ? m_start.sequence
                                                                    : 0;
  if (expected > 0 && sequence > expected) sayGap(expected, sequence - 1);
  m_highest = sequence;
  const char *reply = natsMsg_GetReply(msg);
  m_held.emplace_back(sequence, std::string(reply ? reply : ""));
  ReadRecord &record = m_held.back().record;
  record.hold();
  Delivery d;
  d.sequence = sequence;
  d.record = &record;
  d.data = natsMsg_GetData(msg);
  d.length = natsMsg_GetDataLength(msg);
  std::string srcname = header(msg, "Tarn-Srcname"), time = header(msg, "Tarn-Time");
  if (srcname.empty() || time.empty()) {
    d.problem = "it has no Tarn-Srcname or Tarn-Time header";
  } else if (!jetstream::srcnameFromHeader(srcname, d.srcname) || d.srcname.size() > 63) {
    d.problem = "its Tarn-Srcname '" + srcname + "' is not a source name";
  } else if (!jetstream::timeFromHeader(time, d.time)) {
    d.problem = "its Tarn-Time '" + time + "' is not a time";
  }
  m_fetched.push_back(msg);
  out.push_back(std::move(d));
}

size_t JetStreamFetcher::pending() const {
  size_t n = 0;
  for (const Held &h : m_held) n += !h.record.isDone();
  return n;
}

void JetStreamFetcher::forgetAfter(uint64_t sequence) {
  while (!m_held.empty() && m_held.back().sequence > sequence) m_held.pop_back();
}

void JetStreamFetcher::acknowledgeDone() {
  if (m_link && !m_link->up()) trouble(m_link->lossReason(), true);
  if (!m_link && !mendLink()) return;
  size_t done = 0;
  while (done < m_held.size() && m_held[done].record.isDone()) ++done;
  if (done == 0) return;
  const Held &last = m_held[done - 1];
  natsMsg *answer = nullptr;
  natsStatus s = natsConnection_RequestString(&answer, m_link->connection(), last.reply.c_str(),
                                              "+ACK", kAckTimeoutMs);
  natsMsg_Destroy(answer);
  if (s != NATS_OK) {
    trouble("acknowledging failed: " + NatsLink::statusText(s), !m_link->up());
    return;
  }
  m_start = {js_DeliverByStartSequence, last.sequence + 1, 0};
  for (size_t i = 0; i < done; ++i) m_held.pop_front();
}

// Something may have been missed: stop fetching until what was handed on is
// done and acknowledged, then remake the consumer (mend()).
void JetStreamFetcher::trouble(const std::string &why, bool connectionLost) {
  if (!m_lossReported) {
    m_lossReported = true;
    m_lostAt = Clock::now();
    m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() + "': " + why +
                        "; reading again after the last acknowledged message once the " +
                        std::to_string(m_held.size()) + " handed on are done");
  }
  m_resync = true;
  if (connectionLost) {
    closeLink();
    m_retryAt = Clock::now();
  }
}

// Brings back the connection and, once nothing is held, the consumer; true
// when fetching may go on.
bool JetStreamFetcher::mend() {
  if (!m_link && !mendLink()) return false;
  if (!m_resync) return true;
  acknowledgeDone();
  if (!m_link || pending() > 0) return false;
  // Everything handed on is done. What could not be acknowledged (the
  // server restarted, the consumer is gone) needs no acknowledgement: the
  // consumer made anew starts after it.
  if (!m_held.empty()) {
    m_start = {js_DeliverByStartSequence, m_held.back().sequence + 1, 0};
    m_held.clear();
  }
  // The stream's last sequence number as it is now: the one seen when the
  // connection was made may be from before anything was read.
  std::string why = streamLastSequence();
  if (why.empty()) {
    if (m_streamMade != m_readingStreamMade) {
      // The stream was deleted and made again meanwhile: its numbers start
      // over, and the consumer went with the old one.
      sayStreamMadeAnew();
      m_readingStreamMade = m_streamMade;
      m_readingLast = m_lastSequence;
      m_highest = 0;
      m_start = {js_DeliverAll, 0, 0};
    }
    if (m_sub) natsSubscription_Destroy(m_sub);
    m_sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    js_DeleteConsumer(m_js, m_endpoint.stream.c_str(), m_consumer.c_str(), nullptr, &code);
    why = makeConsumer(m_start);
  }
  if (why.empty()) why = subscribe();
  if (!why.empty()) {
    trouble(why, true);
    m_backoff = std::min(kMaxBackoff, std::max(kFirstBackoff, m_backoff * 2));
    m_retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_backoff));
    return false;
  }
  m_resync = false;
  return true;
}

// A new connection once the back-off allows; true when there is one.
bool JetStreamFetcher::mendLink() {
  {
    if (Clock::now() < m_retryAt) return false;
    std::string why = connect(std::max(1.0, m_backoff));
    if (!why.empty()) {
      if (why != m_lastFailure)
        m_log.elog_complain(m_owner + ": cannot reach JetStream '" + m_endpoint.description() +
                            "': " + why);
      m_lastFailure = why;
      m_backoff = std::min(kMaxBackoff, std::max(kFirstBackoff, m_backoff * 2));
      m_retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(m_backoff));
      return false;
    }
    m_lastFailure.clear();
    m_reconnections.fetch_add(1);
  }
  return true;
}
