// The tarn server's network side: one thread, one epoll loop.
//
// The loop accepts clients, reads their frames into a ClientSession, writes
// the sessions' output, and after every round feeds streaming clients the
// packets that arrived (so readers wait without polling).
//
// What one client can cost is bounded:
//  - input: only the bytes that have arrived and are not handled yet (at
//    most one frame being received, or the frames a session left for its
//    next turn); a large frame is read into a buffer of its size, and only
//    from a client that may send it; one that sends nothing for a sweep
//    or two holds no large buffer (ClientInput);
//  - output: the session reads no further frame once kOutputHardLimit bytes
//    wait, and the server stops reading the client until it takes them;
//  - time: each turn handles at most one read and a bounded amount of work
//    (SessionLimits::workBudget); what is left waits for the next round,
//    after the other clients had theirs;
//  - all clients' buffers together stay under the memory limit (-M): past
//    it, the client holding the most is dropped; past half of it, streams
//    are fed in small steps;
//  - slots: ConnectionSlots (-c, -L), shared by every port; a client must greet within the
//    handshake time-out and send a request every -t seconds unless it waits
//    for packets.
// When the process runs out of descriptors the server closes its spare one
// to accept and at once close the connections that wait, stops watching for
// new ones a moment, and logs the episode once.
//
// With --seedlink a second port speaks SeedLink (SeedlinkSession), with
// --datalink another DataLink (DatalinkSession), under the same bounds;
// every kind of client is served by the same loop. The server answers what
// sessions ask of it beyond the ring (ServerView: its traffic, its
// clients).
//
// A client that breaks the protocol, or is refused, gets an error frame and
// is dropped; the others never notice. Refusals are logged once per address
// and hour (RefusalLog).
//
// SIGINT and SIGTERM (through a signalfd) end run(); the caller then syncs
// the ring. Not thread-safe: everything runs on the thread that calls run().
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/hostname/allowed_hosts.h"
#include "tarnserver/access_control.h"
#include "tarnserver/client_input.h"
#include "tarnserver/client_session.h"
#include "tarnserver/connection_slots.h"
#include "tarnserver/refusal_log.h"
#include "tarnserver/ring.h"
#include "tarnserver/server_options.h"
#include "tarnserver/server_view.h"
#include "tarnserver/traffic_meter.h"

namespace tarnserver {

class Server : public ServerView {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kOutputSoftLimit = 1 << 20;  // stop streaming into it
  static constexpr size_t kOutputHardLimit = 8 << 20;  // stop reading the client
  static constexpr size_t kOutputPressed = 64 << 10;   // streaming step past half the memory limit
  static constexpr size_t kReadChunk = 256 << 10;      // bytes one read asks for
  static constexpr std::chrono::seconds kHandshakeTimeout{10};
  // epoll tags of the listening sockets and the signalfd (clients: their fd)
  static constexpr int kListenTag = -1;
  static constexpr int kSignalTag = -2;
  static constexpr int kSeedlinkListenTag = -3;
  static constexpr int kDatalinkListenTag = -4;

  Server(Ring &ring, const ServerOptions &opt);
  ~Server() override;
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and listens; false with the reason in err.
  bool listen(std::string &err);
  int port() const { return port_; }
  // The SeedLink port (0 without --seedlink), and HOST:PORT as clients name it.
  int seedlinkPort() const { return seedlinkPort_; }
  std::string seedlinkName() const;
  // The DataLink port (0 without --datalink), and HOST:PORT.
  int datalinkPort() const { return datalinkPort_; }
  std::string datalinkName() const;
  // The tarn name clients use to reach this server.
  std::string tarnName() const;
  // Serves until SIGINT or SIGTERM (blocked by the caller); returns the signal.
  int run();

  // ServerView (server_view.cc).
  std::string serverId() const override;
  double startTime() const override { return startTime_; }
  uint32_t clientCount() const override { return figures_.clients; }
  TrafficRates rates() const override { return traffic_.rates(); }
  std::vector<ClientListing> connections() const override;

