#include "nats/jetstream_publisher.h"

#include <algorithm>
#include <charconv>
#include <thread>
#include <vector>

#include <nats/nats.h>

#include "base/relay_log.h"
#include "nats/jetstream_names.h"
#include "nats/nats_link.h"
#include "nats/publish_answer.h"
#include "tarn/tarn_packet.h"

namespace {

constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 5.0;
// What a message costs in the window beyond its bytes: subject and headers.
constexpr size_t kMessageOverhead = 256;
// JetStream's code for a message larger than the stream takes.
constexpr int kMessageTooLarge = 10054;
// The longest a wait for answers or room lasts before the link and the
// clock are looked at again.
constexpr double kWaitSlice = 0.05;
// A full window waits this long before it takes in the answers that came
// meanwhile: a batch of answers per wake-up rather than one, and as many
// messages sent in a row.
constexpr double kFullWindowNap = 0.0005;

using Clock = std::chrono::steady_clock;

Clock::duration secondsOf(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

JetStreamPublisher::JetStreamPublisher(JetStreamEndpoint endpoint, std::string clientName,
                                       std::string owner, RelayLog &log)
    : m_endpoint(std::move(endpoint)),
      m_clientName(std::move(clientName)),
      m_owner(std::move(owner)),
      m_log(log) {}

JetStreamPublisher::~JetStreamPublisher() {
  closeLink();
  // What is still in the window stays held: a restart reads it again.
}

std::string JetStreamPublisher::open(double seconds) {
  std::string why = connectAndCheck(seconds);
  if (why.empty()) m_working = true;
  return why;
}

// A new connection, its subscription to the answers and a JetStream
// context; the stream checked. On failure nothing is left open.
std::string JetStreamPublisher::connectAndCheck(double seconds) {
  closeLink();
  m_failure.clear();
  m_link = std::make_unique<NatsLink>(m_endpoint.urls, m_clientName);
  std::string why = m_link->connect(seconds);
  if (why.empty()) why = subscribeToAnswers();
  if (why.empty()) {
    natsStatus s = natsConnection_JetStream(&m_js, m_link->connection(), nullptr);
    why = s == NATS_OK ? checkStream() : NatsLink::statusText(s);
  }
  if (!why.empty()) closeLink();
  return why;
}

// A fresh inbox per connection: no answer meant for an earlier connection
// can reach this one.
std::string JetStreamPublisher::subscribeToAnswers() {
  natsInbox *inbox = nullptr;
  natsStatus s = natsInbox_Create(&inbox);
  if (s == NATS_OK) {
    m_replyPrefix = std::string(inbox) + ".";
    natsInbox_Destroy(inbox);
    std::string subject = m_replyPrefix + "*";
    s = natsConnection_SubscribeSync(&m_answers, m_link->connection(), subject.c_str());
  }
  // The window bounds how many answers can wait; the library's own limits
  // stay above it.
  if (s == NATS_OK)
    s = natsSubscription_SetPendingLimits(m_answers, static_cast<int>(kWindowPackets) * 4,
                                          static_cast<int>(kWindowBytes));
  return s == NATS_OK ? "" : "cannot subscribe to JetStream's answers: " + NatsLink::statusText(s);
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
  m_window.disconnected();
  if (m_answers) natsSubscription_Destroy(m_answers);
  m_answers = nullptr;
  if (m_js) jsCtx_Destroy(m_js);
  m_js = nullptr;
  m_link.reset();
}

// The current connection failed; the first reason is kept.
void JetStreamPublisher::fail(std::string why) {
  if (m_failure.empty()) m_failure = std::move(why);
}

JetStreamPublisher::Result JetStreamPublisher::publish(const std::shared_ptr<TarnPacket> &packet,
                                                       double seconds, std::string &why) {
  auto deadline = Clock::now() + secondsOf(seconds);
  for (;;) {
    service();
    if (m_link && m_failure.empty() && !m_window.full()) break;
    if (Clock::now() >= deadline) return Result::kNoRoom;
    wait(deadline);
  }
  uint64_t id = m_window.add(
      packet, static_cast<size_t>(std::max(0, packet->byteCount())) + kMessageOverhead);
  send(id, *packet);
  const PublishWindow::Entry *e = m_window.at(id);
  if (!e || e->dropped.empty()) return Result::kSent;
  why = e->dropped;
  return Result::kDropped;
}

// Waits until an answer comes, the link may be tried again, or `deadline`,
// at most kWaitSlice. A full window then naps a little, so that the answers
// right behind the first are taken in with it.
void JetStreamPublisher::wait(Clock::time_point deadline) {
  auto until = std::min(deadline, Clock::now() + secondsOf(kWaitSlice));
  if (m_link && m_failure.empty()) {
    uint64_t seen = m_answersTaken;
    takeAnswers(std::chrono::duration<double>(until - Clock::now()).count());
    if (m_answersTaken != seen && m_window.full())
      std::this_thread::sleep_until(std::min(deadline, Clock::now() + secondsOf(kFullWindowNap)));
    return;
  }
  if (!m_link) until = std::min(until, m_retryAt);
  std::this_thread::sleep_until(until);
}

// The names of the packet's source (kept while its source stays the same)
// and the text of its time.
void JetStreamPublisher::describe(const TarnPacket &packet) {
  if (m_srcname.empty() || m_srcname != packet.srcname()) {
    m_srcname = packet.srcname();
    m_token = jetstream::subjectToken(m_srcname);
    m_subject = m_endpoint.subjectPrefix + "." + m_token;
    m_srcnameHeader = jetstream::srcnameHeader(m_srcname);
  }
  jetstream::writeTimeHeader(packet.pkttime(), m_timeText, sizeof m_timeText);
}

// Sends entry `id` on the current connection, its answer to come to the
// reply subject INBOX.id; false when the connection failed meanwhile. A
// packet the server can never take is marked dropped.
bool JetStreamPublisher::send(uint64_t id, const TarnPacket &packet) {
  describe(packet);
  std::string msgId = jetstream::messageIdFrom(m_token, m_timeText, packet.bytes(),
                                               static_cast<size_t>(packet.byteCount()));
  char reply[96];
  size_t prefix = std::min(m_replyPrefix.size(), sizeof reply - 24);
  std::copy_n(m_replyPrefix.data(), prefix, reply);
  *std::to_chars(reply + prefix, reply + sizeof reply - 1, id).ptr = '\0';
  natsMsg *msg = nullptr;
  natsStatus s = natsMsg_Create(&msg, m_subject.c_str(), reply, packet.bytes(), packet.byteCount());
  if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Tarn-Srcname", m_srcnameHeader.c_str());
  if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Tarn-Time", m_timeText);
  if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Nats-Msg-Id", msgId.c_str());
  m_window.sent(id, Clock::now());
  if (s == NATS_OK) s = natsConnection_PublishMsg(m_link->connection(), msg);
  natsMsg_Destroy(msg);
  if (s == NATS_OK) return true;
  if (s == NATS_MAX_PAYLOAD) {
    m_window.dropped(id, tooLarge(packet));
    return true;
  }
  m_window.unsent(id);
  fail(NatsLink::statusText(s));
  return false;
}

// Why a packet is larger than the server takes. The server's limit counts
// a message's headers with its bytes.
std::string JetStreamPublisher::tooLarge(const TarnPacket &packet) const {
  size_t headers = 10 + 2;  // "NATS/1.0\r\n", and the blank line that ends them
  std::string msgId = jetstream::messageIdFrom(m_token, m_timeText, packet.bytes(),
                                               static_cast<size_t>(packet.byteCount()));
  for (const std::string &h : {"Tarn-Srcname: " + m_srcnameHeader,
                               std::string("Tarn-Time: ") + m_timeText, "Nats-Msg-Id: " + msgId})
    headers += h.size() + 2;
  size_t bytes = static_cast<size_t>(std::max(0, packet.byteCount()));
  return "packet of " + std::to_string(bytes) + " bytes (" + std::to_string(bytes + headers) +
         " with its headers) is larger than the " +
         std::to_string(natsConnection_GetMaxPayload(m_link->connection())) +
         " bytes the server takes per message, headers included";
}

// Takes in every answer that waits, first waiting up to `waitSeconds` for
// one when none does.
void JetStreamPublisher::takeAnswers(double waitSeconds) {
  if (!m_answers || !m_failure.empty()) return;
  int pending = 0;
  natsStatus s = natsSubscription_GetPending(m_answers, &pending, nullptr);
  if (s == NATS_OK && pending == 0 && waitSeconds > 0) {
    natsMsg *msg = nullptr;
    auto ms = std::max<int64_t>(1, static_cast<int64_t>(waitSeconds * 1000));
    s = natsSubscription_NextMsg(&msg, m_answers, ms);
    if (s == NATS_TIMEOUT) return;
    if (s == NATS_OK) answer(msg);
    if (s == NATS_OK) s = natsSubscription_GetPending(m_answers, &pending, nullptr);
  }
  // Only as many as wait: the library reports an empty queue as an error.
  for (; s == NATS_OK && pending > 0; --pending) {
    natsMsg *msg = nullptr;
    s = natsSubscription_NextMsg(&msg, m_answers, 1);
    if (s == NATS_OK) answer(msg);
  }
  if (s == NATS_NO_RESPONDERS) {
    fail("no stream takes the subjects '" + m_endpoint.subjectPrefix + ".>'");
  } else if (s != NATS_OK && s != NATS_TIMEOUT && m_link->up()) {
    // (A lost connection closes the subscription too: service() says so.)
    fail("reading JetStream's answers: " + NatsLink::statusText(s));
  }
}

// One answer of JetStream's, for the message its subject numbers.
void JetStreamPublisher::answer(natsMsg *msg) {
  uint64_t id = 0;
  if (!jetstream::replyNumber(natsMsg_GetSubject(msg), m_replyPrefix, id)) {
    natsMsg_Destroy(msg);
    return;
  }
  jetstream::PublishAnswer a = jetstream::readPublishAnswer(
      natsMsg_GetData(msg), static_cast<size_t>(std::max(0, natsMsg_GetDataLength(msg))));
  natsMsg_Destroy(msg);
  ++m_answersTaken;
  const PublishWindow::Entry *e = m_window.at(id);
  if (!e || !e->inFlight) return;  // not waiting for an answer (a repeat)
  if (a.kind == jetstream::PublishAnswer::Kind::kStored) {
    m_window.stored(id);
  } else if (a.kind == jetstream::PublishAnswer::Kind::kRefused && a.errCode == kMessageTooLarge) {
    m_window.dropped(id, a.text);
  } else {
    fail(a.text);
  }
}

void JetStreamPublisher::service() {
  takeAnswers(0);
  settle();
  Clock::time_point oldest;
  if (m_link && m_window.oldestInFlight(oldest) &&
      Clock::now() - oldest >= secondsOf(kAckWaitSeconds)) {
    fail("no acknowledgement within " + std::to_string(static_cast<int>(kAckWaitSeconds)) + " s");
  }
  std::string failure = m_failure;
  if (m_link && failure.empty() && !m_link->up()) failure = m_link->lossReason();
  if (m_link && !failure.empty()) lose(failure);
  if (!m_link && Clock::now() >= m_retryAt) reconnect();
}

// Takes the finished packets off the front of the window: each is done.
void JetStreamPublisher::settle() {
  m_finished.clear();  // kept, with its room, from one call to the next
  m_window.settle(m_finished);
  bool acknowledged = false;
  for (PublishWindow::Entry &e : m_finished) {
    TarnPacket &packet = *e.packet;
    acknowledged = acknowledged || e.dropped.empty();
    if (e.dropped.empty() && m_onStored) {
      m_onStored(packet);
    } else if (!e.dropped.empty() && m_onDrop) {
      m_onDrop(packet, e.dropped);
    } else if (!e.dropped.empty()) {
      m_log.elog_complain(m_owner + " failed to publish packet to JetStream '" +
                          m_endpoint.description() + "': " + packet.describe() + " " + e.dropped);
    }
    packet.done();
  }
  m_finished.clear();
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
  m_retryAt = Clock::now() + secondsOf(m_backoff);
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
    m_retryAt = Clock::now() + secondsOf(m_backoff);
    m_backoff = std::min(kMaxBackoff, std::max(kFirstBackoff, m_backoff * 2));
    return;
  }
  m_lastConnectFailure.clear();
  if (m_down.exchange(false)) m_reconnections.fetch_add(1);
  for (uint64_t id : m_window.toSend()) {
    if (!send(id, *m_window.at(id)->packet)) break;
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
    auto deadline = start + secondsOf(seconds);
    if (giveUpAfter >= 0) deadline = std::min(deadline, progressAt + secondsOf(giveUpAfter));
    wait(deadline);
  }
}
