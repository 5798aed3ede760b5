#include "nats/jetstream_publisher.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <nats/nats.h>

#include "base/relay_log.h"
#include "nats/nats_link.h"
#include "tarn/tarn_packet.h"

namespace {

constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 5.0;
// What a message costs in the window beyond its bytes: subject and headers.
constexpr size_t kMessageOverhead = 256;
// JetStream's code for a message larger than the stream takes.
constexpr int kMessageTooLarge = 10054;

}  // namespace

// What the library's acknowledgement callbacks and the writer share.
struct JetStreamPublisher::Shared {
  struct Entry {
    std::shared_ptr<TarnPacket> packet;
    size_t bytes = 0;
    bool inFlight = false;  // the library holds its message
    bool done = false;      // acknowledged, or dropped
    std::string dropped;    // why JetStream cannot take it
  };

  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  uint64_t generation = 0;   // of the connection whose acknowledgements count
  std::deque<Entry> window;  // in publishing order; the first is number firstId
  uint64_t firstId = 0;
  size_t bytes = 0;                              // of the window's messages
  std::unordered_map<natsMsg *, uint64_t> sent;  // the library's messages -> their entry
  std::string failure;  // why the current connection failed; "" while it works
  uint64_t acknowledged = 0;

  Entry &entry(uint64_t id) { return window[id - firstId]; }
  bool full() const {
    return window.size() >= kWindowPackets || (!window.empty() && bytes >= kWindowBytes);
  }
};

namespace {

// The acknowledgement callback's closure: the shared state and the
// connection it was made for. Kept alive by that connection's link.
struct Generation {
  std::shared_ptr<JetStreamPublisher::Shared> shared;
  uint64_t number;
};

std::string refusal(const jsPubAckErr *pae) {
  std::string text = pae->ErrText ? pae->ErrText : natsStatus_GetText(pae->Err);
  if (pae->ErrCode) text += " (JetStream error " + std::to_string(pae->ErrCode) + ")";
  return text;
}

void onAcknowledgement(jsCtx *, natsMsg *msg, jsPubAck *pa, jsPubAckErr *pae, void *closure) {
  auto *generation = static_cast<Generation *>(closure);
  JetStreamPublisher::Shared &s = *generation->shared;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sent.find(msg);
    if (generation->number == s.generation && it != s.sent.end()) {
      JetStreamPublisher::Shared::Entry &e = s.entry(it->second);
      s.sent.erase(it);
      e.inFlight = false;
      if (pa) {
        e.done = true;
        ++s.acknowledged;
      } else if (pae && pae->ErrCode == kMessageTooLarge) {
        e.done = true;
        e.dropped = refusal(pae);
      } else if (s.failure.empty()) {
        s.failure = pae ? refusal(pae) : "no acknowledgement";
      }
      s.changed.notify_all();
    }
  }
  natsMsg_Destroy(msg);
}

}  // namespace

JetStreamPublisher::JetStreamPublisher(JetStreamEndpoint endpoint, std::string clientName,
                                       std::string owner, RelayLog &log)
    : m_endpoint(std::move(endpoint)),
      m_clientName(std::move(clientName)),
      m_owner(std::move(owner)),
      m_log(log),
      m_shared(std::make_shared<Shared>()) {}

JetStreamPublisher::~JetStreamPublisher() {
  closeLink();
  // What is still in the window stays held: a restart reads it again.
}

std::string JetStreamPublisher::open(double seconds) {
  std::string why = connectAndCheck(seconds);
  if (why.empty()) m_working = true;
  return why;
}

// A new connection and JetStream context whose acknowledgements count from
// now on; the stream checked. On failure nothing is left open.
std::string JetStreamPublisher::connectAndCheck(double seconds) {
  closeLink();
  uint64_t number;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    number = ++m_shared->generation;
    m_shared->failure.clear();
  }
  auto generation = std::make_shared<Generation>(Generation{m_shared, number});
  m_link = std::make_unique<NatsLink>(m_endpoint.urls, m_clientName);
  std::string why = m_link->connect(seconds, generation);
  if (why.empty()) {
    jsOptions options;
    jsOptions_Init(&options);
    options.PublishAsync.MaxPending = static_cast<int64_t>(kWindowPackets) + 16;
    options.PublishAsync.AckHandler = onAcknowledgement;
    options.PublishAsync.AckHandlerClosure = generation.get();
    natsStatus s = natsConnection_JetStream(&m_js, m_link->connection(), &options);
    why = s == NATS_OK ? checkStream() : NatsLink::statusText(s);
  }
  if (!why.empty()) closeLink();
  return why;
}

