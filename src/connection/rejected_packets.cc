#include "connection/rejected_packets.h"

#include "base/relay_log.h"

namespace {

// So many (source name, cause) pairs are remembered at most; past that a
// pair is logged again rather than memory growing without bound.
constexpr size_t kMaxRemembered = 10000;

}  // namespace

void RejectedPackets::rejected(const std::string &srcname, const std::string &cause,
                               const std::string &line, bool quiet) {
  m_counters.rejected(cause);
  if (quiet) return;
  if (m_said.size() >= kMaxRemembered) m_said.clear();
  if (!m_said.emplace(srcname, cause).second) return;
  m_log.elog_complain(line +
                      "; further packets of this source rejected for this reason are counted");
}
