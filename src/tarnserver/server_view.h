// What a session may ask of the server it runs in beyond its ring: the
// server's name and start, its traffic and its connections (the figures
// DataLink's INFO answers carry). The server implements it; tests give a
// fake.
// Not thread-safe: asked on the server's event thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnserver/session.h"

namespace tarnserver {

// Per second, over the last second or so.
struct TrafficRates {
  double rxPackets = 0, rxBytes = 0;  // packets stored, and their bytes
  double txPackets = 0, txBytes = 0;  // packets sent to clients, and every byte sent
};

class ServerView {
 public:
  virtual ~ServerView() = default;
  // How the server names itself to clients (tarnserver HOST:PORT).
  virtual std::string serverId() const = 0;
  // When it started, in seconds since the epoch.
  virtual double startTime() const = 0;
  virtual uint32_t clientCount() const = 0;
  virtual TrafficRates rates() const = 0;
  // Every client, as client listings show it (session.h).
  virtual std::vector<ClientListing> connections() const = 0;
};

}  // namespace tarnserver