std::string JetStreamPublisher::checkStream() {
  const std::string &name = m_endpoint.stream;
  const std::string &prefix = m_endpoint.subjectPrefix;
  jsStreamInfo *info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, m_js, name.c_str(), nullptr, &code);
  if (s == NATS_NOT_FOUND && m_endpoint.createStream) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    std::string subject = prefix + ".>";
    const char *subjects[] = {subject.c_str()};
    config.Name = name.c_str();
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    s = js_AddStream(&info, m_js, &config, nullptr, &code);
    if (s == NATS_OK) {
      m_log.notify(m_owner + " created JetStream stream '" + name + "' for the subjects '" +
                   subject + "'");
      jsStreamInfo_Destroy(info);
      return "";
    }
    return "cannot create stream '" + name + "': " + NatsLink::statusText(s);
  }
  if (s == NATS_NOT_FOUND) {
    return "no stream '" + name + "' (create it with the subjects '" + prefix +
           ".>', or set natsstream_create true)";
  }
  if (s != NATS_OK) return "JetStream does not answer: " + NatsLink::statusText(s);
  bool covered = false;
  std::string subjects;
  for (int i = 0; info->Config && i < info->Config->SubjectsLen; ++i) {
    std::string subject = info->Config->Subjects[i];
    covered = covered || jetstream::subjectCoversPrefix(subject, prefix);
    subjects += (i ? ", " : "") + subject;
  }
  jsStreamInfo_Destroy(info);
  if (covered) return "";
  return "stream '" + name + "' does not take every subject '" + prefix +
         ".>' (its subjects: " + subjects + ")";
}

void JetStreamPublisher::closeLink() {
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    ++m_shared->generation;  // late acknowledgements of this connection no longer count
    m_shared->sent.clear();
    for (Shared::Entry &e : m_shared->window) e.inFlight = false;
  }
  if (m_js) jsCtx_Destroy(m_js);
  m_js = nullptr;
  m_link.reset();
}

JetStreamPublisher::Result JetStreamPublisher::publish(const std::shared_ptr<TarnPacket> &packet,
                                                       double seconds, std::string &why) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
  uint64_t id;
  for (;;) {
    service();
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    if (m_js && m_shared->failure.empty() && !m_shared->full()) {
      id = m_shared->firstId + m_shared->window.size();
      m_shared->window.push_back(
          {packet, packet->byteCount() + kMessageOverhead, false, false, ""});
      m_shared->bytes += m_shared->window.back().bytes;
      break;
    }
    if (Clock::now() >= deadline) return Result::kNoRoom;
    m_shared->changed.wait_until(lock,
                                 std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
  }
  send(id, *packet);
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  Shared::Entry &e = m_shared->entry(id);
  if (e.dropped.empty()) return Result::kSent;
  why = e.dropped;
  return Result::kDropped;
}

// Sends entry `id` on the current connection; false when the connection
// failed meanwhile. A packet the server can never take is marked dropped.
bool JetStreamPublisher::send(uint64_t id, const TarnPacket &packet) {
  std::string srcname = packet.srcname();
  double time = packet.pkttime();
  std::string subject = jetstream::subjectFor(m_endpoint.subjectPrefix, srcname);
  std::string msgId = jetstream::messageId(srcname, time, packet.bytes(), packet.byteCount());
  natsMsg *msg = nullptr;
  natsStatus s = natsMsg_Create(&msg, subject.c_str(), nullptr, packet.bytes(), packet.byteCount());
  if (s == NATS_OK)
    s = natsMsgHeader_Set(msg, "Tarn-Srcname", jetstream::srcnameHeader(srcname).c_str());
  if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Tarn-Time", jetstream::timeHeader(time).c_str());
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MsgId = msgId.c_str();
  options.MaxWait = static_cast<int64_t>(kAckWaitSeconds * 1000);
  natsMsg *handle = msg;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->entry(id).inFlight = true;
    m_shared->sent[handle] = id;  // before the acknowledgement can come
  }
  if (s == NATS_OK) s = js_PublishMsgAsync(m_js, &msg, &options);
  bool ok = s == NATS_OK;
  if (!ok) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->sent.erase(handle);
    Shared::Entry &e = m_shared->entry(id);
    e.inFlight = false;
    if (s == NATS_MAX_PAYLOAD) {
      e.done = true;
      // The server's limit counts a message's headers with its bytes.
      size_t headers = 10 + 2;  // "NATS/1.0\r\n", and the blank line that ends them
      for (const std::string &h :
           {"Tarn-Srcname: " + jetstream::srcnameHeader(srcname),
            "Tarn-Time: " + jetstream::timeHeader(time), "Nats-Msg-Id: " + msgId})
        headers += h.size() + 2;
      size_t bytes = static_cast<size_t>(std::max(0, packet.byteCount()));
      e.dropped = "packet of " + std::to_string(bytes) + " bytes (" +
                  std::to_string(bytes + headers) + " with its headers) is larger than the " +
                  std::to_string(natsConnection_GetMaxPayload(m_link->connection())) +
                  " bytes the server takes per message, headers included";
    } else if (m_shared->failure.empty()) {
      m_shared->failure = NatsLink::statusText(s);
    }
  }
  natsMsg_Destroy(msg);  // nothing when the library took it
  return ok || s == NATS_MAX_PAYLOAD;
}

