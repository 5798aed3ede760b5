// RelayConnection::run: the body of a connection's thread.
//
// A reader opens its tag, applies its expressions, positions the tag and
// reaps packets onto its queue until the stop flag, the server's end of data
// or its end condition, and then pushes its end-of-data mark. A writer opens
// its tag, registers as a consumer of its queue and puts each packet it pops
// until the queue yields the end-of-data mark; once the stop flag is set it
// goes on until then ("flushing"), so nothing queued before the stop is lost.
//
// Read positions: the reader holds each packet it reaps until it has pushed
// it or left it out; a writer holds each packet it pops until its server has
// acknowledged the put (WriterAcks). What a writer cannot finish (a flush it
// gives up, puts left unacknowledged) stays held, so the statefile keeps the
// position before it and a restart reads it again; the writer says so.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "base/termination_signals.h"
#include "base/time_text.h"
#include "config/relay_config.h"
#include "connection/reader_filter.h"
#include "connection/relay_connection.h"
#include "connection/writer_acks.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

bool stopping() { return Stop.load() != 0; }

// How long a put waits for room in its server's window before the writer
// says that it waits (and then waits on).
constexpr double kWindowFullReportSeconds = 1.0;
// A writer that ends waits this long for its last puts to be acknowledged;
// once the stop flag is set, only while the server still answers.
constexpr double kFinalAcknowledgementSeconds = 1e9;

std::string fixed6(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// Sleeps `seconds` truncated to whole seconds (below one second: no pause),
// waking early once the stop flag is set so that a stop is not held up by a
// long back-off.
void backOff(double seconds) {
  using std::chrono::milliseconds;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<long>(seconds));
  while (!stopping() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(50));
  }
}

}  // namespace

void RelayConnection::run() {
  blockTerminationSignals();
  RelayCnf->nameThread("connection_" + name);
  relayLog()->verbose("Thread starting");
  setStatus("reg");
  setQueue(RelayCnf->getRelayQueue(queuename));
  if (jetstream) {
    direction == kRead ? runJetStreamReader() : runJetStreamWriter();
  } else if (direction == kRead) {
    runReader();
  } else if (direction == kWrite) {
    runWriter();
  }
  setStatus("stopped");
  relayLog()->verbose("Thread finished");
}

bool RelayConnection::openTag(const std::string &mode, bool evenIfStopping) {
  int factor = 1;
  bool first = evenIfStopping;
  while (!tag->isOpen() && (first || !stopping())) {
    first = false;
    try {
      tag->open(mode);
    } catch (const RelayTarnOpenException &) {
      if (stopping()) break;
      setStatus("sleeping");
      double wait = RelayCnf->getDouble("internal_timeout_sec") * factor;
      relayLog()->elog_complain("Waiting " + fixed6(wait) + " seconds for tarn '" + tagname +
                                "' ('" + tag->getString("tarnname") + "') to become available");
      backOff(wait);
      if (factor <= 7) factor *= 2;
    }
  }
  return tag->isOpen();
}

// ---- Reader ----

void RelayConnection::runReader() {
  // The reader has been this queue's producer since configuration, so its
  // end-of-data mark is pushed however the thread ends, also when the stop
  // came before its tag opened.
  std::shared_ptr<RelayQueue> q = getQueue();
  q->setProducer(name);
  if (openTag("read", false) && !stopping() && prepareReader()) {
    setStatus("yes");
    readPackets(*q);
  }
  relayLog()->veryVerbose("Thread signalled to stop, pushing EOF onto queue");
  q->push_eof(name);
}

bool RelayConnection::prepareReader() {
  try {
    if (!match.empty()) {
      int count = tag->select(match);
      relayLog()->verbose("Matched " + std::to_string(count) +
                          " sources after selecting on expression '" + match + "'");
    }
    if (!reject.empty()) {
      int count = tag->reject(reject);
      relayLog()->verbose("Matched " + std::to_string(count) +
                          " sources after rejecting on expression '" + reject + "'");
    }
    tag->setPositionOwner(positionOwner);
    tag->smartReposition(starttime);
    if (endtime == TIME_LAST) {
      lastPktid = tag->getNewestPktid();
      if (lastPktid < 0) {
        // Nothing to deliver when reading begins: there is no last packet
        // to wait for, and waiting for one would never end.
        relayLog()->verbose("No packet to stop after on tarn " + tag->getJointName() +
                            ": stopping acquisition for this connection");
        endReading();
        return false;
      }
      if (pktidAfter(tag->nextPktid(), lastPktid)) {
        // Resumed past the last packet: it was read in an earlier run.
        relayLog()->verbose("Already past the last packet (pktid " + std::to_string(lastPktid) +
                            ") on tarn " + tag->getJointName() +
                            ": stopping acquisition for this connection");
        endReading();
        return false;
      }
      relayLog()->verbose("Scheduled to stop acquisition after receiving last pktid (= #" +
                          std::to_string(lastPktid) + ") on tarn " + tag->getJointName());
    } else if (endtime != TIME_UNSET) {
      relayLog()->verbose("Scheduled to stop acquisition after endtime of " + dateText(endtime) +
                          " on tarn " + tag->getJointName());
    }
    return true;
  } catch (const RelayException &e) {
    relayLog()->elog_complain(e.what());
    return false;
  }
}

