// How a protocol travels on the SeedLink and DataLink ports: plain TCP, or
// WebSocket for browser clients. PortTransport looks at a connection's
// first bytes: "GET " makes it a WebSocket (WebSocketTransport), anything
// else plain (PlainTransport).
//
// WebSocketTransport answers the opening request (websocket.h), then
// passes the protocol bytes of the client's frames on and sends each of the
// session's messages (one answer, or one packet) as one binary frame, the
// way browser clients read them. On the SeedLink port the subprotocol
// chosen, SeedLink3.1 or SeedLink4.0, fixes the session's protocol version.
// A refused request gets its HTTP answer; a broken frame, a close frame
// naming the fault; either way the connection then ends. A session that
// ends (BYE, the end of a FETCH, an error) says so with a normal close. What
// it buffers is bounded by WebSocketLimits: one request, or one frame being
// received.
// Not thread-safe: one per connection, on the server's event thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarnserver/session_transport.h"
#include "tarnserver/websocket.h"

namespace tarnserver {

class WebSocketTransport : public SessionTransport {
 public:
  explicit WebSocketTransport(const WebSocketLimits &limits = {});

  bool unwrap(const char *data, size_t n, std::string &commands, std::vector<char> &out,
              std::string &error) override;
  void wrap(std::string_view message, std::vector<char> &out) override;
  int protocolVersion() const override { return version_; }
  bool closing() const override { return closing_; }
  void close(std::vector<char> &out) override;
  size_t memoryHeld() const override { return pending_.capacity(); }

 private:
  WebSocketLimits limits_;
  WebSocketDecoder decoder_;
  bool open_ = false;     // the handshake was answered with 101
  bool closing_ = false;  // a close frame went out: nothing more follows it
  int version_ = 0;
  std::string pending_;  // bytes of the request, or of a frame, not whole yet
  std::string reply_;    // scratch for the decoder's control answers
};

class PortTransport : public SessionTransport {
 public:
  explicit PortTransport(const WebSocketLimits &limits = {}) : limits_(limits) {}

  bool unwrap(const char *data, size_t n, std::string &commands, std::vector<char> &out,
              std::string &error) override;
  void wrap(std::string_view message, std::vector<char> &out) override;
  int protocolVersion() const override { return chosen_ ? chosen_->protocolVersion() : 0; }
  bool closing() const override { return chosen_ && chosen_->closing(); }
  void close(std::vector<char> &out) override {
    if (chosen_) chosen_->close(out);
  }
  size_t memoryHeld() const override {
    return head_.capacity() + (chosen_ ? chosen_->memoryHeld() : 0);
  }
  // Whether the connection turned out to be a WebSocket.
  bool webSocket() const { return webSocket_; }

 private:
  WebSocketLimits limits_;
  std::unique_ptr<SessionTransport> chosen_;
  bool webSocket_ = false;
  std::string head_;  // the first bytes, while they may still begin "GET "
};

}  // namespace tarnserver
