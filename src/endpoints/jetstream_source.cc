#include "endpoints/jetstream_source.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/relay_log.h"
#include "base/stop.h"
#include "nats/jetstream_names.h"
#include "tarn/tarn_packet.h"

namespace {

using Clock = std::chrono::steady_clock;

// Once the stop flag is set, a reader that ends gives up waiting for its
// packets to be done after this long without progress.
constexpr double kGiveUpSeconds = 3.0;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

EndpointNames jetStreamNames(const JetStreamEndpoint &endpoint) {
  EndpointNames names;
  std::string described = "JetStream '" + endpoint.description() + "'";
  names.where = described;
  names.named = described;
  names.awaited = "JetStream stream '" + endpoint.stream + "' ('" +
                  jetstream::displayUrls(endpoint.urls) + "')";
  names.lineName = described;
  names.server = endpoint.description();
  return names;
}

JetStreamSource::JetStreamSource(JetStreamEndpoint endpoint, const std::string &connection,
                                 const ReaderSettings &settings, const RelayContext &context)
    : m_endpoint(std::move(endpoint)),
      m_connection(connection),
      m_starttime(settings.starttime),
      m_context(context),
      m_log(*context.log),
      m_names(jetStreamNames(m_endpoint)),
      m_fetcher(m_endpoint, jetstream::consumerName(connection),
                context.targetName + " " + connection, "RelayConnection '" + connection + "'",
                *context.log),
      m_filter(settings.match, settings.reject) {}

std::vector<std::string> JetStreamSource::describe() const {
  return {"\t\tread_from_natsurl\t" + jetstream::displayUrls(m_endpoint.urls),
          "\t\tread_from_natsstream\t" + m_endpoint.stream,
          "\t\tnatsconsumer\t\t" + jetstream::consumerName(m_connection)};
}

OpenResult JetStreamSource::open(std::string &why) {
  why = m_fetcher.open(std::max(1.0, m_context.internalTimeout), m_starttime);
  return why.empty() ? OpenResult::kOpened : OpenResult::kUnavailable;
}

bool JetStreamSource::position() {
  m_log.verbose("Reading " + m_names.where + " through " + m_fetcher.placement() +
                ", from stream sequence " + std::to_string(m_fetcher.firstSequence()));
  return true;
}

LastPacket JetStreamSource::findLast() {
  m_lastSequence = m_fetcher.lastSequence();
  LastPacket last;
  last.id = static_cast<long long>(m_lastSequence);
  if (m_lastSequence == 0) {
    last.state = LastPacket::State::kNone;
  } else if (m_fetcher.firstSequence() > m_lastSequence) {
    last.state = LastPacket::State::kPassed;
  } else {
    last.state = LastPacket::State::kAhead;
  }
  return last;
}

bool JetStreamSource::isLast(const TarnPacket &packet) const {
  return static_cast<uint64_t>(packet.placeId()) >= m_lastSequence;
}

ReadResult JetStreamSource::next(double timeout, PacketBatch &batch) {
  m_fetcher.fetch(timeout, m_deliveries);
  for (const JetStreamDelivery &d : m_deliveries) {
    if (!d.problem.empty()) {
      m_log.elog_complain("Rejecting message " + std::to_string(d.sequence) + " of " +
                          m_names.where + ": " + d.problem);
      d.record->release();
      continue;
    }
    if (!m_filter.passes(d.srcname)) {
      d.record->release();
      continue;
    }
    batch.push_back(std::make_shared<TarnPacket>("jetstream:" + m_endpoint.stream, d.sequence,
                                                 d.srcname, d.time, d.data, d.length, d.record));
  }
  return ReadResult::kMore;
}

void JetStreamSource::stoppedAt(const TarnPacket &packet) {
  m_fetcher.forgetAfter(static_cast<uint64_t>(packet.placeId()));
}

// Waits for the packets the reader passed on to be done, acknowledging them
// as they are; once the stop flag is set, only while that makes progress.
void JetStreamSource::finish() {
  auto progressAt = Clock::now();
  size_t pending = m_fetcher.pending();
  while (m_fetcher.held() > 0) {
    m_fetcher.acknowledgeDone();
    if (m_fetcher.pending() != pending) pending = m_fetcher.pending(), progressAt = Clock::now();
    if (m_fetcher.held() == 0 || (Stop.load() != 0 && secondsSince(progressAt) >= kGiveUpSeconds))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (m_fetcher.held() == 0) return;
  m_log.elog_complain(
      "RelayConnection '" + m_connection + "' ends with " + std::to_string(m_fetcher.held()) +
      " messages of " + m_names.where +
      " not acknowledged: JetStream delivers them again when the relay starts again");
}
