// The server side of a WebSocket (RFC 6455) as the SeedLink and DataLink
// ports speak it, apart from any socket: the opening HTTP request and its
// answer, the client's frames decoded into the bytes they carry, and the
// server's frames encoded.
//
// The opening request is bounded (WebSocketLimits::maxRequest); it must ask
// for version 13 and for one of the port's subprotocols (SeedLink:
// `SeedLink3.1` and `SeedLink4.0`, which fixes the protocol of the session
// behind it; DataLink: `DataLink1.0`). A request that is not a WebSocket
// upgrade, or names none of them, is refused with an HTTP answer whose body
// says why; so is one from a web page whose origin is not allowed (403),
// which would otherwise let any site a browser visits read the streams.
//
// Client frames must be masked. Text and binary frames both carry command
// bytes, and their fragments are passed on as they come; a ping is
// answered with a pong, a close with a close. A frame longer than
// WebSocketLimits::maxFrame, an unmasked frame, reserved bits or opcodes, a
// fragmented or long control frame and a continuation of nothing are
// protocol errors: the decoder answers with a close frame naming the fault
// and takes nothing more.
//
// Server frames are binary and unmasked. Not thread-safe; one decoder per
// connection.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hostname/allowed_hosts.h"

namespace tarnserver {

struct WebSocketLimits {
  size_t maxRequest = 8192;  // bytes of the opening HTTP request
  size_t maxFrame = 16384;   // payload bytes of one client frame
  // What the port serves: its subprotocols (of those the client names, the
  // first the port serves is chosen), and its name in refusals.
  std::vector<std::string> protocols = {"SeedLink3.1", "SeedLink4.0"};
  std::string port = "SeedLink";
  // The web pages (Origin) whose requests are taken (allowed_hosts.h); null:
  // any. A request without an Origin does not come from a page.
  const hostname::AllowedHosts *origins = nullptr;
};

// What the opening request came to.
struct WebSocketHandshake {
  enum class Status { Incomplete, Accepted, Refused };
  Status status = Status::Incomplete;
  size_t used = 0;       // bytes of the request (frames may follow them)
  std::string answer;    // the HTTP answer to send: 101, or a refusal
  std::string protocol;  // the chosen subprotocol, when accepted
  std::string reason;    // why it was refused
};

// Reads the opening request at the start of data[0..n). Incomplete while
// the request's blank line has not come and the request is within bounds.
WebSocketHandshake readHandshake(const char *data, size_t n, const WebSocketLimits &limits);

// The Sec-WebSocket-Accept value for a Sec-WebSocket-Key.
std::string webSocketAccept(std::string_view key);
// The 20 bytes of the SHA-1 digest of `data`, and base64 of any bytes.
std::string sha1Digest(std::string_view data);
std::string base64Encode(std::string_view data);

// WebSocket opcodes and the close codes the server sends.
enum class WsOpcode : uint8_t {
  Continuation = 0x0,
  Text = 0x1,
  Binary = 0x2,
  Close = 0x8,
  Ping = 0x9,
  Pong = 0xA,
};
constexpr uint16_t kWsCloseNormal = 1000;
constexpr uint16_t kWsCloseProtocolError = 1002;
constexpr uint16_t kWsCloseTooBig = 1009;

// Writes the head of an unmasked server frame of `n` payload bytes into
// head[0..10); returns its length.
size_t wsFrameHead(char *head, WsOpcode op, uint64_t n);
// Appends one unmasked server frame holding `payload`.
void appendWsFrame(std::string *out, WsOpcode op, std::string_view payload);
// Appends a close frame with a code and a reason (cut to fit a control frame).
void appendWsClose(std::string *out, uint16_t code, std::string_view reason);

class WebSocketDecoder {
 public:
  explicit WebSocketDecoder(const WebSocketLimits &limits) : limits_(limits) {}

  // Decodes the whole frames at the start of data[0..n): data bytes are
  // appended to *payload, answers to control frames (pong, close) to
  // *reply. Returns the bytes used (a partial frame at the end is left), or
  // -1 on a protocol error, a close frame naming it appended to *reply.
  // After a close, from either side, nothing more is decoded.
  ssize_t decode(const char *data, size_t n, std::string *payload, std::string *reply);

  // Whether a close frame came or was sent; the connection then ends once
  // *reply is written.
  bool closed() const { return closed_; }
  // Why the last protocol error was one ("" when none).
  const std::string &error() const { return error_; }

 private:
  ssize_t fail(std::string *reply, uint16_t code, const std::string &why);
  // Handles one control frame's payload; false on a protocol error.
  bool control(WsOpcode op, std::string_view body, std::string *reply);

  WebSocketLimits limits_;
  bool inMessage_ = false;  // a fragmented data message awaits continuations
  bool closed_ = false;
  std::string error_;
};

}  // namespace tarnserver
