// Server: what sessions may ask of it beyond the ring (ServerView), and the
// traffic figures behind its rates.
#include <chrono>

#include "tarnserver/server.h"

namespace tarnserver {

std::string Server::serverId() const { return "tarnserver " + tarnName(); }

void Server::sampleTraffic() {
  TrafficMeter::Totals t;
  t.rxPackets = ring_.nextSeq();
  t.rxBytes = ring_.bytesStored();
  t.txPackets = packetsSentGone_;
  for (const auto &entry : clients_) t.txPackets += entry.second->session->packetsSent();
  t.txBytes = bytesSent_;
  traffic_.sample(now_, t);
}

}  // namespace tarnserver
