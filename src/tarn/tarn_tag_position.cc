// TarnTag's positioning: where a reader's tag starts reading.
#include <cstdlib>

#include "app/relay_exception.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/time/epochtime.h"
#include "app/relay_times.h"
#include "tarn/tarn_tag.h"

namespace {

// The seek code of the newest packet the tag would deliver.
constexpr int kSeekNewest = -14;

// A time as "%D %T %Z", released after use.
std::string dateText(double time) {
  char *text = epoch2str(time, "%D %T %Z");
  std::string result = text ? text : "";
  std::free(text);
  return result;
}

}  // namespace

void TarnTag::smartReposition(double starttime) {
  RelayLogMgr *log = RelayCnf->omlog();
  // The saved position of an earlier run comes first; it is restored through
  // the state-file library, which arrives with the statefile work. Until then
  // no statefile is in use and reading starts at the start time or the newest
  // packet.

  // A start time equal to the "unset" sentinel was not configured; any other
  // value, NaN included, is tried.
  if (starttime != TIME_UNSET) {
    std::string when = dateText(starttime);
    try {
      int pktid = after(starttime);
      log->verbose("Repositioned tarn " + getJointName() + " to requested start time '" + when +
                   "' (pktid " + std::to_string(pktid) + ")");
      return;
    } catch (const RelayTarnPositioningException &e) {
      log->verbose("Failed to reposition tarn " + getJointName() + " to requested start time '" +
                   when + "' (TarnTag::after throws '" + e.what() + "')");
    }
  }

  int newest = tarnposition(m_tarnfd, "newest");
  log->verbose("Repositioned tarn " + getJointName() + " to newest pktid " +
               std::to_string(newest));
}

int TarnTag::after(double time) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::after: tarntag '" + m_tarntag + "' is closed.");
  }
  int rc = tarnafter(m_tarnfd, time);
  if (rc >= 0) return rc;
  throw RelayTarnPositioningException("TarnTag::after: failed to reposition tarntag '" +
                                      m_tarntag + "' (tarnafter failure, rc=" +
                                      std::to_string(rc) + ")");
}

int TarnTag::getNewestPktid() {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::getNewestPktid: tarntag '" + m_tarntag +
                                   "' is closed.");
  }
  int current = tarntell(m_tarnfd);
  int newest = tarnseek(m_tarnfd, kSeekNewest);
  int back = tarnseek(m_tarnfd, current);
  if (back != current) {
    throw RelayTarnPositioningException(
        "TarnTag::getNewestPktid: failed to reposition tarntag '" + m_tarntag +
        "' back to current pktid " + std::to_string(current));
  }
  return newest;
}

void TarnTag::setTarnPosition(int pktid, double time) {
  m_pktid = pktid;
  m_pkttime = time;
}
