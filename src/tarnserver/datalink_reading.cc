// DatalinkSession: the read position, MATCH and REJECT, READ and the
// stream of packets.
#include <cmath>
#include <limits>

#include "platform/datalink/datalink_wire.h"
#include "tarnserver/datalink_session.h"
#include "tarnserver/datalink_times.h"
#include "tarnserver/packet_finder.h"

namespace tarnserver {

namespace {
constexpr uint64_t kScanBudget = 65536;  // packets examined by one pump call

std::string idText(uint64_t seq) { return std::to_string(tarnwire::idOfSeq(seq)); }
}  // namespace

// The sequence number of packet `id` when the ring holds that packet.
bool DatalinkSession::seqOfId(int64_t id, uint64_t &seq) const {
  if (id < 0 || static_cast<uint64_t>(id) >= tarnwire::kIdModulus || ring_.empty()) return false;
  const uint64_t next = ring_.nextSeq();
  uint64_t d = (static_cast<uint64_t>(tarnwire::idOfSeq(next)) + tarnwire::kIdModulus -
                static_cast<uint64_t>(id)) %
               tarnwire::kIdModulus;
  if (d == 0 || d > ring_.count()) return false;
  seq = next - d;
  return !ring_.isHole(seq);
}

bool DatalinkSession::onPosition(const std::vector<std::string_view> &words) {
  if (words.size() >= 3 && words.size() <= 4 && words[1] == "SET")
    return onPositionSet(words[2], words.size() == 4 ? words[3] : "0");
  if (words.size() == 3 && words[1] == "AFTER") return onPositionAfter(words[2]);
  return refused("POSITION takes SET pktid|EARLIEST|LATEST hppkttime, or AFTER hptime");
}

// A packet time of 0 (or none) is not checked, nor is the time of a packet
// whose arrival the ring does not know.
bool DatalinkSession::onPositionSet(std::string_view id, std::string_view time) {
  if (id == "EARLIEST" || id == "LATEST") {
    if (ring_.empty()) return refused("the ring holds no packets yet");
    uint64_t seq = id == "EARLIEST" ? ring_.oldestSeq() : ring_.newestSeq();
    cursor_ = id == "EARLIEST" ? seq : seq + 1;
    ok(tarnwire::idOfSeq(seq),
       "positioned " + std::string(id == "EARLIEST" ? "at" : "after") + " packet " + idText(seq));
    return true;
  }
  int64_t pktid = 0, pkttime = 0;
  uint64_t seq = 0;
  if (!datalink::parseInteger(id, pktid) || !datalink::parseInteger(time, pkttime))
    return refused("POSITION SET takes a packet id (or EARLIEST, LATEST) and an hptime");
  if (!seqOfId(pktid, seq))
    return refused("packet " + std::to_string(pktid) + " is not in the ring");
  if (pkttime != 0 && ring_.arrivalOf(seq) != 0 && packetTimes(ring_, seq).packetTime != pkttime) {
    return refused("packet " + std::to_string(pktid) + " in the ring is not the one of time " +
                   std::to_string(pkttime));
  }
  cursor_ = seq + 1;
  ok(pktid, "positioned after packet " + std::to_string(pktid));
  return true;
}

bool DatalinkSession::onPositionAfter(std::string_view time) {
  int64_t hptime = 0;
  if (!datalink::parseInteger(time, hptime)) return refused("POSITION AFTER takes an hptime");
  // Packet times of miniSEED packets are their records' starts, which
  // libmseed reads into seconds the same way; a packet starting exactly
  // then is not after it.
  double after =
      std::nextafter(static_cast<double>(hptime) / 1e6, std::numeric_limits<double>::infinity());
  PacketFilter all;
  PacketFinder finder(ring_, all);
  uint64_t seq = finder.firstAtOrAfter(after);
  work_ += finder.work();
  if (seq == kNoSeq) return refused("no packet in the ring starts after " + std::to_string(hptime));
  cursor_ = seq;
  ok(tarnwire::idOfSeq(seq), "positioned at packet " + idText(seq));
  return true;
}

// The pattern comes as data ("MATCH size"), or stands in the header itself
// when it is not a number ("REJECT ^XX_", as some clients send it).
bool DatalinkSession::onPattern(bool match, std::string_view header, std::string_view data) {
  std::string_view pattern = data;
  std::vector<std::string_view> words = datalink::words(header);
  if (words.size() >= 2 && data.empty()) {
    std::string_view rest = header.substr(header.find(' ') + 1);
    size_t first = rest.find_first_not_of(' ');
    pattern = first == std::string_view::npos ? "" : rest.substr(first);
    if (words.size() == 2 && words[1].find_first_not_of("0123456789") == std::string_view::npos)
      pattern = "";  // "MATCH 0": an empty pattern
  }
  std::string err;
  std::string expr(pattern);
  if (expr.find('\0') != std::string::npos) return refused("a pattern is text");
  if (!(match ? filter_.setMatch(expr, err) : filter_.setReject(expr, err))) return refused(err);
  int32_t n = filter_.countPassing(ring_.sources());
  ok(n, std::to_string(n) + " streams selected");
  return true;
}

bool DatalinkSession::onRead(const std::vector<std::string_view> &words) {
  int64_t pktid = 0;
  uint64_t seq = 0;
  if (words.size() != 2 || !datalink::parseInteger(words[1], pktid))
    return refused("READ takes a packet id");
  if (!seqOfId(pktid, seq))
    return refused("packet " + std::to_string(pktid) + " is not in the ring");
  const std::string &id = filter_.streamId(ring_.sources(), ring_.sourceOf(seq));
  if (id.empty()) return refused("packet " + std::to_string(pktid) + " has no DataLink stream id");
  writePacket(seq, id);
  return true;
}

void DatalinkSession::writePacket(uint64_t seq, const std::string &streamId) {
  PacketRef p = ring_.packet(seq);
  PacketTimes t = packetTimes(ring_, seq);
  datalink::PacketHeader h;
  h.streamId = streamId;
  h.pktid = tarnwire::idOfSeq(seq);
  h.packetTime = t.packetTime;
  h.dataStart = t.dataStart;
  h.dataEnd = t.dataEnd;
  scratch_.clear();
  datalink::appendPacket(scratch_, h, std::string_view(p.data, p.nbytes));
  message(scratch_);
  ++packetsSent_;
}

// A position the ring has dropped past moves on to the oldest packet.
bool DatalinkSession::pump(size_t limit) {
  if (!streaming_ || finished()) return false;
  if (cursor_ < ring_.oldestSeq()) cursor_ = ring_.oldestSeq();
  const SourceTable &sources = ring_.sources();
  uint64_t scanned = 0;
  while (cursor_ < ring_.nextSeq() && outSize() < limit && scanned < kScanBudget) {
    uint32_t idx = ring_.sourceOf(cursor_);
    if (filter_.passes(sources, idx)) writePacket(cursor_, filter_.streamId(sources, idx));
    ++cursor_;
    ++scanned;
  }
  return cursor_ < ring_.nextSeq();
}

}  // namespace tarnserver
