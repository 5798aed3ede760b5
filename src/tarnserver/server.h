// The tarn server's network side: one thread, one epoll loop.
//
// The loop accepts clients, reads their frames into a ClientSession, writes
// the sessions' output, and after every round feeds streaming clients the
// packets that arrived (so readers wait without polling). Every client costs
// at most one input buffer of the largest frame and an output buffer that
// stops growing at kOutputHardLimit: past it the server stops reading that
// client until it takes its answers. A client that breaks the protocol gets
// an error frame and is dropped; the others never notice.
//
// SIGINT and SIGTERM (through a signalfd) end run(); the caller then syncs
// the ring. Not thread-safe: everything runs on the thread that calls run().
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarnserver/client_session.h"
#include "tarnserver/ring.h"
#include "tarnserver/server_options.h"

namespace tarnserver {

class Server {
 public:
  static constexpr size_t kOutputSoftLimit = 1 << 20;  // stop streaming into it
  static constexpr size_t kOutputHardLimit = 8 << 20;  // stop reading the client
  static constexpr size_t kMaxClients = 1024;

  Server(Ring &ring, const ServerOptions &opt);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and listens; false with the reason in err.
  bool listen(std::string &err);
  int port() const { return port_; }
  // The tarn name clients use to reach this server.
  std::string tarnName() const;
  // Serves until SIGINT or SIGTERM (blocked by the caller); returns the signal.
  int run();

 private:
  struct Client {
    int fd = -1;
    std::string peer;
    std::unique_ptr<ClientSession> session;
    std::vector<char> in;
    size_t inLen = 0;
    bool writeWatched = false;
    bool readPaused = false;
    bool dead = false;
    std::string why;  // reason for dropping it
  };

  bool resolveAddress(in_addr &out, std::string &err) const;
  void acceptClients();
  void onReadable(Client &c);
  void flushOut(Client &c);
  void updateEvents(Client &c, bool wantWrite, bool pauseRead);
  void drop(Client &c, const std::string &why);
  bool serviceStreams();
  void reapDead();

  Ring &ring_;
  const ServerOptions opt_;
  SessionLimits limits_;
  ServerFigures figures_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int signalFd_ = -1;
  int port_ = 0;
  std::string host_;  // the address listened on, as clients name it (127.0.0.1 for every interface)
  std::map<int, std::unique_ptr<Client>> clients_;
};

}  // namespace tarnserver
