// Fuzz target: arbitrary bytes from a client of the DataLink port, fed in
// pieces to a DataLink session (of a client that may write) behind the
// port's transport, half the time after a valid WebSocket opening request
// so that the frame decoder and the commands behind it are reached; the
// first bytes of the input may also be well-formed messages, so that WRITE,
// POSITION, MATCH, STREAM and INFO are reached with odd arguments. Whatever
// arrives must be answered or refused without reading out of bounds, and
// what the session holds must stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tarnserver/datalink_session.h"
#include "tarnserver/ring.h"
#include "tarnserver/websocket_transport.h"

using namespace tarnserver;

namespace {

class Server : public ServerView {
 public:
  std::string serverId() const override { return "tarnserver fuzz:1"; }
  double startTime() const override { return 0; }
  uint32_t clientCount() const override { return 1; }
  TrafficRates rates() const override { return {}; }
  std::vector<ClientListing> connections() const override { return {ClientListing{}}; }
};

// Turns "VERB rest|data" pieces of the input, split at newlines, into
// DataLink messages: the part after '|' becomes the data.
std::string messages(const std::string &text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    size_t bar = line.find('|');
    std::string header = line.substr(0, bar),
                data = bar == std::string::npos ? "" : line.substr(bar + 1);
    if (!data.empty()) header += " " + std::to_string(data.size());
    if (header.empty() || header.size() > 255) continue;
    out += "DL";
    out += static_cast<char>(header.size());
    out += header + data;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RingOptions opt;
  opt.size = 65536;
  std::string err;
  std::unique_ptr<Ring> ring = Ring::open(opt, err);
  if (!ring) return 0;
  ring->append("XX_STA_HHZ_00/MSEED", 1.0, "not a record", 12);
  ring->append("relay1/log", 2.0, "text", 4);
  SessionLimits limits;
  limits.maxPacket = 4096;
  WebSocketLimits ws = DatalinkSession::webSocketLimits(limits.maxPacket);
  auto transport = std::make_unique<PortTransport>(ws);
  PortTransport *port = transport.get();
  ClientAccess access;
  access.write = WritePermit::anySource();
  Server server;
  DatalinkSession session(*ring, limits, server, access, std::move(transport));

  std::string raw(reinterpret_cast<const char *>(data), size);
  std::string input;
  if (size > 0 && data[0] % 4 == 1) {
    input =
        "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Protocol: DataLink1.0\r\n\r\n";
    input += raw;
  } else if (size > 0 && data[0] % 4 == 2) {
    input = messages(raw.substr(1));
  } else {
    input = raw;
  }
  size_t pos = 0, step = 1;
  while (pos < input.size()) {
    size_t n = std::min(input.size() - pos, step);
    if (session.consume(input.data() + pos, n) < 0) break;
    pos += n;
    step = step * 3 % 97 + 1;
    // One frame, one message and a piece of input at most, beside answers.
    if (port->memoryHeld() > 2 * (ws.maxRequest + ws.maxFrame + 128)) __builtin_trap();
    session.pump(1 << 16);
    session.consumed(session.outSize());
  }
  return 0;
}
