#include "tarnserver/client_session.h"

#include <algorithm>
#include <cstring>

#include "tarnserver/packet_finder.h"

namespace tarnserver {

using namespace tarnwire;

namespace {
constexpr uint64_t kScanBudget = 65536;     // packets examined by one pump call
constexpr size_t kKeptOutput = 4 << 20;     // output capacity kept once it is sent
constexpr uint64_t kWorkPerMatch = 16;      // a regular-expression match, in work units
constexpr uint64_t kBytesPerWork = 4096;    // bytes stored per work unit
constexpr size_t kMaxWriteVerdicts = 4096;  // source names whose write verdict is kept
}  // namespace

ClientSession::ClientSession(Ring &ring, const SessionLimits &limits, const ServerFigures &figures,
                             ClientAccess access)
    : ring_(ring),
      limits_(limits),
      figures_(figures),
      access_(std::move(access)),
      cursor_(ring.nextSeq()) {}

bool ClientSession::frameComplete(const char *data, size_t n) {
  FrameHeader h;
  return peekHeader(data, n, h) && n - kHeaderSize >= h.length;
}

size_t ClientSession::maxFrame() const {
  return kHeaderSize + std::max<size_t>(kMaxControlBody, kIdentityFixed + kPutFixed + kMaxSrcName +
                                                             limits_.maxPacket);
}

size_t ClientSession::bodyLimit(Type type) const {
  return type == kPut             ? kPutFixed + kMaxSrcName + limits_.maxPacket
         : type == kIdentifiedPut ? kIdentityFixed + kPutFixed + kMaxSrcName + limits_.maxPacket
                                  : kMaxControlBody;
}

size_t ClientSession::requestSize(const char *data, size_t n) const {
  FrameHeader h;
  if (!hello_ || !peekHeader(data, n, h) || h.length > bodyLimit(h.type)) return 0;
  if ((h.type == kPut || h.type == kIdentifiedPut) && access_.write.none()) return 0;
  return kHeaderSize + h.length;
}

void ClientSession::consumed(size_t n) {
  outHead_ += n;
  if (outHead_ == out_.size()) {
    out_.clear();
    if (out_.capacity() > kKeptOutput) std::vector<char>().swap(out_);
    outHead_ = 0;
  } else if (outHead_ > (1u << 20) && outHead_ * 2 > out_.size()) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
    outHead_ = 0;
  }
}

// Acknowledges the puts stored since the last acknowledgement.
void ClientSession::acknowledge() {
  if (putsStored_ == putsAcked_) return;
  putsAcked_ = putsStored_;
  encode(out_, Ack{putsStored_});
}

// The error frame comes last: the puts stored before it are acknowledged
// first, so that the client does not send them again.
void ClientSession::fail(int32_t code, const std::string &text) {
  acknowledge();
  error_ = text;
  errorCode_ = code;
  encode(out_, Error{code, text});
}

ssize_t ClientSession::consume(const char *data, size_t n) {
  size_t used = 0;
  bool ok = true;
  work_ = 0;
  const uint64_t matchesBefore = filter_.matchesRun();
  auto withinLimits = [&] {
    uint64_t work = work_ + (filter_.matchesRun() - matchesBefore) * kWorkPerMatch;
    return outSize() < limits_.outputLimit && work < limits_.workBudget;
  };
  while (ok && withinLimits()) {
    FrameHeader h;
    if (!peekHeader(data + used, n - used, h)) break;
    size_t limit = bodyLimit(h.type);
    if (h.length > limit) {
      fail(kErrTooLarge, "frame of " + std::to_string(h.length) + " bytes is longer than the " +
                             std::to_string(limit) + " allowed");
      return -1;
    }
    if (n - used < kHeaderSize + h.length) break;
    ok = handle(h.type, std::string_view(data + used + kHeaderSize, h.length));
    used += kHeaderSize + h.length;
    ++work_;
  }
  if (!ok) return -1;
  acknowledge();
  return static_cast<ssize_t>(used);
}

