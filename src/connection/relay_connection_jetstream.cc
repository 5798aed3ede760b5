// RelayConnection's loops for a JetStream connection: a reader that reads a
// stream through its durable consumer onto its queue, and a writer that
// publishes what it pops onto a stream. They follow the tarn loops
// (relay_connection_run.cc): the same statuses, back-off and messages while
// the server cannot be reached, filters, end conditions, "Flushing queue"
// and end-of-data marks.
//
// Read positions: a JetStream reader's place is its durable consumer, which
// it acknowledges only up to packets that are done (JetStreamFetcher); a
// packet a JetStream writer takes counts as done only once JetStream
// acknowledged it (JetStreamPublisher). A reader that ends waits for its
// packets to be done, and acknowledges them, before its thread ends.
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "base/time_text.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "connection/source_filter.h"
#include "managers/relay_log_mgr.h"
#include "nats/jetstream_fetcher.h"
#include "nats/jetstream_names.h"
#include "nats/jetstream_publisher.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"

namespace {

bool stopping() { return Stop.load() != 0; }

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// How long a publish waits for room in the window before the writer says
// that it waits (and then waits on).
constexpr double kWindowFullReportSeconds = 1.0;
// Once the stop flag is set, a writer or a reader gives up waiting for
// acknowledgements after this long without progress.
constexpr double kGiveUpSeconds = 3.0;

std::string fixed6(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// Sleeps `seconds` truncated to whole seconds, waking early once the stop
// flag is set.
void backOff(double seconds) {
  auto end = Clock::now() + std::chrono::seconds(static_cast<long>(seconds));
  while (!stopping() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

double connectSeconds() { return std::max(1.0, RelayCnf->getDouble("internal_timeout_sec")); }

}  // namespace

bool RelayConnection::openJetStream(const std::function<std::string()> &attempt, bool evenIfStopping) {
  int factor = 1;
  bool first = evenIfStopping;
  while (first || !stopping()) {
    first = false;
    std::string why = attempt();
    if (why.empty()) {
      relayLog()->verbose("Connected to JetStream '" + jetstream->description() + "'" +
                          (direction == kRead ? " for reading" : " for writing"));
      return true;
    }
    if (stopping()) break;
    setStatus("sleeping");
    double wait = RelayCnf->getDouble("internal_timeout_sec") * factor;
    relayLog()->elog_complain("Waiting " + fixed6(wait) + " seconds for JetStream stream '" + jetstream->stream +
                              "' ('" + jetstream::displayUrls(jetstream->urls) + "') to become available: " + why);
    backOff(wait);
    if (factor <= 7) factor *= 2;
  }
  return false;
}

void RelayConnection::describeJetStream() {
  RelayLogMgr *log = relayLog();
  std::string side = direction == kRead ? "read_from" : "write_to";
  log->verbose("\t\t" + side + "_natsurl\t" + jetstream::displayUrls(jetstream->urls));
  log->verbose("\t\t" + side + "_natsstream\t" + jetstream->stream);
  if (direction == kRead) {
    log->verbose("\t\tnatsconsumer\t\t" + jetstream::consumerName(name));
  } else {
    log->verbose("\t\tnatssubject_prefix\t" + jetstream->subjectPrefix);
    log->verbose(std::string("\t\tnatsstream_create\t") + (jetstream->createStream ? "true" : "false"));
  }
}

// ---- Reader ----

void RelayConnection::runJetStreamReader() {
  std::shared_ptr<RelayQueue> q = getQueue();
  q->setProducer(name);
  JetStreamFetcher fetcher(*jetstream, jetstream::consumerName(name), RelayCnf->getTargetName() + " " + name,
                           "RelayConnection '" + name + "'");
  if (openJetStream([&] { return fetcher.open(connectSeconds(), starttime); }, false) && !stopping() &&
      prepareJetStreamReader(fetcher)) {
    setStatus("yes");
    readJetStream(*q, fetcher);
  }
  relayLog()->veryVerbose("Thread signalled to stop, pushing EOF onto queue");
  q->push_eof(name);
  finishJetStreamReading(fetcher);
}

bool RelayConnection::prepareJetStreamReader(JetStreamFetcher &fetcher) {
  std::string where = "JetStream '" + jetstream->description() + "'";
  relayLog()->verbose("Reading " + where + " through " + fetcher.placement() + ", from stream sequence " +
                      std::to_string(fetcher.firstSequence()));
  if (endtime == TIME_LAST) {
    lastSequence = fetcher.lastSequence();
    if (lastSequence == 0) {
      relayLog()->verbose("No packet to stop after on " + where + ": stopping acquisition for this connection");
      endReading();
      return false;
    }
    if (fetcher.firstSequence() > lastSequence) {
      relayLog()->verbose("Already past the last packet (stream sequence " + std::to_string(lastSequence) +
                          ") on " + where + ": stopping acquisition for this connection");
      endReading();
      return false;
    }
    relayLog()->verbose("Scheduled to stop acquisition after receiving last stream sequence (= #" +
                        std::to_string(lastSequence) + ") on " + where);
  } else if (endtime != TIME_UNSET) {
    relayLog()->verbose("Scheduled to stop acquisition after endtime of " + dateText(endtime) + " on " + where);
  }
  return true;
}

void RelayConnection::readJetStream(RelayQueue &q, JetStreamFetcher &fetcher) {
  ReaderLimits limits{endtime, tooOldLimit, tooNewLimit, checkUnstuff, suppressUnstuffErrorsFlag, -1};
  SourceFilter filter(match, reject);
  std::vector<JetStreamDelivery> batch;
  while (!stopping()) {
    fetcher.fetch(RelayCnf->getDouble("internal_timeout_sec"), batch);
    for (const JetStreamDelivery &delivery : batch) {
      if (!handleDelivery(q, delivery, filter, limits)) {
        fetcher.forgetAfter(delivery.sequence);
        endReading();
        return;
      }
    }
  }
}

bool RelayConnection::handleDelivery(RelayQueue &q, const JetStreamDelivery &d, SourceFilter &filter,
                                     const ReaderLimits &limits) {
  if (!d.problem.empty()) {
    relayLog()->elog_complain("Rejecting message " + std::to_string(d.sequence) + " of JetStream '" +
                              jetstream->description() + "': " + d.problem);
    d.record->release();
    return true;
  }
  if (!filter.passes(d.srcname)) {
    d.record->release();
    return true;
  }
  auto packet = std::make_shared<TarnPacket>("jetstream:" + jetstream->stream, d.sequence, d.srcname, d.time,
                                             d.data, d.length, d.record);
  bool goOn = true;
  if (endtime == TIME_LAST && d.sequence >= lastSequence) {
    q.push(packet);
    setLastPacketTime(d.time);
    relayLog()->verbose("Received last packet (stream sequence " + std::to_string(d.sequence) +
                        "): stopping acquisition for this connection");
    goOn = false;
  } else {
    ReaderVerdict verdict = endtime == TIME_LAST
                                ? ReaderVerdict::kPass
                                : judgePacket(limits, -1, d.time, std_now(), [&] { return packet->checkUnstuffs(); });
    goOn = actOnVerdict(q, packet, verdict, d.time);
  }
  packet->done();  // the queue's consumers hold it now, if it was passed on
  return goOn;
}

// Waits for the packets the reader passed on to be done, acknowledging them
// as they are; once the stop flag is set, only while that makes progress.
void RelayConnection::finishJetStreamReading(JetStreamFetcher &fetcher) {
  auto progressAt = Clock::now();
  size_t pending = fetcher.pending();
  while (fetcher.held() > 0) {
    fetcher.acknowledgeDone();
    if (fetcher.pending() != pending) pending = fetcher.pending(), progressAt = Clock::now();
    if (fetcher.held() == 0 || (stopping() && secondsSince(progressAt) >= kGiveUpSeconds)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (fetcher.held() == 0) return;
  relayLog()->elog_complain("RelayConnection '" + name + "' ends with " + std::to_string(fetcher.held()) +
                            " messages of JetStream '" + jetstream->description() +
                            "' not acknowledged: JetStream delivers them again when the relay starts again");
}

// ---- Writer ----

void RelayConnection::runJetStreamWriter() {
  JetStreamPublisher publisher(*jetstream, RelayCnf->getTargetName() + " " + name, "RelayConnection '" + name + "'");
  if (!openJetStream([&] { return publisher.open(connectSeconds()); }, true)) return;
  std::shared_ptr<RelayQueue> q = getQueue();
  q->setConsumer(name, maxqueue, maxqueuebytes);
  setStatus("yes");
  bool flushing = false;
  auto announceFlush = [&] {
    if (!stopping() || flushing) return;
    relayLog()->verbose("Flushing queue");
    flushing = true;
  };
  for (;;) {
    announceFlush();
    publisher.service();
    std::shared_ptr<TarnPacket> packet;
    try {
      packet = q->pop(name);
    } catch (const RelayNodataException &) {
      relayLog()->veryVerbose("Nodata reading from queue, continuing");
      continue;
    } catch (const RelayEOFException &) {
      announceFlush();
      relayLog()->veryVerbose("Read EOF from queue, terminating connection");
      finishPublishing(publisher, *q, false);
      return;
    } catch (const RelayException &) {
      relayLog()->elog_complain("RelayConnection '" + name + "' failed to pop packet off of queue '" +
                                q->getString("queuename") + "'");
      continue;
    }
    queueCount.store(q->getQueueCount(name));
    if (!publishPacket(packet, publisher)) {
      finishPublishing(publisher, *q, true);
      return;
    }
  }
}

// Publishes one packet, waiting for room in the window; false when the
// writer is stopping and JetStream has taken nothing for kGiveUpSeconds (the
// packet stays held, so a restart reads it again).
bool RelayConnection::publishPacket(std::shared_ptr<TarnPacket> &packet, JetStreamPublisher &publisher) {
  auto progressAt = Clock::now();
  uint64_t seen = publisher.acknowledged();
  bool said = false;
  for (;;) {
    std::string why;
    JetStreamPublisher::Result result = publisher.publish(packet, kWindowFullReportSeconds, why);
    if (result == JetStreamPublisher::Result::kDropped) return true;  // reported by the publisher
    if (result == JetStreamPublisher::Result::kSent) break;
    if (!said) {
      said = true;
      relayLog()->verbose("Waiting for JetStream '" + jetstream->description() + "' to take more packets: " +
                          std::to_string(publisher.waiting()) + " packets not yet acknowledged");
    }
    if (publisher.acknowledged() != seen) seen = publisher.acknowledged(), progressAt = Clock::now();
    if (stopping() && secondsSince(progressAt) >= kGiveUpSeconds) {
      relayLog()->elog_complain("RelayConnection '" + name + "' failed to put packet to JetStream '" +
                                jetstream->description() + "'");
      relayLog()->verbose("Abandoning queue flush -- exiting");
      return false;
    }
  }
  setLastPacketTime(packet->pkttime());
  if (!packet->getBool("is_internal_log") && relayLog()->getVerbose() > 1) {
    std::ostringstream line;
    line << "Queue '" << queuename << "' -> " << "JetStream '" << jetstream->description() << "': " << "wrote "
         << packet->describe();
    relayLog()->veryVerbose(line.str());
  }
  return true;
}

// Waits for every publish to be acknowledged (once the stop flag is set,
// only while that makes progress) and says what is left behind.
void RelayConnection::finishPublishing(JetStreamPublisher &publisher, RelayQueue &q, bool abandoned) {
  auto progressAt = Clock::now();
  uint64_t seen = publisher.acknowledged();
  while (!abandoned && !publisher.awaitAll(0.2)) {
    if (publisher.acknowledged() != seen) seen = publisher.acknowledged(), progressAt = Clock::now();
    if (stopping() && secondsSince(progressAt) >= kGiveUpSeconds) break;
  }
  size_t queued = abandoned ? static_cast<size_t>(std::max(0, q.getQueueCount(name))) : 0;
  size_t waiting = publisher.waiting();
  if (waiting == 0 && queued == 0) return;
  size_t relayed = publisher.relayedWaiting();
  std::string text = "RelayConnection '" + name + "' ends with " + std::to_string(relayed) +
                     " packets published to JetStream '" + jetstream->description() + "' not acknowledged";
  if (abandoned) text += " and " + std::to_string(queued) + " packets still queued";
  text += ": they will be read again when the relay restarts";
  if (waiting > relayed) {
    text += " (" + std::to_string(waiting - relayed) + " of the relay's own log and status packets are lost)";
  }
  relayLog()->elog_complain(text);
}
