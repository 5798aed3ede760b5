// Fuzz target: arbitrary bytes from a client of the SeedLink port, fed in
// pieces to a SeedLink session behind the port's transport, half the time
// after a valid WebSocket opening request so that the frame decoder and the
// commands behind it are reached. Whatever arrives, the transport must
// decode or refuse it without reading out of bounds, and what it holds must
// stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarnserver/ring.h"
#include "tarnserver/seedlink_session.h"
#include "tarnserver/websocket_transport.h"

using namespace tarnserver;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RingOptions opt;
  opt.size = 16384;
  std::string err;
  std::unique_ptr<Ring> ring = Ring::open(opt, err);
  if (!ring) return 0;
  WebSocketLimits limits;
  limits.maxFrame = 1024;
  limits.maxRequest = 2048;
  auto transport = std::make_unique<PortTransport>(limits);
  PortTransport *port = transport.get();
  SeedlinkSession session(*ring, SessionLimits{}, ClientAccess{}, std::move(transport));

  std::string input;
  if (size > 0 && data[0] % 2 == 1) {
    input =
        "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Protocol: SeedLink4.0\r\n\r\n";
  }
  input.append(reinterpret_cast<const char *>(data), size);
  // Delivered in pieces of varying length, as a socket would.
  size_t pos = 0, step = 1;
  while (pos < input.size()) {
    size_t n = std::min(input.size() - pos, step);
    if (session.consume(input.data() + pos, n) < 0) break;
    pos += n;
    step = step * 3 % 97 + 1;
    // One request, or one frame being received, and one piece at most.
    if (port->memoryHeld() > 2 * (limits.maxRequest + limits.maxFrame + 128)) __builtin_trap();
    session.pump(1 << 16);
    session.consumed(session.outSize());
  }
  return 0;
}
