// TarnDestination: a writer's puts onto one tarn server, through one tag.
//
// The client library numbers every put, keeps it until the server
// acknowledges it, and sends it again after a reconnection; the destination
// keeps each put's number with its packet's read record (WriterAcks) and
// releases the record once the server acknowledged the put. A put waits
// while the server's window of unacknowledged puts is full.
#pragma once

#include <memory>
#include <string>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "endpoints/writer_acks.h"

class TarnTag;

class TarnDestination : public PacketDestination {
 public:
  // `tarnname` is the name as configured (perhaps empty, for a named tag).
  TarnDestination(std::shared_ptr<TarnTag> tag, std::string tarnname, const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  bool linkLost() const override;
  uint64_t reconnections() const override;
  PutResult put(const std::shared_ptr<TarnPacket> &packet, double roomWait) override;
  uint64_t acknowledgedSoFar() override;
  std::string waitingForRoom() override;
  void service() override;
  LeftBehind finish(bool abandoned) override;

 private:
  // Names the puts the server refused (they count as acknowledged), then
  // settles every put up to `count` and counts what was stored.
  // `refusals` false (read with `count`) says that none waits to be taken.
  void settle(uint64_t count, bool refusals = true);
  // Drops the packet, saying so, when it is larger than `most` (not 0).
  bool dropIfTooLarge(TarnPacket &packet, uint32_t bytes, uint32_t most);

  const std::shared_ptr<TarnTag> m_tag;
  const std::string m_tarnname;
  EndpointNames m_names;
  WriterAcks m_acks;
  uint32_t m_maxPacket = 0;  // the server's limit as last learnt; 0 unknown
};
