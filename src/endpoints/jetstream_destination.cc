#include "endpoints/jetstream_destination.h"

#include <algorithm>
#include <chrono>

#include "base/stop.h"
#include "endpoints/jetstream_source.h"
#include "nats/jetstream_names.h"

namespace {

using Clock = std::chrono::steady_clock;

// Once the stop flag is set, a writer that ends gives up waiting for its
// acknowledgements after this long without progress.
constexpr double kGiveUpSeconds = 3.0;

}  // namespace

JetStreamDestination::JetStreamDestination(JetStreamEndpoint endpoint,
                                           const std::string &connection,
                                           const RelayContext &context)
    : m_endpoint(std::move(endpoint)),
      m_internalTimeout(context.internalTimeout),
      m_publisher(m_endpoint, context.targetName + " " + connection,
                  "RelayConnection '" + connection + "'", *context.log) {
  m_names = jetStreamNames(m_endpoint);
  m_names.handedTo = "published to " + m_names.named;
  m_names.readAgain = ": they will be read again when the relay restarts";
  m_publisher.onDrop([this](TarnPacket &packet, const std::string &why) {
    // Too large, or refused otherwise (the publisher's reasons for a size
    // begin "packet of").
    bool tooLarge = why.rfind("packet of ", 0) == 0;
    drop(packet, (tooLarge ? "too large for " : "refused by ") + m_names.named, why);
  });
  m_publisher.onStored([this](TarnPacket &packet) { delivered(packet); });
}

std::vector<std::string> JetStreamDestination::describe() const {
  return {"\t\twrite_to_natsurl\t" + jetstream::displayUrls(m_endpoint.urls),
          "\t\twrite_to_natsstream\t" + m_endpoint.stream,
          "\t\tnatssubject_prefix\t" + m_endpoint.subjectPrefix,
          std::string("\t\tnatsstream_create\t") + (m_endpoint.createStream ? "true" : "false")};
}

OpenResult JetStreamDestination::open(std::string &why) {
  why = m_publisher.open(std::max(1.0, m_internalTimeout));
  return why.empty() ? OpenResult::kOpened : OpenResult::kUnavailable;
}

PutResult JetStreamDestination::put(const std::shared_ptr<TarnPacket> &packet, double roomWait) {
  std::string why;  // publish() services the publisher first
  switch (m_publisher.publish(packet, roomWait, why)) {
    case JetStreamPublisher::Result::kSent:
      return PutResult::kTaken;
    case JetStreamPublisher::Result::kDropped:
      return PutResult::kDropped;  // the publisher said why
    case JetStreamPublisher::Result::kNoRoom:
      break;
  }
  return PutResult::kNoRoom;
}

std::string JetStreamDestination::waitingForRoom() {
  return "Waiting for " + m_names.where +
         " to take more packets: " + std::to_string(m_publisher.waiting()) +
         " packets not yet acknowledged";
}

LeftBehind JetStreamDestination::finish(bool abandoned) {
  auto progressAt = Clock::now();
  uint64_t seen = m_publisher.acknowledged();
  while (!abandoned && !m_publisher.awaitAll(0.2)) {
    if (m_publisher.acknowledged() != seen)
      seen = m_publisher.acknowledged(), progressAt = Clock::now();
    if (Stop.load() != 0 &&
        std::chrono::duration<double>(Clock::now() - progressAt).count() >= kGiveUpSeconds) {
      break;
    }
  }
  return {m_publisher.waiting(), m_publisher.relayedWaiting()};
}