bool ClientSession::handle(Type type, std::string_view body) {
  if (!hello_ && type != kHello) {
    fail(kErrOrder, "the first frame must be a hello");
    return false;
  }
  switch (type) {
    case kHello:
      return onHello(body);
    case kSelect:
      return onExpression(kSelect, body);
    case kReject:
      return onExpression(kReject, body);
    case kPosition:
      return onPosition(body);
    case kStart:
      return onStart(body);
    case kPut:
      return onPut(body);
    case kIdentifiedPut:
      return onIdentifiedPut(body);
    case kStat:
      onStat();
      return true;
    case kClients:
      onClients();
      return true;
    default:
      fail(kErrType, "unknown frame type " + std::to_string(static_cast<int>(type)));
      return false;
  }
}

bool ClientSession::onHello(std::string_view body) {
  Hello hello;
  if (!decode(body, hello) || hello.magic != kMagic || hello.version != kVersion) {
    fail(kErrVersion, "not a tarn client of protocol version " + std::to_string(kVersion));
    return false;
  }
  if (!access_.mayConnect) {
    fail(kErrRefused, "connecting to " + access_.tarn + " is not allowed from " + access_.host);
    return false;
  }
  if (hello.mode == 1 && access_.write.none()) {
    fail(kErrRefused, "writing to " + access_.tarn + " is not allowed from " + access_.host);
    return false;
  }
  hello_ = true;
  cursor_ = ring_.nextSeq();
  encode(out_, Welcome{kVersion, limits_.maxPacket, ring_.instance(), idOfSeq(ring_.nextSeq()),
                       ring_.dataSize(),
                       static_cast<uint8_t>(kFeatureIdentifiedPuts | kFeatureClientList)});
  return true;
}

bool ClientSession::onExpression(Type type, std::string_view body) {
  Select request;  // a reject has the same fields
  decode(body, request);
  std::string_view text = request.expression;
  std::string err;
  streaming_ = false;
  int32_t count = -1;
  if (text.size() > kMaxExpression || std::memchr(text.data(), '\0', text.size()) != nullptr) {
    err = "expression too long or not text";
  } else {
    std::string expr(text);
    bool ok = type == kSelect ? filter_.setSelect(expr, err) : filter_.setReject(expr, err);
    if (ok) count = filter_.countPassing(ring_.sources());
    if (ok) (type == kSelect ? select_ : reject_) = std::move(expr);
    work_ += ring_.sources().slotCount();
  }
  encode(out_, Count{count, err});
  return true;
}

// The sequence number of packet `id` when it lies in [oldest, next].
bool ClientSession::seqOfId(int32_t id, uint64_t &seq) const {
  if (id < 0) return false;
  uint64_t d =
      (static_cast<uint64_t>(idOfSeq(ring_.nextSeq())) + kIdModulus - static_cast<uint64_t>(id)) %
      kIdModulus;
  if (d > ring_.count()) return false;
  seq = ring_.nextSeq() - d;
  return true;
}

void ClientSession::positionAt(uint8_t kind, int32_t id, double time, int32_t &result) {
  PacketFinder finder(ring_, filter_);
  uint64_t seq = kNoSeq;
  result = -1;
  switch (kind) {
    case kNewest:
      seq = finder.newest();
      break;
    case kOldest:
      seq = finder.oldest();
      break;
    case kAfterTime:
      seq = finder.firstAtOrAfter(time);
      break;
    case kAtId:
      if (!seqOfId(id, seq)) return;  // the cursor stays where it was
      cursor_ = seq;
      result = id;
      return;
    default:
      return resume(kind, id, time, result);
  }
  work_ += finder.work();
  cursor_ = seq == kNoSeq ? ring_.nextSeq() : seq;
  if (seq != kNoSeq) result = idOfSeq(seq);
}

