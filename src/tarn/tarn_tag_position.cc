// TarnTag's positioning: where a reader's tag starts reading.
#include <cstdlib>

#include "base/relay_exception.h"
#include "base/relay_times.h"
#include "base/time_text.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "platform/statefile/statefile.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/time/epochtime.h"
#include "tarn/tarn_tag.h"

namespace {

// The seek code of the newest packet the tag would deliver.
constexpr int kSeekNewest = -14;

}  // namespace

void TarnTag::smartReposition(double starttime) {
  RelayLogMgr *log = relayLog();
  // The saved position of an earlier run comes first.
  if (repositionFromStatefile()) return;

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
  m_pktid.store(pktid);
  m_pkttime.store(time);
}

int TarnTag::nextPktid() { return tarntell(m_tarnfd); }

bool TarnTag::repositionFromStatefile() {
  RelayStateMgr *state = RelayCnf->omstate();
  std::string path = state ? state->getString("statefile") : "";
  if (path.empty()) return false;
  // The tag name is how statefiles of the first format knew the reader.
  int rc = tarnresurrect(m_tarnfd, m_readPosition, m_positionOwner, m_tarntag);
  ResumePoint restored = m_readPosition->resumePoint();
  if (restored.id >= 0) setTarnPosition(restored.id, restored.time);
  std::string when = dateText(restored.time);
  RelayLogMgr *log = relayLog();
  switch (rc) {
    case 0:
      log->verbose("Repositioned tarn " + getJointName() + " from statefile '" + path +
                   "' to pktid " + std::to_string(restored.id) + ", time " + when);
      return true;
    case -1:
      log->verbose("Failed to reposition tarn " + getJointName() + " from statefile '" + path + "'");
      return false;
    case -2:
      log->verbose("Repositioned tarn " + getJointName() + " from statefile '" + path +
                   "' to time " + when);
      return true;
    case -3:
      log->verbose("Failed to reposition tarn " + getJointName() + " due to empty tarnserver");
      return false;
    default:
      return false;
  }
}