void JetStreamPublisher::service() {
  settle();
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    failure = m_shared->failure;
  }
  if (m_link && failure.empty() && !m_link->up()) failure = m_link->lossReason();
  if (m_link && !failure.empty()) lose(failure);
  if (!m_link && Clock::now() >= m_retryAt) reconnect();
}

// Takes the finished packets off the front of the window: each is done.
void JetStreamPublisher::settle() {
  std::vector<std::pair<std::shared_ptr<TarnPacket>, std::string>> finished;
  bool acknowledged = false;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    while (!m_shared->window.empty() && m_shared->window.front().done) {
      Shared::Entry &e = m_shared->window.front();
      acknowledged = acknowledged || e.dropped.empty();
      finished.emplace_back(std::move(e.packet), std::move(e.dropped));
      m_shared->bytes -= e.bytes;
      m_shared->window.pop_front();
      ++m_shared->firstId;
    }
  }
  for (auto &[packet, dropped] : finished) {
    if (dropped.empty() && m_onStored) {
      m_onStored(*packet);
    } else if (!dropped.empty() && m_onDrop) {
      m_onDrop(*packet, dropped);
    } else if (!dropped.empty()) {
      m_log.elog_complain(m_owner + " failed to publish packet to JetStream '" +
                          m_endpoint.description() + "': " + packet->describe() + " " + dropped);
    }
    packet->done();
  }
  if (acknowledged && !m_working) {
    m_working = true;
    if (m_lossReported) {
      double seconds = std::chrono::duration<double>(Clock::now() - m_lostAt).count();
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", seconds);
      m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() +
                          "' takes packets again after " + text + " s");
    }
    m_lossReported = false;
    m_backoff = 0;
  }
}

// The connection failed: close it; everything not acknowledged is sent
// again on the next one.
void JetStreamPublisher::lose(const std::string &why) {
  closeLink();
  m_down.store(true);
  if (m_working) {
    m_working = false;
    m_lossReported = true;
    m_lostAt = Clock::now();
    m_log.elog_complain(m_owner + ": JetStream '" + m_endpoint.description() + "' failed (" + why +
                        "); connecting again to send its " + std::to_string(waiting()) +
                        " unacknowledged packets again");
  }
  m_retryAt = Clock::now() +
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_backoff));
  m_backoff = m_backoff == 0 ? kFirstBackoff : std::min(kMaxBackoff, m_backoff * 2);
}

void JetStreamPublisher::reconnect() {
  std::string why = connectAndCheck(std::max(1.0, m_backoff));
  if (!why.empty()) {
    if (why != m_lastConnectFailure) {
      m_log.elog_complain(m_owner + ": cannot reach JetStream '" + m_endpoint.description() +
                          "': " + why);
    }
    m_lastConnectFailure = why;
    m_retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_backoff));
    m_backoff = std::min(kMaxBackoff, std::max(kFirstBackoff, m_backoff * 2));
    return;
  }
  m_lastConnectFailure.clear();
  if (m_down.exchange(false)) m_reconnections.fetch_add(1);
  std::vector<std::pair<uint64_t, std::shared_ptr<TarnPacket>>> again;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    for (size_t i = 0; i < m_shared->window.size(); ++i) {
      if (!m_shared->window[i].done)
        again.emplace_back(m_shared->firstId + i, m_shared->window[i].packet);
    }
  }
  for (auto &[id, packet] : again) {
    if (!send(id, *packet)) break;
  }
}

bool JetStreamPublisher::awaitAll(double seconds, double giveUpAfter) {
  auto start = Clock::now();
  auto progressAt = start;
  uint64_t seen = acknowledged();
  for (;;) {
    service();
    if (waiting() == 0) {
      // The last acknowledgements may have come after service() settled:
      // their packets are done only once settled.
      settle();
      return true;
    }
    auto now = Clock::now();
    uint64_t count = acknowledged();
    if (count != seen) seen = count, progressAt = now;
    if (std::chrono::duration<double>(now - start).count() >= seconds) return false;
    if (giveUpAfter >= 0 && std::chrono::duration<double>(now - progressAt).count() >= giveUpAfter)
      return false;
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->changed.wait_for(lock, std::chrono::milliseconds(50));
  }
}

size_t JetStreamPublisher::waiting() {
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  size_t n = 0;
  for (const Shared::Entry &e : m_shared->window) n += !e.done;
  return n;
}

size_t JetStreamPublisher::relayedWaiting() {
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  size_t n = 0;
  for (const Shared::Entry &e : m_shared->window) n += !e.done && e.packet->readRecord() != nullptr;
  return n;
}

uint64_t JetStreamPublisher::acknowledged() {
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  return m_shared->acknowledged;
}
