// Cases through NATS JetStream: the relay publishing a tarn server's backlog
// onto a stream (tarn -> JetStream), and reading a stream's backlog into a
// tarn server (JetStream -> tarn). Each starts its own nats-server -js on
// 127.0.0.1 with its store in the run's work folder. The clock runs from the
// relay's start until the last packet is in the stream, or at the
// destination; the stream or the destination is then read back and
// compared with what was put.
#include <unistd.h>

#include <cstdio>

#include <nats/nats.h>

#include "bench_case_support.h"
#include "bench_cases.h"

namespace relaybench {

namespace {

const double kBaseTime = 1765100000.0;
const double kStep = 1e-5;
const char *const kStartTime = "1765099999";
const char *const kName = "BENCH_1/DAT";
const char *const kSubject = "tarn.BENCH_1.DAT";  // kName as the relay publishes it

// A connection and JetStream context for the benchmark's own questions.
class Nats {
 public:
  explicit Nats(const std::string &url) {
    if (natsConnection_ConnectTo(&m_nc, url.c_str()) == NATS_OK)
      natsConnection_JetStream(&m_js, m_nc, nullptr);
  }
  ~Nats() {
    if (m_js) jsCtx_Destroy(m_js);
    if (m_nc) natsConnection_Destroy(m_nc);
  }
  jsCtx *js() const { return m_js; }

  uint64_t lastSequence(const std::string &stream) {
    jsStreamInfo *info = nullptr;
    if (!m_js || js_GetStreamInfo(&info, m_js, stream.c_str(), nullptr, nullptr) != NATS_OK)
      return 0;
    uint64_t last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return last;
  }

