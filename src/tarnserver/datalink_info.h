// The XML of DataLink's INFO answers, built from the ring and the server:
// every answer is a <DataLink> element (Version, ServerID, Capabilities)
// holding a <Status> element with the ring's figures; STREAMS adds a
// <StreamList> of the ring's streams, CONNECTIONS a <ConnectionList> of the
// server's clients. docs/datalink.md lists the attributes.
// Not thread-safe: built on the server's event thread.
#pragma once

#include <regex.h>

#include <cstdint>
#include <string>

#include "tarnserver/ring.h"
#include "tarnserver/server_view.h"

namespace tarnserver {

struct DatalinkInfoContext {
  const Ring &ring;
  const ServerView &server;
  std::string capabilities;
  uint32_t maxPacket = 0;
  size_t maxListed = 20000;  // streams or connections one answer lists
};

// The answer to INFO STATUS.
std::string datalinkStatusXml(const DatalinkInfoContext &ctx);
// The answer to INFO STREAMS: streams whose id `match` finds (every stream
// when null), ordered by id. `work` grows by the sources looked at.
std::string datalinkStreamsXml(const DatalinkInfoContext &ctx, const regex_t *match,
                               uint64_t &work);
// The answer to INFO CONNECTIONS: clients whose address or ID `match`
// finds (every client when null).
std::string datalinkConnectionsXml(const DatalinkInfoContext &ctx, const regex_t *match,
                                   uint64_t &work);

}  // namespace tarnserver