void RelayConnection::readPackets(RelayQueue &q) {
  ReaderLimits limits{endtime, tooOldLimit, tooNewLimit, checkUnstuff, suppressUnstuffErrorsFlag,
                      lastPktid};
  // A reader the statefile had no place for saves its place as soon as it
  // has one: a crash before the next save would otherwise start it again at
  // the newest packet, past what arrived in between.
  bool saveFirstPlace = tag->readPosition().resumePoint().id < 0;
  while (!stopping()) {
    std::shared_ptr<TarnPacket> packet;
    try {
      packet = TarnPacket::reap_timeout(tag, RelayCnf->getDouble("internal_timeout_sec"));
    } catch (const RelayTimeoutException &) {
      continue;
    } catch (const RelayEOFException &e) {
      relayLog()->veryVerbose(
          std::string("Received EOF on TarnHandle::reap_timeout, terminating connection: ") +
          e.what());
      return;
    } catch (const RelayException &e) {
      relayLog()->veryVerbose(
          std::string("Received exception on TarnHandle::reap_timeout, attempting to continue: ") +
          e.what());
      continue;
    }
    bool goOn = handlePacket(q, packet, limits);
    // The queue's consumers hold the packet now, if it was passed on.
    packet->done();
    if (saveFirstPlace) {
      saveFirstPlace = false;
      if (RelayStateMgr *state = RelayCnf->omstate()) state->saveNow();
    }
    if (!goOn) {
      endReading();
      return;
    }
  }
}

bool RelayConnection::handlePacket(RelayQueue &q, std::shared_ptr<TarnPacket> &packet,
                                   const ReaderLimits &limits) {
  double pkttime = packet->getDouble("pkttime");
  double now = std_now();
  ReaderVerdict verdict = judgePacket(limits, packet->getInt("pktid"), pkttime, now,
                                      [&] { return packet->getBool("unstuffs"); });
  return actOnVerdict(q, packet, verdict, pkttime);
}

bool RelayConnection::actOnVerdict(RelayQueue &q, std::shared_ptr<TarnPacket> &packet,
                                   ReaderVerdict verdict, double pkttime) {
  switch (verdict) {
    case ReaderVerdict::kPass:
      q.push(packet);
      break;
    case ReaderVerdict::kPassLastAndStop:
      q.push(packet);
      setLastPacketTime(pkttime);
      relayLog()->verbose("Received last packet (pktid " + std::to_string(packet->getInt("pktid")) +
                          "): stopping acquisition for this connection");
      return false;
    case ReaderVerdict::kPassAndStop:
      relayLog()->verbose("Received a packet at specified endtime " + dateText(endtime) +
                          ", stopping acquisition for this connection");
      q.push(packet);
      setLastPacketTime(pkttime);
      return false;
    case ReaderVerdict::kPastEndAndStop:
      relayLog()->verbose("Received a packet past specified endtime " + dateText(endtime) +
                          ", stopping acquisition for this connection");
      return false;
    case ReaderVerdict::kTooOld:
      relayLog()->elog_complain("Rejecting <" + packet->describe() + ">: age " +
                                durationText(std_now() - pkttime) +
                                " exceeds configured 'too_old' limit of " +
                                durationText(tooOldLimit));
      return true;
    case ReaderVerdict::kTooNew:
      relayLog()->elog_complain("Rejecting <" + packet->describe() + ">: lead on wall-clock of " +
                                durationText(pkttime - std_now()) +
                                " exceeds configured 'too_new' limit of " +
                                durationText(tooNewLimit));
      return true;
    case ReaderVerdict::kNoUnstuff:
      relayLog()->elog_complain("Rejecting <" + packet->describe() +
                                ">: packet doesn't unstuff, and 'check_unstuff' is configured "
                                "to 'true'");
      return true;
    case ReaderVerdict::kNoUnstuffQuiet:
      return true;
  }
  setLastPacketTime(pkttime);
  if (relayLog()->getVerbose() > 1) {
    std::ostringstream line;
    line << (jetstream ? "JetStream '" + getString("tarnname") : "Tarn '" + tagname) << "' -> "
         << "Queue '" << queuename << "': " << "read " << packet->describe();
    relayLog()->veryVerbose(line.str());
  }
  return true;
}

void RelayConnection::endReading() {
  // In the legacy syntax the one reader's end is the end of the whole run.
  if (RelayCnf->isLegacy()) Stop.store(1);
}

