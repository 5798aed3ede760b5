#include "connection/dropped_packets.h"

#include <algorithm>
#include <utility>

#include "base/relay_log.h"
#include "base/time_text.h"
#include "platform/time/epochtime.h"
#include "tarn/tarn_packet.h"

namespace {

// So many (source name, cause) pairs are remembered at most; past that a
// pair is logged again rather than memory growing without bound.
constexpr size_t kMaxRemembered = 10000;

}  // namespace

std::string ConnectionCounters::causeKey(const std::string &cause) {
  static const std::pair<const char *, const char *> kWords[] = {
      {"too large", "too_large"},
      {"refused", "refused"},
      {"not miniSEED", "not_miniseed"},
      {"with records that do not parse", "bad_records"},
      {"source name not taken", "bad_source_name"},
      {"not put to", "put_failed"},
  };
  for (const auto &[begins, key] : kWords) {
    if (cause.rfind(begins, 0) == 0) return key;
  }
  return "other";
}

void PacketDestination::delivered(const TarnPacket &packet) {
  if (m_counters && !packet.isInternal())
    m_counters->relayed(1,
                        static_cast<uint64_t>(std::max(0L, static_cast<long>(packet.byteCount()))));
}

void PacketDestination::drop(TarnPacket &packet, const std::string &cause,
                             const std::string &detail) {
  drop(packet.srcname(), packet.pkttime(), packet.byteCount(), cause, detail);
}

void DroppedPackets::dropped(const std::string &srcname, double time, long bytes,
                             const std::string &cause, const std::string &detail) {
  ++m_total;
  ++m_byCause[cause];
  std::string key = ConnectionCounters::causeKey(cause);
  m_counters.dropped(key);
  if (key == "refused") m_counters.refused(cause + (detail.empty() ? "" : ": " + detail), std_now());
  if (m_said.size() >= kMaxRemembered) m_said.clear();
  if (!m_said.emplace(srcname, cause).second) return;
  m_log.elog_complain("RelayConnection '" + m_connection + "' dropped packet '" + srcname +
                      "' of " + timeText(time) + ", " + std::to_string(bytes) + " bytes: " + cause +
                      (detail.empty() ? "" : " (" + detail + ")") +
                      "; further packets of this source dropped for this reason are counted");
}

std::string DroppedPackets::summary() const {
  std::string text;
  for (const auto &[cause, count] : m_byCause) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + cause;
  }
  return text;
}

void PacketDestination::delivered(uint64_t packets, uint64_t bytes) {
  if (m_counters && packets > 0) m_counters->relayed(packets, bytes);
}
