// JetStreamSource: a reader's packets from one JetStream stream, through a
// durable consumer named after the reader (JetStreamFetcher).
//
// The consumer keeps the reader's place: a message is acknowledged only once
// the packet it became is done, so a restart delivers again from just after
// the last packet done. The reader's expressions are applied here, since a
// stream does not select by source name; a message that cannot be a packet
// is left out and said so. A reader that ends waits, while that makes
// progress, for what it passed on to be done, and acknowledges it.
#pragma once

#include <memory>
#include <string>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "connection/relay_connection.h"
#include "connection/source_filter.h"
#include "nats/jetstream_endpoint.h"
#include "nats/jetstream_fetcher.h"

// How messages name a JetStream stream (readers and writers alike).
EndpointNames jetStreamNames(const JetStreamEndpoint &endpoint);

class JetStreamSource : public PacketSource {
 public:
  // `connection` names the reader (and, encoded, its durable consumer).
  JetStreamSource(JetStreamEndpoint endpoint, const std::string &connection,
                  const ReaderSettings &settings, const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  uint64_t reconnections() const override { return m_fetcher.reconnections(); }
  bool position() override;
  const char *idName() const override { return "stream sequence"; }
  LastPacket findLast() override;
  bool isLast(const TarnPacket &packet) const override;
  ReadResult next(double timeout, PacketBatch &batch) override;
  void stoppedAt(const TarnPacket &packet) override;
  void finish() override;

 private:
  const JetStreamEndpoint m_endpoint;
  const std::string m_connection;
  const double m_starttime;
  const RelayContext m_context;
  RelayLog &m_log;
  EndpointNames m_names;
  JetStreamFetcher m_fetcher;
  SourceFilter m_filter;
  std::vector<JetStreamDelivery> m_deliveries;
  uint64_t m_lastSequence = 0;
};
