// Fuzz target: arbitrary bytes from a client, fed to a session over a
// small ring in pieces, interleaved with streaming. Whatever arrives, the
// session must answer or refuse without reading out of bounds, and the
// ring must stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarnserver/client_session.h"
#include "tarnserver/ring.h"

using namespace tarnserver;

namespace {

// Every session starts greeted, so the fuzzer reaches the other requests.
std::vector<char> helloFrame() { return tarnwire::encoded(tarnwire::Hello{}); }

void checkRing(const Ring &ring) {
  for (uint64_t s = ring.oldestSeq(); s < ring.nextSeq(); ++s) {
    if (ring.isHole(s)) continue;
    PacketRef p = ring.packet(s);
    if (p.src.empty() || p.src.size() > 63) __builtin_trap();
    volatile char sink = 0;
    for (uint32_t i = 0; i < p.nbytes; i += 64) sink = static_cast<char>(sink ^ p.data[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RingOptions opt;
  opt.size = 16384;
  opt.firstSeq = size > 0 ? 2147483640u + data[0] % 16 : 0;  // reach the id wrap too
  std::string err;
  std::unique_ptr<Ring> ring = Ring::open(opt, err);
  if (!ring) return 0;
  SessionLimits limits;
  limits.maxPacket = 4096;
  ServerFigures figures;
  ClientAccess access;
  access.write = WritePermit::anySource();
  ClientSession session(*ring, limits, figures, access);

  std::vector<char> input = helloFrame();
  input.insert(input.end(), data, data + size);
  // Deliver in pieces of varying length, as a socket would.
  size_t pos = 0, have = 0, step = 1;
  std::vector<char> buf;
  while (pos < input.size()) {
    size_t n = std::min(input.size() - pos, step);
    buf.insert(buf.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
               input.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
    have += n;
    step = step * 3 % 97 + 1;
    ssize_t used = session.consume(buf.data(), buf.size());
    if (used < 0) break;
    buf.erase(buf.begin(), buf.begin() + used);
    session.pump(1 << 16);
    session.consumed(session.outSize() / 2);
  }
  (void)have;
  checkRing(*ring);
  return 0;
}