 private:
  natsConnection *m_nc = nullptr;
  jsCtx *m_js = nullptr;
};

std::string header(natsMsg *msg, const char *key) {
  const char *value = nullptr;
  return natsMsgHeader_Get(msg, key, &value) == NATS_OK && value ? value : "";
}

// Publishes the backlog as the relay would: kName's subject and headers.
bool fillStream(const std::string &url, const std::string &stream, const std::string &bytes,
                long count, Ledger &put, std::string &why) {
  Nats nats(url);
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  const char *subjects[] = {"tarn.>"};
  config.Name = stream.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  if (!nats.js() || js_AddStream(nullptr, nats.js(), &config, nullptr, nullptr) != NATS_OK) {
    why = "cannot make the stream";
    return false;
  }
  for (long i = 0; i < count; ++i) {
    double time = kBaseTime + static_cast<double>(i) * kStep;
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", time);
    natsMsg *msg = nullptr;
    natsMsg_Create(&msg, kSubject, nullptr, bytes.data(), static_cast<int>(bytes.size()));
    natsMsgHeader_Set(msg, "Tarn-Srcname", kName);
    natsMsgHeader_Set(msg, "Tarn-Time", text);
    if (js_PublishMsgAsync(nats.js(), &msg, nullptr) != NATS_OK) {
      natsMsg_Destroy(msg);
      why = "publishing the backlog failed";
      return false;
    }
    put.add(kName, time);
  }
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = 120000;
  if (js_PublishAsyncComplete(nats.js(), &options) != NATS_OK ||
      nats.lastSequence(stream) != static_cast<uint64_t>(count)) {
    why = "the stream did not take the backlog";
    return false;
  }
  return true;
}

// Every message of the stream, by its headers.
bool readStream(const std::string &url, const std::string &stream, Ledger &held, std::string &why) {
  Nats nats(url);
  uint64_t last = nats.lastSequence(stream);
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream.c_str();
  options.Config.AckPolicy = js_AckNone;
  natsSubscription *sub = nullptr;
  if (!nats.js() ||
      js_PullSubscribe(&sub, nats.js(), "tarn.>", nullptr, nullptr, &options, nullptr) != NATS_OK) {
    why = "cannot read the stream back";
    return false;
  }
  uint64_t seen = 0;
  while (seen < last) {
    natsMsgList list;
    if (natsSubscription_Fetch(&list, sub, 1000, 5000, nullptr) != NATS_OK) break;
    for (int i = 0; i < list.Count; ++i) {
      held.add(header(list.Msgs[i], "Tarn-Srcname"),
               std::stod("0" + header(list.Msgs[i], "Tarn-Time")));
    }
    seen += static_cast<uint64_t>(list.Count);
    natsMsgList_Destroy(&list);
  }
  natsSubscription_Destroy(sub);
  if (seen < last) why = "the stream could not be read back";
  return seen >= last;
}

// Seconds from `start` until the stream holds `count` messages, or -1.
double waitForStream(const std::string &url, const std::string &stream, uint64_t count,
                     Clock::time_point start, Rig &rig) {
  Nats nats(url);
  auto progress = Clock::now();
  uint64_t seen = 0;
  for (int polls = 0; secondsSince(start) < kCaseLimit && secondsSince(progress) < kStall;
       ++polls) {
    uint64_t last = nats.lastSequence(stream);
    if (last != seen) seen = last, progress = Clock::now();
    if (last >= count) return secondsSince(start);
    if (polls % 50 == 0 && !rig.relayRunning()) break;
    sleepSeconds(0.005);
  }
  return -1;
}

CaseResult begin(const std::string &name, std::string &bytes) {
  CaseResult r;
  r.name = name;
  r.packetBytes = 512;
  bytes = stuffedBytes(512);
  if (bytes.empty()) r.failure = "the packet library did not stuff a packet of 512 bytes";
  return r;
}

}  // namespace

CaseResult runJetStreamOut(long packets) {
  std::string bytes;
  CaseResult r = begin("jetstream-out", bytes);
  if (!r.failure.empty()) return r;
  Rig rig(r.name);
  RelayPlan plan;
  plan.sources = {rig.startServer(ringBytesFor(packets, 512), maxPacketFor(512))};
  plan.natsUrl = rig.startNats();
  if (plan.sources[0].empty() || plan.natsUrl.empty()) return failed(r, rig);
  Ledger expected;
  if (!putPackets(
          plan.sources[0], bytes, {kName}, packets, kBaseTime, kStep, expected,
          [](long) { return true; }, r.failure)) {
    return r;
  }
  r.packets = packets;
  plan.starttime = kStartTime;
  plan.toJetStream = true;
  CpuMark before = markCpu(rig, getpid());
  auto start = Clock::now();
  if (!rig.startRelay(plan)) return failed(r, rig);
  double reached =
      waitForStream(plan.natsUrl, plan.stream, static_cast<uint64_t>(packets), start, rig);
  setCpu(r, before, markCpu(rig, getpid()));
  setArrival(r, {reached}, r.packets);
  r.notes.push_back(
      "a tarn server's backlog published onto one JetStream stream (nats-server CPU "
      "with the servers)");
  finishCase(r, rig, {}, expected);
  Ledger held;
  std::string why;
  r.checked = readStream(plan.natsUrl, plan.stream, held, why);
  if (r.checked) r.tally += compareLedgers(expected, held);
  if (!r.checked && r.failure.empty()) r.failure = why;
  return r;
}

CaseResult runJetStreamIn(long packets) {
  std::string bytes;
  CaseResult r = begin("jetstream-in", bytes);
  if (!r.failure.empty()) return r;
  Rig rig(r.name);
  RelayPlan plan;
  plan.destinations = {rig.startServer(ringBytesFor(packets, 512), maxPacketFor(512))};
  plan.natsUrl = rig.startNats();
  if (plan.destinations[0].empty() || plan.natsUrl.empty()) return failed(r, rig);
  Ledger expected;
  if (!fillStream(plan.natsUrl, plan.stream, bytes, packets, expected, r.failure)) return r;
  r.packets = packets;
  plan.starttime = kStartTime;
  plan.fromJetStream = true;
  CpuMark before = markCpu(rig, getpid());
  auto start = Clock::now();
  if (!rig.startRelay(plan)) return failed(r, rig);
  std::vector<double> reached =
      waitForLastIds(plan.destinations, static_cast<int>(packets - 1), start, kStall, kCaseLimit,
                     [&] { return rig.relayRunning(); });
  setCpu(r, before, markCpu(rig, getpid()));
  setArrival(r, reached, r.packets);
  r.notes.push_back(
      "a JetStream stream's backlog read through a durable consumer onto a tarn server");
  finishCase(r, rig, plan.destinations, expected);
  return r;
}

}  // namespace relaybench
