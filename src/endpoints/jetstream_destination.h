// JetStreamDestination: a writer's publishing onto one JetStream stream
// (JetStreamPublisher: asynchronous, a bounded window, every message not
// acknowledged sent again in order after a reconnection, JetStream's
// duplicate window dropping what it stored before).
//
// A packet counts as written once JetStream acknowledged its message. A
// packet JetStream can never take is dropped, said so by the publisher, and
// done. A writer that ends waits for its acknowledgements while JetStream
// makes progress.
#pragma once

#include <string>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "nats/jetstream_endpoint.h"
#include "nats/jetstream_publisher.h"

class JetStreamDestination : public PacketDestination {
 public:
  JetStreamDestination(JetStreamEndpoint endpoint, const std::string &connection,
                       const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  bool linkLost() const override { return m_publisher.linkLost(); }
  uint64_t reconnections() const override { return m_publisher.reconnections(); }
  PutResult put(const std::shared_ptr<TarnPacket> &packet, double roomWait) override;
  uint64_t acknowledgedSoFar() override { return m_publisher.acknowledged(); }
  std::string waitingForRoom() override;
  void service() override { m_publisher.service(); }
  LeftBehind finish(bool abandoned) override;

 private:
  const JetStreamEndpoint m_endpoint;
  const double m_internalTimeout;
  EndpointNames m_names;
  JetStreamPublisher m_publisher;
};
