#include "connection/dropped_packets.h"

#include "base/relay_log.h"
#include "base/time_text.h"
#include "tarn/tarn_packet.h"

namespace {

// So many (source name, cause) pairs are remembered at most; past that a
// pair is logged again rather than memory growing without bound.
constexpr size_t kMaxRemembered = 10000;

}  // namespace

void PacketDestination::drop(TarnPacket &packet, const std::string &cause,
                             const std::string &detail) {
  drop(packet.srcname(), packet.pkttime(), packet.byteCount(), cause, detail);
}

void DroppedPackets::dropped(const std::string &srcname, double time, long bytes,
                             const std::string &cause, const std::string &detail) {
  ++m_total;
  ++m_byCause[cause];
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