 private:
  // Which port a client came through.
  enum class Port { kTarn, kSeedlink, kDatalink };
  struct Client {
    int fd = -1;
    uint32_t addr = 0;  // IPv4, host byte order
    std::string host;   // the address as text
    std::string peer;   // host:port
    Port port = Port::kTarn;
    std::unique_ptr<Session> session;
    ClientInput in;        // bytes received and not handled yet
    bool backlog = false;  // `in` holds whole frames left for a later turn
    bool writeWatched = false;
    bool readPaused = false;
    bool dead = false;
    std::string why;                // reason for dropping it
    Clock::time_point since;        // accepted
    double sinceWall = 0.0;         // accepted, epoch seconds
    uint64_t bytesIn = 0, bytesOut = 0;
    Clock::time_point lastRequest;  // its latest whole frame (or accepted)
    size_t accounted = 0;           // bytes of buffers counted in memUsed_
  };

  bool resolveAddress(const std::string &address, const char *option, in_addr &out,
                      std::string &err) const;
  // Accepting (server_accept.cc).
  bool listenOn(const std::string &address, const char *option, int port, int &fd, int &bound,
                std::string &host, std::string &err);
  void acceptClients(int listenFd, Port port);
  void admit(int fd, uint32_t addr, const std::string &peer, Port port);
  std::unique_ptr<Session> makeSession(Port port, ClientAccess access);
  void refuseNow(int fd, const std::string &host, int32_t code, const std::string &text, Port port);
  void shedExcess();
  void endShedding();
  void pauseListening(bool paused);
  // Serving (server_clients.cc).
  void onEvent(Client &c, uint32_t events);
  void onReadable(Client &c);
  void processInput(Client &c, const char *data, size_t n);
  void flushOut(Client &c);
  void updateEvents(Client &c);
  void drop(Client &c, const std::string &why);
  void refuse(Client &c, int32_t code, const std::string &text);
  bool serviceBacklogs();
  bool serviceStreams();
  void account(Client &c);
  void enforceMemoryLimit();
  void sweepTimeouts();
  int waitMs(bool busy) const;
  void reapDead();
  void logDrop(const Client &c);
  // Hands the traffic meter the totals (server_view.cc).
  void sampleTraffic();

  Ring &ring_;
  const ServerOptions opt_;
  AccessPolicy access_;
  SessionLimits limits_;
  ServerFigures figures_;
  ConnectionSlots slots_;
  RefusalLog refusals_;
  // The web pages whose WebSockets the SeedLink port takes (--seedlink-origin).
  const hostname::AllowedHosts origins_;
  const uint64_t memoryLimit_;
  const std::chrono::seconds idleTimeout_;
  const std::chrono::seconds handshakeTimeout_;
  int listenFd_ = -1;
  int seedlinkFd_ = -1;  // -1 without --seedlink
  int seedlinkPort_ = 0;
  std::string seedlinkHost_;
  int datalinkFd_ = -1;  // -1 without --datalink
  int datalinkPort_ = 0;
  std::string datalinkHost_;
  int epollFd_ = -1;
  int signalFd_ = -1;
  int spareFd_ = -1;
  int port_ = 0;
  std::string host_;  // the address listened on, as clients name it (127.0.0.1 for every interface)
  std::map<int, std::unique_ptr<Client>> clients_;
  std::vector<char> scratch_;  // where every read lands first
  uint64_t memUsed_ = 0;       // client buffers, all clients
  uint64_t memFreed_ = 0;      // released since the allocator was last trimmed
  // Descriptor exhaustion: an episode runs from the first failed accept to
  // the next one that succeeds.
  bool shedding_ = false;
  uint64_t shed_ = 0;
  bool listenPaused_ = false;
  Clock::time_point listenResume_{};
  Clock::time_point nextSweep_{};
  Clock::time_point now_{};  // read once per round of the loop
  // Traffic: bytes written to clients, packets sent to clients gone.
  TrafficMeter traffic_;
  uint64_t bytesSent_ = 0;
  uint64_t packetsSentGone_ = 0;
  double startTime_ = 0;  // seconds since the epoch
};

}  // namespace tarnserver
