#include "endpoints/tarn_source.h"

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "base/time_text.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

EndpointNames tarnNames(const TarnTag &tag) {
  EndpointNames names;
  names.where = "tarn " + tag.getJointName();
  names.named = "tarn '" + tag.tarnName() + "'";
  names.awaited = "tarn '" + tag.name() + "' ('" + tag.tarnName() + "')";
  names.lineName = "Tarn '" + tag.name() + "'";
  names.server = tag.tarnName();
  return names;
}

TarnSource::TarnSource(std::shared_ptr<TarnTag> tag, std::string tarnname, std::string owner,
                       const ReaderSettings &settings, const RelayContext &context)
    : m_tag(std::move(tag)),
      m_tarnname(std::move(tarnname)),
      m_owner(std::move(owner)),
      m_match(settings.match),
      m_reject(settings.reject),
      m_starttime(settings.starttime),
      m_context(context),
      m_log(*context.log),
      m_names(tarnNames(*m_tag)) {}

std::vector<std::string> TarnSource::describe() const {
  return {"\t\tread_from_tarnname\t" + m_tarnname, "\t\tread_from_tarntag\t" + m_tag->name()};
}

OpenResult TarnSource::open(std::string &) {
  if (m_tag->isOpen()) return OpenResult::kWasOpen;
  try {
    m_tag->open(TarnTag::Mode::kRead);
    return OpenResult::kOpened;
  } catch (const RelayTarnOpenException &) {
    return OpenResult::kUnavailable;
  }
}

bool TarnSource::linkLost() const { return m_tag->linkLost(); }

uint64_t TarnSource::reconnections() const { return m_tag->reconnections(); }

bool TarnSource::position() {
  if (!m_match.empty()) {
    int count = m_tag->select(m_match);
    m_log.verbose("Matched " + std::to_string(count) + " sources after selecting on expression '" +
                  m_match + "'");
  }
  if (!m_reject.empty()) {
    int count = m_tag->reject(m_reject);
    m_log.verbose("Matched " + std::to_string(count) + " sources after rejecting on expression '" +
                  m_reject + "'");
  }
  m_tag->setIdentityName(stableIdentity());
  smartReposition(m_starttime);
  m_saveFirstPlace = m_tag->readPosition().resumePoint().id < 0;
  return true;
}

void TarnSource::smartReposition(double starttime) {
  // The saved position of an earlier run comes first.
  if (repositionFromStatefile()) return;
  // A start time equal to the "unset" sentinel was not configured; any other
  // value, NaN included, is tried.
  if (starttime != TIME_UNSET) {
    std::string when = dateText(starttime);
    try {
      int pktid = m_tag->after(starttime);
      m_log.verbose("Repositioned " + m_names.where + " to requested start time '" + when +
                    "' (pktid " + std::to_string(pktid) + ")");
      return;
    } catch (const RelayTarnPositioningException &e) {
      m_log.verbose("Failed to reposition " + m_names.where + " to requested start time '" + when +
                    "' (TarnTag::after throws '" + e.what() + "')");
    }
  }
  int newest = m_tag->positionNewest();
  m_log.verbose("Repositioned " + m_names.where + " to newest pktid " + std::to_string(newest));
}

bool TarnSource::repositionFromStatefile() {
  std::string path = m_context.positions ? m_context.positions->statefile() : "";
  if (path.empty()) return false;
  std::string identity = stableIdentity();
  int rc = m_tag->resurrect(m_owner, identity);
  ResumePoint restored = m_tag->readPosition().resumePoint();
  std::string when = dateText(restored.time);
  std::string head = "Repositioned " + m_names.where + " from statefile '" + path + "'";
  switch (rc) {
    case 0:
      m_log.verbose(head + " to pktid " + std::to_string(restored.id) + ", time " + when);
      return true;
    case -1:
      m_log.verbose("Failed to reposition " + m_names.where + " from statefile '" + path + "'");
      return false;
    case -2:
      m_log.verbose(head + " to time " + when);
      return true;
    case -3:
      m_log.verbose("Failed to reposition " + m_names.where + " due to empty tarnserver");
      return false;
    default:
      return false;
  }
}

// A tag named in the configuration keeps its name, which older relays
// used too; a generated one ("tarntag0001") depends on the order of the
// entries, so the reader is named by what it is instead. Its server needs
// no naming: the ring's instance goes into every identity with this.
std::string TarnSource::stableIdentity() const {
  if (!m_owner.empty() && m_owner == m_tag->name()) return m_owner;
  return "reader '" + m_owner + "' select '" + m_match + "' reject '" + m_reject + "'";
}

LastPacket TarnSource::findLast() {
  m_lastPktid = m_tag->getNewestPktid();
  LastPacket last;
  last.id = m_lastPktid;
  if (m_lastPktid < 0) {
    last.state = LastPacket::State::kNone;
  } else if (pktidAfter(m_tag->nextPktid(), m_lastPktid)) {
    last.state = LastPacket::State::kPassed;
  } else {
    last.state = LastPacket::State::kAhead;
  }
  return last;
}

bool TarnSource::isLast(const TarnPacket &packet) const {
  return packet.pktid() == m_lastPktid || pktidAfter(packet.pktid(), m_lastPktid);
}

ReadResult TarnSource::next(double timeout, PacketBatch &batch) {
  try {
    batch.push_back(TarnPacket::reap_timeout(m_tag, timeout));
  } catch (const RelayTimeoutException &) {
  } catch (const RelayEOFException &e) {
    m_log.veryVerbose(
        std::string("Received EOF on TarnHandle::reap_timeout, terminating connection: ") +
        e.what());
    return ReadResult::kEnd;
  } catch (const RelayException &e) {
    m_log.veryVerbose(
        std::string("Received exception on TarnHandle::reap_timeout, attempting to continue: ") +
        e.what());
  }
  return ReadResult::kMore;
}

// A crash before the next save would otherwise start a reader that had no
// saved place again at the newest packet, past what arrived in between.
void TarnSource::handled() {
  if (!m_saveFirstPlace) return;
  m_saveFirstPlace = false;
  if (m_context.positions) m_context.positions->saveNow();
}
