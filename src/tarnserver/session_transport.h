// How a session's bytes travel on a port that takes both plain TCP and
// WebSocket (the SeedLink and DataLink ports). The plain transport passes
// them unchanged; another (WebSocket, websocket_transport.h) decodes its
// frames into the protocol's bytes and sends each message (one answer, or
// one packet) as a frame.
// Not thread-safe: one per connection, on the server's event thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnserver {

class SessionTransport {
 public:
  virtual ~SessionTransport() = default;
  // Appends the protocol bytes data[0..n) carries to `commands`; replies of
  // the transport's own (a handshake, a pong) go to `out`. False with the
  // reason in `error` when the client broke the transport's framing.
  virtual bool unwrap(const char *data, size_t n, std::string &commands, std::vector<char> &out,
                      std::string &error) = 0;
  // Appends one message to `out` as the transport sends it.
  virtual void wrap(std::string_view message, std::vector<char> &out) = 0;
  virtual size_t memoryHeld() const { return 0; }
  // The SeedLink protocol version the transport fixes (a WebSocket's
  // subprotocol SeedLink3.1 or SeedLink4.0), or 0 when it fixes none.
  virtual int protocolVersion() const { return 0; }
  // Whether the transport has said its last (a WebSocket close): the
  // session ends once its output is written.
  virtual bool closing() const { return false; }
  // The session ends: appends the transport's own goodbye (a WebSocket
  // close), if it has one and has not said it yet.
  virtual void close(std::vector<char> &) {}
};

class PlainTransport : public SessionTransport {
 public:
  bool unwrap(const char *data, size_t n, std::string &commands, std::vector<char> &,
              std::string &) override {
    commands.append(data, n);
    return true;
  }
  void wrap(std::string_view message, std::vector<char> &out) override {
    out.insert(out.end(), message.begin(), message.end());
  }
};

}  // namespace tarnserver