// Resume after (or at) packet `id` if the ring holds it with exactly this
// time; else from the oldest delivered packet at or after the time.
void ClientSession::resume(uint8_t kind, int32_t id, double time, int32_t &result) {
  const uint64_t next = ring_.nextSeq();
  uint64_t at;
  if (seqOfId(id, at) && at < next && !ring_.isHole(at)) {
    double t = ring_.timeOf(at);
    if (std::memcmp(&t, &time, sizeof t) == 0) {
      cursor_ = kind == kResume ? at + 1 : at;
      result = kResumedById;
      return;
    }
  }
  if (ring_.empty()) {
    cursor_ = next;
    result = kResumeEmpty;
    return;
  }
  PacketFinder finder(ring_, filter_);
  uint64_t seq = finder.firstAtOrAfter(time);
  work_ += finder.work();
  cursor_ = seq == kNoSeq ? next : seq;
  result = seq == kNoSeq ? kResumeFailed : kResumedByTime;
}

bool ClientSession::onPosition(std::string_view body) {
  Position request;
  if (!decode(body, request) || request.kind < kNewest || request.kind > kResumeAt) {
    fail(kErrFrame, "malformed position request");
    return false;
  }
  streaming_ = false;
  int32_t result;
  positionAt(request.kind, request.id, request.time, result);
  encode(out_, Positioned{result, idOfSeq(cursor_)});
  return true;
}

bool ClientSession::onStart(std::string_view body) {
  Start request;
  if (!decode(body, request) || request.cursor < 0) {
    fail(kErrFrame, "malformed start request");
    return false;
  }
  const int32_t id = request.cursor;
  uint64_t seq;
  const uint64_t next = ring_.nextSeq();
  if (seqOfId(id, seq)) {
    cursor_ = seq;
  } else {
    // Either dropped from the ring (the cursor lags: pump reports the gap)
    // or never assigned (start with the next packet).
    uint64_t d = (static_cast<uint64_t>(idOfSeq(next)) + kIdModulus - static_cast<uint64_t>(id)) %
                 kIdModulus;
    cursor_ = (d < kIdModulus / 2 && d <= next) ? next - d : next;
  }
  streaming_ = true;
  return true;
}

bool ClientSession::onPut(std::string_view body) {
  Put put;
  if (!decode(body, put)) {
    fail(kErrFrame, "malformed put");
    return false;
  }
  return store(put, nullptr);
}

// A repeat is checked only once the put passed every other check, and is
// acknowledged like a stored put: the writer cannot tell, and need not.
bool ClientSession::onIdentifiedPut(std::string_view body) {
  IdentifiedPut put;
  if (!decode(body, put)) {
    fail(kErrFrame, "malformed identified put");
    return false;
  }
  PacketIdentity identity{put.origin, put.sequence};
  return store(Put{put.time, put.source, put.bytes}, &identity);
}

bool ClientSession::store(const Put &put, const PacketIdentity *identity) {
  std::string_view src = put.source, bytes = put.bytes;
  if (src.empty() || src.size() > kMaxSrcName ||
      std::memchr(src.data(), '\0', src.size()) != nullptr) {
    fail(kErrSrcName, "source names have 1 to 63 characters");
    return false;
  }
  if (bytes.size() > limits_.maxPacket) {
    fail(kErrTooLarge, "packet of " + std::to_string(bytes.size()) + " bytes is larger than the " +
                           std::to_string(limits_.maxPacket) +
                           " bytes this server takes per packet, source name and frame not "
                           "counted");
    return false;
  }
  if (!mayWrite(std::string(src))) return false;
  // A ring just large enough for the largest plain record keeps such a
  // packet without its identity.
  if (identity && Ring::recordSize(src.size(), bytes.size(), true) > ring_.dataSize())
    identity = nullptr;
  if (!identity || !ring_.repeated(*identity))
    ring_.append(src, put.time, bytes.data(), static_cast<uint32_t>(bytes.size()), identity);
  ++putsStored_;
  work_ += bytes.size() / kBytesPerWork;
  return true;
}

bool ClientSession::mayWrite(const std::string &src) {
  if (access_.write.none()) {
    fail(kErrRefused, "writing to " + access_.tarn + " is not allowed from " + access_.host);
    return false;
  }
  if (access_.write.any()) return true;
  auto it = writeVerdicts_.find(src);
  if (it == writeVerdicts_.end()) {
    if (writeVerdicts_.size() >= kMaxWriteVerdicts) writeVerdicts_.clear();
    work_ += kWorkPerMatch;
    it = writeVerdicts_.emplace(src, access_.write.allows(src)).first;
  }
  if (!it->second) {
    fail(kErrRefused, "writing source '" + src + "' to " + access_.tarn + " is not allowed from " +
                          access_.host);
  }
  return it->second;
}