// ---- Writer ----

void RelayConnection::runWriter() {
  // A writer tries its server at least once and, once its tag is open,
  // drains its queue even when the stop came first: what the readers queued
  // before they stopped (a legacy reader that reached its end at once, say)
  // would otherwise be lost.
  if (!openTag("write", true)) return;
  std::shared_ptr<RelayQueue> q = getQueue();
  q->setConsumer(name, maxqueue, maxqueuebytes);
  setStatus("yes");
  WriterAcks acks;
  bool flushing = false;
  auto announceFlush = [&] {
    if (!stopping() || flushing) return;
    relayLog()->verbose("Flushing queue");
    flushing = true;
  };
  for (;;) {
    announceFlush();
    std::shared_ptr<TarnPacket> packet;
    try {
      packet = q->pop(name);
    } catch (const RelayNodataException &) {
      relayLog()->veryVerbose("Nodata reading from queue, continuing");
      acks.acknowledged(tag->collectAcknowledgements());
      continue;
    } catch (const RelayEOFException &) {
      announceFlush();  // the stop came while the writer waited for this
      relayLog()->veryVerbose("Read EOF from queue, terminating connection");
      finishWriting(acks, *q, false);
      return;
    } catch (const RelayException &) {
      relayLog()->elog_complain("RelayConnection '" + name +
                                "' failed to pop packet off of queue '" +
                                q->getString("queuename") + "'");
      continue;
    }
    queueCount.store(q->getQueueCount(name));
    if (!writePacket(packet, acks)) {
      finishWriting(acks, *q, true);
      return;
    }
  }
}

bool RelayConnection::writePacket(std::shared_ptr<TarnPacket> &packet, WriterAcks &acks) {
  TarnTag::PutReceipt receipt;
  try {
    if (packet->put(tag, &receipt, kWindowFullReportSeconds) == TarnTag::kWindowFull) {
      sayWindowFull(acks);
      packet->put(tag, &receipt);
    } else {
      acks.windowFullSaid = false;
    }
  } catch (const RelayException &) {
    relayLog()->elog_complain("RelayConnection '" + name + "' failed to put packet to tarn '" +
                              tag->getString("tarnname") + "'");
    if (stopping()) {
      // The packet stays held: the statefile keeps the position before it.
      relayLog()->verbose("Abandoning queue flush -- exiting");
      return false;
    }
    relayLog()->veryVerbose("Attempting to continue after write failure");
    packet->done();  // dropped, and said so
    return true;
  }
  acks.put(receipt.number, packet->readRecord());
  acks.acknowledged(receipt.acknowledged);
  setLastPacketTime(packet->getDouble("pkttime"));
  if (!packet->getBool("is_internal_log") && relayLog()->getVerbose() > 1) {
    std::ostringstream line;
    line << "Queue '" << queuename << "' -> " << "Tarn '" << tagname << "': " << "wrote "
         << packet->describe();
    relayLog()->veryVerbose(line.str());
  }
  return true;
}

void RelayConnection::sayWindowFull(WriterAcks &acks) {
  if (acks.windowFullSaid) return;
  acks.windowFullSaid = true;
  char mib[32];
  std::snprintf(mib, sizeof mib, "%.1f", static_cast<double>(tag->unacknowledgedBytes()) / (1 << 20));
  relayLog()->verbose("Waiting for tarn " + tag->getJointName() + " to take more packets: " +
                      std::to_string(tag->unacknowledgedPuts()) + " puts (" + mib +
                      " MiB) not yet acknowledged");
}

// Waits for the writer's last puts to be acknowledged, and says what it
// leaves behind: packets not acknowledged (or, after an abandoned flush,
// still queued) are read again after a restart on the statefile.
void RelayConnection::finishWriting(WriterAcks &acks, RelayQueue &q, bool abandoned) {
  if (!abandoned && acks.waiting() > 0) {
    tag->awaitAcknowledged(acks.lastPut(), kFinalAcknowledgementSeconds);
  }
  acks.acknowledged(tag->collectAcknowledgements());
  size_t queued = abandoned ? static_cast<size_t>(std::max(0, q.getQueueCount(name))) : 0;
  if (acks.waiting() == 0 && queued == 0) return;
  size_t relayed = acks.relayedWaiting();
  size_t own = acks.waiting() - relayed;
  std::string text = "RelayConnection '" + name + "' ends with " + std::to_string(relayed) +
                     " packets put to tarn '" + tag->getString("tarnname") + "' not acknowledged";
  if (abandoned) text += " and " + std::to_string(queued) + " packets still queued";
  text += ": they will be read again when the relay restarts on its statefile";
  if (own > 0) text += " (" + std::to_string(own) + " of the relay's own log and status packets are lost)";
  relayLog()->elog_complain(text);
}
