#include "endpoints/tarn_destination.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/relay_exception.h"
#include "endpoints/tarn_source.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

// A writer that ends waits this long for its last puts to be acknowledged;
// once the stop flag is set, only while the server still answers.
constexpr double kFinalAcknowledgementSeconds = 1e9;

// The longest source name a tarn server stores.
constexpr size_t kMaxTarnSourceName = 63;

}  // namespace

TarnDestination::TarnDestination(std::shared_ptr<TarnTag> tag, std::string tarnname,
                                 const RelayContext &)
    : m_tag(std::move(tag)), m_tarnname(std::move(tarnname)), m_names(tarnNames(*m_tag)) {
  m_names.handedTo = "put to " + m_names.named;
  m_names.readAgain = ": they will be read again when the relay restarts on its statefile";
}

std::vector<std::string> TarnDestination::describe() const {
  return {"\t\twrite_to_tarnname\t" + m_tarnname, "\t\twrite_to_tarntag\t\t" + m_tag->name()};
}

OpenResult TarnDestination::open(std::string &) {
  if (m_tag->isOpen()) return OpenResult::kWasOpen;
  try {
    m_tag->open(TarnTag::Mode::kWrite);
    return OpenResult::kOpened;
  } catch (const RelayTarnOpenException &) {
    return OpenResult::kUnavailable;
  }
}

bool TarnDestination::linkLost() const { return m_tag->linkLost(); }

uint64_t TarnDestination::reconnections() const { return m_tag->reconnections(); }

PutResult TarnDestination::put(const std::shared_ptr<TarnPacket> &packet, double roomWait) {
  // What the server can never take is dropped here, before the client
  // library refuses it without a word of which packet it was.
  size_t srclen = std::strlen(packet->srcname());
  if (srclen == 0 || srclen > kMaxTarnSourceName) {
    drop(*packet, "source name not taken by tarn servers (1 to " +
                      std::to_string(kMaxTarnSourceName) + " characters)");
    packet->done();
    return PutResult::kDropped;
  }
  // The server's limit as the last put's receipt gave it spares asking the
  // client library before every put; a packet is dropped as too large only
  // on the limit as it stands now.
  auto bytes = static_cast<uint32_t>(std::max(0, packet->byteCount()));
  if (m_maxPacket == 0 || bytes > m_maxPacket) m_maxPacket = m_tag->maxPacketBytes();
  if (dropIfTooLarge(*packet, bytes, m_maxPacket)) return PutResult::kDropped;
  TarnTag::PutReceipt receipt;
  try {
    if (packet->put(*m_tag, &receipt, roomWait) == TarnTag::kWindowFull) return PutResult::kNoRoom;
  } catch (const RelayException &) {
    // A server that came back with a lower limit refuses the packet in the
    // library, which cannot name it: name it here.
    m_maxPacket = m_tag->maxPacketBytes();
    if (dropIfTooLarge(*packet, bytes, m_maxPacket)) return PutResult::kDropped;
    return PutResult::kFailed;
  }
  m_maxPacket = receipt.maxPacket;
  m_acks.put(receipt.number, packet->readRecord(), !packet->isInternal(),
             static_cast<uint64_t>(std::max(0, packet->byteCount())));
  // The receipt says whether any refusal waits: most puts need not ask.
  settle(receipt.acknowledged, receipt.refusals);
  return PutResult::kTaken;
}

bool TarnDestination::dropIfTooLarge(TarnPacket &packet, uint32_t bytes, uint32_t most) {
  if (most == 0 || bytes <= most) return false;
  drop(packet, "too large for " + m_names.named, tarnclient::tooLargeText(bytes, most, "it"));
  packet.done();
  return true;
}

// The client library notes a refusal before its acknowledgement count
// passes the refused put: so the refusals taken after reading `count` are
// all those it covers, and they are not counted as stored.
void TarnDestination::settle(uint64_t count, bool refusals) {
  if (refusals) {
    for (const TarnTag::RefusedPut &r : m_tag->takeRefusedPuts()) {
      m_acks.refused(r.number);
      if (r.limit != 0) {
        drop(r.srcname, r.time, r.bytes, "too large for " + m_names.named,
             tarnclient::tooLargeText(static_cast<uint64_t>(r.bytes), r.limit, "it"));
      } else {
        drop(r.srcname, r.time, r.bytes, "refused by " + m_names.named, r.why);
      }
    }
  }
  WriterAcks::Stored stored = m_acks.acknowledged(count);
  delivered(stored.packets, stored.bytes);
}

uint64_t TarnDestination::acknowledgedSoFar() { return m_tag->acknowledgedPuts(); }

std::string TarnDestination::waitingForRoom() {
  char mib[32];
  std::snprintf(mib, sizeof mib, "%.1f",
                static_cast<double>(m_tag->unacknowledgedBytes()) / (1 << 20));
  return "Waiting for " + m_names.where +
         " to take more packets: " + std::to_string(m_tag->unacknowledgedPuts()) + " puts (" + mib +
         " MiB) not yet acknowledged";
}

void TarnDestination::service() { settle(m_tag->collectAcknowledgements()); }

LeftBehind TarnDestination::finish(bool abandoned) {
  if (!abandoned && m_acks.waiting() > 0)
    m_tag->awaitAcknowledged(m_acks.lastPut(), kFinalAcknowledgementSeconds);
  settle(m_tag->collectAcknowledgements());
  return {m_acks.waiting(), m_acks.relayedWaiting()};
}