void ClientSession::onStat() {
  streaming_ = false;
  const SourceTable &sources = ring_.sources();
  size_t listed = 0;
  bool truncated = false;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (!sources.live(i)) continue;
    if (listed == limits_.maxStatSources) {
      truncated = true;
      break;
    }
    const Source &s = sources.at(i);
    encode(out_, StatSource{s.count, s.newestTime, s.name, s.arrival});
    ++listed;
  }
  work_ += sources.slotCount();
  encode(out_, ringFigures(truncated));
}

void ClientSession::onClients() {
  streaming_ = false;
  std::vector<ClientListing> all;
  if (figures_.listClients) all = figures_.listClients();
  size_t listed = std::min(all.size(), limits_.maxListedClients);
  for (size_t i = 0; i < listed; ++i) {
    const ClientListing &c = all[i];
    auto cut = [](const std::string &t, size_t n) { return std::string_view(t).substr(0, n); };
    encode(out_, Client{cut(c.peer, 255), cut(c.info.protocol, 255), cut(c.info.identity, 255),
                        c.since, c.bytesIn, c.bytesOut, c.packetsIn, c.packetsOut,
                        cut(c.info.activity, 1024)});
  }
  work_ += all.size();
  encode(out_, ClientsEnd{static_cast<uint32_t>(listed), static_cast<uint32_t>(all.size())});
}

SessionInfo ClientSession::info() const {
  SessionInfo i{"tarn", "", ""};
  if (!access_.write.none() && putsStored_ > 0) {
    i.activity = "writes";
  } else if (streaming_ || packetsSent_ > 0 || !select_.empty() || !reject_.empty()) {
    i.activity = "reads";
    if (!select_.empty()) i.activity += " '" + select_ + "'";
    if (!reject_.empty()) i.activity += " rejecting '" + reject_ + "'";
    if (streaming_) i.activity += ", streaming";
  } else {
    i.activity = hello_ ? "asks" : "greets";
  }
  return i;
}

StatEnd ClientSession::ringFigures(bool sourcesCut) const {
  StatEnd f;
  f.ringBytes = ring_.dataSize();
  f.usedBytes = ring_.usedBytes();
  f.packets = ring_.packetCount();
  if (!ring_.empty()) {
    f.oldestId = idOfSeq(ring_.oldestSeq());
    f.newestId = idOfSeq(ring_.newestSeq());
    f.oldestTime = ring_.timeOf(ring_.oldestSeq());
    f.newestTime = ring_.timeOf(ring_.newestSeq());
  }
  f.dropped = ring_.dropped();
  f.clients = figures_.clients;
  f.maxPacket = limits_.maxPacket;
  f.inFile = ring_.inFile();
  f.sourcesCut = sourcesCut;
  f.instance = ring_.instance();
  f.repeats = ring_.repeatWindow().repeats();
  f.serverTime = wallSeconds();
  return f;
}

void ClientSession::writePacket(uint64_t seq) {
  PacketRef p = ring_.packet(seq);
  encode(out_, Packet{idOfSeq(seq), p.time, p.src, std::string_view(p.data, p.nbytes)});
  ++packetsSent_;
}

bool ClientSession::pump(size_t limit) {
  if (!streaming_) return false;
  if (cursor_ < ring_.oldestSeq()) {
    encode(out_,
           Skipped{ring_.oldestSeq() - cursor_, idOfSeq(cursor_), idOfSeq(ring_.oldestSeq() - 1)});
    cursor_ = ring_.oldestSeq();
  }
  uint64_t scanned = 0;
  while (cursor_ < ring_.nextSeq() && outSize() < limit && scanned < kScanBudget) {
    if (filter_.passes(ring_.sources(), ring_.sourceOf(cursor_))) writePacket(cursor_);
    ++cursor_;
    ++scanned;
  }
  return cursor_ < ring_.nextSeq();
}

}  // namespace tarnserver
