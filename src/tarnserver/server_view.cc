// Server: what sessions may ask of it beyond the ring (ServerView), and the
// traffic figures behind its rates.
#include <chrono>

#include "tarnserver/server.h"

namespace tarnserver {

std::string Server::serverId() const { return "tarnserver " + tarnName(); }

std::vector<ConnectionView> Server::connections() const {
  const double nowSeconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const Clock::time_point now = Clock::now();
  std::vector<ConnectionView> out;
  out.reserve(clients_.size());
  for (const auto &entry : clients_) {
    const Client &c = *entry.second;
    if (c.dead) continue;
    ConnectionView v;
    v.port = c.port == Port::kSeedlink   ? "SeedLink"
             : c.port == Port::kDatalink ? "DataLink"
                                         : "tarn";
    v.peer = c.peer;
    v.client = c.session->describe();
    v.connected = nowSeconds - std::chrono::duration<double>(now - c.since).count();
    v.streaming = c.session->streaming();
    v.packetsIn = c.session->putsStored();
    v.packetsOut = c.session->packetsSent();
    v.queuedBytes = c.session->outSize();
    out.push_back(std::move(v));
  }
  return out;
}

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
