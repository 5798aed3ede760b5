#include "nats_test_server.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <nats/nats.h>

#include "nats/jetstream_names.h"
#include "relay_e2e.h"

namespace e2e {

using namespace std::chrono_literals;

namespace {

// Debian installs nats-server in /usr/sbin, which a user's PATH may lack.
std::string natsServerPath() {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/local/sbin:/usr/bin:/usr/local/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/nats-server";
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "nats-server";
}

}  // namespace

NatsTestServer::NatsTestServer() : port_(freePort()) { start(); }

NatsTestServer::~NatsTestServer() {
  if (proc_ && proc_->running()) stop();
}

std::string NatsTestServer::url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

void NatsTestServer::start() {
  // The old port may linger for a moment after a stop; retry briefly.
  for (int attempt = 0; attempt < 50; ++attempt) {
    proc_ = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{natsServerPath(), "-js", "-a", "127.0.0.1", "-p",
                                 std::to_string(port_), "-sd", dir_.path()});
    bool ready = testsupport::waitUntil(
        [&] { return log().find("Server is ready") != std::string::npos || !proc_->running(); },
        20s);
    if (ready && proc_->running()) return;
    std::this_thread::sleep_for(100ms);
  }
  throw std::runtime_error("nats-server did not start: " + log());
}

int NatsTestServer::stop() {
  proc_->signal(SIGTERM);
  return proc_->wait(30s);
}

void NatsTestServer::restart() { start(); }

namespace {

// A connection and JetStream context for one question, closed at the end.
class Asker {
 public:
  explicit Asker(const std::string &url) {
    if (natsConnection_ConnectTo(&nc_, url.c_str()) != NATS_OK) return;
    natsConnection_JetStream(&js_, nc_, nullptr);
  }
  ~Asker() {
    if (js_) jsCtx_Destroy(js_);
    if (nc_) natsConnection_Destroy(nc_);
  }
  jsCtx *js() const { return js_; }

 private:
  natsConnection *nc_ = nullptr;
  jsCtx *js_ = nullptr;
};

// Makes `stream`, stored in files, for the subjects "tarn.>".
bool addStream(jsCtx *js, const std::string &stream, int32_t maxMsgSize = -1) {
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  const char *subjects[] = {"tarn.>"};
  config.Name = stream.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.MaxMsgSize = maxMsgSize;
  jsStreamInfo *info = nullptr;
  if (js_AddStream(&info, js, &config, nullptr, nullptr) != NATS_OK) return false;
  jsStreamInfo_Destroy(info);
  return true;
}

}  // namespace

StoredMessage storedMessage(const std::string &url, const std::string &stream, uint64_t sequence) {
  StoredMessage stored;
  Asker ask(url);
  natsMsg *msg = nullptr;
  if (!ask.js() || js_GetMsg(&msg, ask.js(), stream.c_str(), sequence, nullptr, nullptr) != NATS_OK)
    return stored;
  stored.sequence = sequence;
  stored.subject = natsMsg_GetSubject(msg);
  stored.data.assign(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
  for (const char *key : {"Tarn-Srcname", "Tarn-Time", "Nats-Msg-Id"}) {
    const char *value = nullptr;
    if (natsMsgHeader_Get(msg, key, &value) == NATS_OK && value) stored.headers[key] = value;
  }
  natsMsg_Destroy(msg);
  return stored;
}

bool remakeStream(const std::string &url, const std::string &stream) {
  Asker ask(url);
  if (!ask.js() || js_DeleteStream(ask.js(), stream.c_str(), nullptr, nullptr) != NATS_OK)
    return false;
  return addStream(ask.js(), stream);
}

bool makeStream(const std::string &url, const std::string &stream, int32_t maxMsgSize) {
  Asker ask(url);
  return ask.js() && addStream(ask.js(), stream, maxMsgSize);
}

bool purgeStreamBefore(const std::string &url, const std::string &stream, uint64_t keepFrom) {
  Asker ask(url);
  jsOptions options;
  jsOptions_Init(&options);
  options.Stream.Purge.Sequence = keepFrom;
  return ask.js() && js_PurgeStream(ask.js(), stream.c_str(), &options, nullptr) == NATS_OK;
}

bool publishPackets(const std::string &url, const std::string &stream,
                    const std::vector<PublishedPacket> &packets) {
  Asker ask(url);
  if (!ask.js()) return false;
  jsStreamInfo *info = nullptr;
  if (js_GetStreamInfo(&info, ask.js(), stream.c_str(), nullptr, nullptr) == NATS_OK) {
    jsStreamInfo_Destroy(info);
  } else if (!addStream(ask.js(), stream)) {
    return false;
  }
  for (const PublishedPacket &p : packets) {
    natsMsg *msg = nullptr;
    std::string subject = jetstream::subjectFor("tarn", p.srcname);
    if (natsMsg_Create(&msg, subject.c_str(), nullptr, p.bytes.data(),
                       static_cast<int>(p.bytes.size())) != NATS_OK) {
      return false;
    }
    natsMsgHeader_Set(msg, "Tarn-Srcname", jetstream::srcnameHeader(p.srcname).c_str());
    natsMsgHeader_Set(msg, "Tarn-Time", jetstream::timeHeader(p.time).c_str());
    natsMsgHeader_Set(
        msg, "Nats-Msg-Id",
        jetstream::messageId(p.srcname, p.time, p.bytes.data(), p.bytes.size()).c_str());
    jsPubAck *ack = nullptr;
    natsStatus status = js_PublishMsg(&ack, ask.js(), msg, nullptr, nullptr);
    jsPubAck_Destroy(ack);
    natsMsg_Destroy(msg);
    if (status != NATS_OK) return false;
  }
  return true;
}

uint64_t lastSequence(const std::string &url, const std::string &stream) {
  Asker ask(url);
  jsStreamInfo *info = nullptr;
  if (!ask.js() || js_GetStreamInfo(&info, ask.js(), stream.c_str(), nullptr, nullptr) != NATS_OK)
    return 0;
  uint64_t last = info->State.LastSeq;
  jsStreamInfo_Destroy(info);
  return last;
}

std::pair<int64_t, int64_t> consumerFloor(const std::string &url, const std::string &stream,
                                          const std::string &consumer) {
  Asker ask(url);
  jsConsumerInfo *info = nullptr;
  if (!ask.js() || js_GetConsumerInfo(&info, ask.js(), stream.c_str(), consumer.c_str(), nullptr,
                                      nullptr) != NATS_OK) {
    return {-1, -1};
  }
  std::pair<int64_t, int64_t> floor{static_cast<int64_t>(info->AckFloor.Stream),
                                    info->NumAckPending};
  jsConsumerInfo_Destroy(info);
  return floor;
}

}  // namespace e2e
