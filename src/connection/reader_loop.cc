// RelayConnection's reader: opens its source, finds where to start, and
// pushes what it reads onto its queue until the stop flag, the source's end
// of data or its end condition; then it pushes its end-of-data mark.
//
// Read positions: the reader holds each packet it reads until it has pushed
// it or left it out (TarnPacket::done); the queue's consumers hold it from
// the push on. A source's saved place passes a packet only once every
// holder is done with it.
#include <algorithm>
#include <sstream>

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "base/stop.h"
#include "base/time_text.h"
#include "connection/relay_connection.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"

namespace {

bool stopping() { return Stop.load() != 0; }

}  // namespace

void RelayConnection::runReader() {
  // The reader has been this queue's producer since configuration, so its
  // end-of-data mark is awaited however the thread ends, also when the stop
  // came before its source opened.
  m_queue->setProducer(m_name);
  if (openEndpoint(*m_source, false) && !stopping() && prepareReader()) {
    setState(ConnectionState::kYes);
    readPackets();
  }
  m_log.veryVerbose("Thread signalled to stop, pushing EOF onto queue");
  m_queue->push_eof(m_name);
  m_source->finish();
}

bool RelayConnection::prepareReader() {
  const std::string &where = m_source->names().where;
  try {
    if (!m_source->position()) return false;
    if (m_reader.endtime == TIME_LAST) {
      m_last = m_source->findLast();
      std::string id = std::to_string(m_last.id);
      if (m_last.state == LastPacket::State::kNone) {
        // Nothing to deliver when reading begins: there is no last packet
        // to wait for, and waiting for one would never end.
        m_log.verbose("No packet to stop after on " + where +
                      ": stopping acquisition for this connection");
        endReading();
        return false;
      }
      if (m_last.state == LastPacket::State::kPassed) {
        // Resumed past the last packet: it was read in an earlier run.
        m_log.verbose("Already past the last packet (" + std::string(m_source->idName()) + " " +
                      id + ") on " + where + ": stopping acquisition for this connection");
        endReading();
        return false;
      }
      m_log.verbose("Scheduled to stop acquisition after receiving last " +
                    std::string(m_source->idName()) + " (= #" + id + ") on " + where);
    } else if (m_reader.endtime != TIME_UNSET) {
      m_log.verbose("Scheduled to stop acquisition after endtime of " + dateText(m_reader.endtime) +
                    " on " + where);
    }
    return true;
  } catch (const RelayException &e) {
    m_log.elog_complain(e.what());
    return false;
  }
}

void RelayConnection::readPackets() {
  ReaderLimits limits{m_reader.endtime, m_reader.tooOld, m_reader.tooNew, m_reader.checkUnstuff,
                      m_reader.suppressUnstuffErrors};
  PacketBatch batch;
  while (!stopping()) {
    batch.clear();
    if (m_source->next(m_context.internalTimeout, batch) == ReadResult::kEnd) return;
    for (std::shared_ptr<TarnPacket> &packet : batch) {
      bool goOn = handlePacket(packet, limits);
      // The queue's consumers hold the packet now, if it was passed on.
      packet->done();
      if (!goOn) {
        m_source->stoppedAt(*packet);
        m_source->handled();
        endReading();
        return;
      }
    }
    if (!batch.empty()) m_source->handled();
  }
}

bool RelayConnection::handlePacket(std::shared_ptr<TarnPacket> &packet,
                                   const ReaderLimits &limits) {
  double pkttime = packet->pkttime();
  bool last = limits.endtime == TIME_LAST && m_source->isLast(*packet);
  ReaderVerdict verdict =
      judgePacket(limits, last, pkttime, std_now(), [&] { return packet->checkUnstuffs(); });
  return actOnVerdict(packet, verdict, pkttime);
}

bool RelayConnection::actOnVerdict(std::shared_ptr<TarnPacket> &packet, ReaderVerdict verdict,
                                   double pkttime) {
  auto pushCounted = [&] {
    uint64_t bytes = static_cast<uint64_t>(std::max(0, packet->byteCount()));
    m_queue->push(packet);
    m_counters.relayed(1, bytes);
  };
  switch (verdict) {
    case ReaderVerdict::kPass:
      pushCounted();
      break;
    case ReaderVerdict::kPassLastAndStop:
      pushCounted();
      m_lastPacketTime.store(pkttime);
      m_log.verbose("Received last packet (" + std::string(m_source->idName()) + " " +
                    std::to_string(packet->placeId()) +
                    "): stopping acquisition for this connection");
      return false;
    case ReaderVerdict::kPassAndStop:
      m_log.verbose("Received a packet at specified endtime " + dateText(m_reader.endtime) +
                    ", stopping acquisition for this connection");
      pushCounted();
      m_lastPacketTime.store(pkttime);
      return false;
    case ReaderVerdict::kPastEndAndStop:
      m_log.verbose("Received a packet past specified endtime " + dateText(m_reader.endtime) +
                    ", stopping acquisition for this connection");
      return false;
    case ReaderVerdict::kTooOld:
      m_rejects.rejected(packet->srcname(), "too_old",
                         "Rejecting <" + packet->describe() + ">: age " +
                             durationText(std_now() - pkttime) +
                             " exceeds configured 'too_old' limit of " +
                             durationText(m_reader.tooOld),
                         false);
      return true;
    case ReaderVerdict::kTooNew:
      m_rejects.rejected(packet->srcname(), "too_new",
                         "Rejecting <" + packet->describe() + ">: lead on wall-clock of " +
                             durationText(pkttime - std_now()) +
                             " exceeds configured 'too_new' limit of " +
                             durationText(m_reader.tooNew),
                         false);
      return true;
    case ReaderVerdict::kNoUnstuff:
    case ReaderVerdict::kNoUnstuffQuiet: {
      bool quiet = verdict == ReaderVerdict::kNoUnstuffQuiet;
      m_rejects.rejected(packet->srcname(), "no_unstuff",
                         quiet ? std::string()
                               : "Rejecting <" + packet->describe() +
                                     ">: packet doesn't unstuff (" + packet->unstuffProblem() +
                                     "), and 'check_unstuff' is configured to 'true'",
                         quiet);
      return true;
    }
  }
  m_lastPacketTime.store(pkttime);
  if (m_log.getVerbose() > 1) {
    std::ostringstream line;
    line << m_source->names().lineName << " -> "
         << "Queue '" << queueName() << "': "
         << "read " << packet->describe();
    m_log.veryVerbose(line.str());
  }
  return true;
}

void RelayConnection::endReading() {
  // In the legacy syntax the one reader's end is the end of the whole run.
  if (m_reader.endStopsRelay) Stop.store(1);
}
