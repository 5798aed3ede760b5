#include "nats/nats_link.h"

#include <algorithm>
#include <mutex>

#include "nats/jetstream_names.h"

namespace {

constexpr int kPingIntervalMs = 5000;  // a dead server is noticed within ~15 s
constexpr int kMaxPingsOut = 2;
// A write the server does not take for this long fails, and the link with
// it: a server that stopped reading would otherwise hold its writer in the
// library for ever, past any stop.
constexpr int kWriteDeadlineMs = 2000;

}  // namespace

// What the library's callbacks use. The library holds one share of it (a
// heap shared pointer as its closure), given back in the closed callback.
struct NatsLink::State {
  std::atomic<bool> up{false};
  std::mutex mutex;  // guards lossReason
  std::string lossReason;
  std::shared_ptr<void> keepAlive;
};

namespace {

using StateShare = std::shared_ptr<NatsLink::State>;

NatsLink::State &stateOf(void *closure) { return **static_cast<StateShare *>(closure); }

void lose(void *closure, const std::string &why) {
  NatsLink::State &state = stateOf(closure);
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.lossReason.empty()) state.lossReason = why;
  state.up = false;
}

void onDisconnected(natsConnection *, void *closure) { lose(closure, "the connection was lost"); }

// The library's last callback for the connection.
void onClosed(natsConnection *, void *closure) {
  lose(closure, "the connection was closed");
  delete static_cast<StateShare *>(closure);
}

// Asynchronous errors (a slow consumer, a refused permission) end the link
// too: its user starts afresh on a new one.
void onError(natsConnection *, natsSubscription *, natsStatus status, void *closure) {
  lose(closure, natsStatus_GetText(status));
}

}  // namespace

NatsLink::NatsLink(std::string urls, std::string clientName)
    : m_urls(std::move(urls)),
      m_shown(jetstream::displayUrls(m_urls)),
      m_clientName(std::move(clientName)),
      m_state(std::make_shared<State>()) {}

NatsLink::~NatsLink() {
  if (!m_connection) return;
  natsConnection_Close(m_connection);
  natsConnection_Destroy(m_connection);
}

std::string NatsLink::statusText(natsStatus status) {
  std::string text = natsStatus_GetText(status);
  natsStatus last = NATS_OK;
  const char *detail = nats_GetLastError(&last);
  if (detail && *detail && text.find(detail) == std::string::npos)
    text += std::string(": ") + detail;
  return text;
}

std::string NatsLink::connect(double seconds, std::shared_ptr<void> keepAlive) {
  if (m_connection) return "";
  m_state->keepAlive = std::move(keepAlive);
  natsOptions *options = nullptr;
  natsStatus s = natsOptions_Create(&options);
  auto *share = new StateShare(m_state);
  // The URL text may name several servers, separated by commas.
  if (s == NATS_OK) s = natsOptions_SetURL(options, m_urls.c_str());
  if (s == NATS_OK) s = natsOptions_SetName(options, m_clientName.c_str());
  if (s == NATS_OK)
    s = natsOptions_SetTimeout(options, static_cast<int64_t>(std::max(0.1, seconds) * 1000));
  if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options, false);
  if (s == NATS_OK) s = natsOptions_SetPingInterval(options, kPingIntervalMs);
  if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(options, kMaxPingsOut);
  if (s == NATS_OK) s = natsOptions_SetWriteDeadline(options, kWriteDeadlineMs);
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(options, onDisconnected, share);
  if (s == NATS_OK) s = natsOptions_SetErrorHandler(options, onError, share);
  if (s == NATS_OK) s = natsOptions_SetClosedCB(options, onClosed, share);
  // Up before the connection exists: a loss reported at once stays reported.
  m_state->up = true;
  if (s == NATS_OK) s = natsConnection_Connect(&m_connection, options);
  std::string why = s == NATS_OK ? "" : statusText(s);
  natsOptions_Destroy(options);
  if (s != NATS_OK) {
    m_connection = nullptr;
    m_state->up = false;
    delete share;  // no callback will come
    return why;
  }
  return "";
}

// The callbacks come on the library's own thread, some time after the
// connection changed: its status is asked as well.
bool NatsLink::up() const {
  return m_state->up.load() && m_connection &&
         natsConnection_Status(m_connection) == NATS_CONN_STATUS_CONNECTED;
}

std::string NatsLink::lossReason() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->lossReason.empty() ? "the connection was lost" : m_state->lossReason;
}
