// RelayConnection's writer: opens its destination, registers as a consumer
// of its queue and puts each packet it pops until the queue yields the
// end-of-data mark; once the stop flag is set it goes on until then
// ("flushing"), so nothing queued before the stop is lost.
//
// Read positions: a packet counts as written only once the destination's
// server acknowledged it. What a writer cannot finish (a flush it gives up,
// puts left unacknowledged) stays held, so a restart reads it again; the
// writer says so when it ends.
#include <algorithm>
#include <chrono>
#include <sstream>

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "base/stop.h"
#include "connection/relay_connection.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"

namespace {

bool stopping() { return Stop.load() != 0; }

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// How long a put waits for room before the writer says that it waits (and
// then waits on).
constexpr double kWindowFullReportSeconds = 1.0;
// Once the stop flag is set, a writer whose destination takes nothing for
// this long gives up its queue.
constexpr double kGiveUpSeconds = 3.0;

}  // namespace

void RelayConnection::runWriter() {
  // A writer tries its server at least once and, once it is open, drains
  // its queue even when the stop came first: what the readers queued before
  // they stopped (a legacy reader that reached its end at once, say) would
  // otherwise be lost.
  if (!openEndpoint(*m_destination, true)) return;
  m_queue->setConsumer(m_name, m_writer.maxQueue, m_writer.maxQueueBytes);
  setState(ConnectionState::kYes);
  bool flushing = false;
  auto announceFlush = [&] {
    if (!stopping() || flushing) return;
    m_log.verbose("Flushing queue");
    flushing = true;
  };
  for (;;) {
    announceFlush();
    std::shared_ptr<TarnPacket> packet;
    try {
      packet = m_queue->pop(m_name);
    } catch (const RelayNodataException &) {
      m_log.veryVerbose("Nodata reading from queue, continuing");
      m_destination->service();
      continue;
    } catch (const RelayEOFException &) {
      announceFlush();  // the stop came while the writer waited for this
      m_log.veryVerbose("Read EOF from queue, terminating connection");
      finishWriting(false);
      return;
    } catch (const RelayException &) {
      m_log.elog_complain("RelayConnection '" + m_name + "' failed to pop packet off of queue '" +
                          queueName() + "'");
      continue;
    }
    if (!writePacket(packet)) {
      finishWriting(true);
      return;
    }
  }
}

// Puts one packet, waiting for room as long as the destination makes
// progress; false when the writer is to give up its queue. A packet that
// fails while the relay is not stopping is dropped, and said so; one the
// destination drops was told to m_drops, which says so.
bool RelayConnection::writePacket(std::shared_ptr<TarnPacket> &packet) {
  const EndpointNames &names = m_destination->names();
  PutResult result = m_destination->put(packet, kWindowFullReportSeconds);
  if (result == PutResult::kTaken) {
    m_windowFullSaid = false;
  } else if (result == PutResult::kDropped) {
    return true;
  } else {
    result = waitForRoom(packet, result);
    if (result == PutResult::kFailed) {
      m_log.elog_complain("RelayConnection '" + m_name + "' failed to put packet to " +
                          names.named);
      if (stopping()) {
        // The packet stays held: its source's saved place stays before it.
        m_log.verbose("Abandoning queue flush -- exiting");
        return false;
      }
      m_log.veryVerbose("Attempting to continue after write failure");
      m_drops.dropped(packet->srcname(), packet->pkttime(), packet->byteCount(),
                      "not put to " + names.named + " (the put failed)", "");
      packet->done();
      return true;
    }
    if (result == PutResult::kDropped) return true;
  }
  m_lastPacketTime.store(packet->pkttime());
  if (!packet->isInternal() && m_log.getVerbose() > 1) {
    std::ostringstream line;
    line << "Queue '" << queueName() << "' -> " << names.lineName << ": "
         << "wrote " << packet->describe();
    m_log.veryVerbose(line.str());
  }
  return true;
}

// Puts the packet again while the destination has no room (said once per
// wait) and makes progress: kTaken or kDropped once it took the packet,
// kFailed when a put failed or, once the stop flag is set, nothing moved
// for kGiveUpSeconds.
PutResult RelayConnection::waitForRoom(std::shared_ptr<TarnPacket> &packet, PutResult result) {
  auto progressAt = Clock::now();
  uint64_t seen = m_destination->acknowledgedSoFar();
  while (result == PutResult::kNoRoom) {
    if (!m_windowFullSaid) {
      m_windowFullSaid = true;
      m_log.verbose(m_destination->waitingForRoom());
    }
    uint64_t now = m_destination->acknowledgedSoFar();
    if (now != seen) seen = now, progressAt = Clock::now();
    if (stopping() && secondsSince(progressAt) >= kGiveUpSeconds) return PutResult::kFailed;
    result = m_destination->put(packet, kWindowFullReportSeconds);
  }
  return result;
}

// Waits for the writer's last puts to be acknowledged, and says what it
// leaves behind: packets not acknowledged (or, after an abandoned flush,
// still queued) are read again after a restart.
void RelayConnection::finishWriting(bool abandoned) {
  LeftBehind left = m_destination->finish(abandoned);
  if (m_drops.total() > 0) {
    m_log.elog_complain("RelayConnection '" + m_name + "' ends having dropped " +
                        std::to_string(m_drops.total()) + " packets: " + m_drops.summary());
  }
  size_t queued = abandoned ? static_cast<size_t>(std::max(0, m_queue->getQueueCount(m_name))) : 0;
  if (left.unacknowledged == 0 && queued == 0) return;
  const EndpointNames &names = m_destination->names();
  std::string text = "RelayConnection '" + m_name + "' ends with " + std::to_string(left.relayed) +
                     " packets " + names.handedTo + " not acknowledged";
  if (abandoned) text += " and " + std::to_string(queued) + " packets still queued";
  text += names.readAgain;
  size_t own = left.unacknowledged - left.relayed;
  if (own > 0)
    text += " (" + std::to_string(own) + " of the relay's own log and status packets are lost)";
  m_log.elog_complain(text);
}
