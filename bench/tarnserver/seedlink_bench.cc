// tarnserver_seedlink_bench: records per second from a tarn server's
// backlog to one SeedLink client, protocol 4.0 and 3.1, and 4.0 over
// WebSocket (one binary frame per packet).
//
// A local tarnserver with --seedlink gets 200,000 miniSEED records of 512
// bytes (10 stations); a client then asks for all of them (4.0: DATA 0;
// 3.1: TIME from before the first) and reads them through the wire
// library. Printed: records/s, MB/s and the server's CPU time per version.
//
// Usage: tarnserver_seedlink_bench [RECORDS]
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

using namespace hostile;

namespace {

void readAll(const BenchServer &s, int version, size_t records) {
  SlConn c(s.seedlinkName(), "127.0.0.1");
  bool ok = version == 4
                ? c.command("SLPROTO 4.0") && c.command("STATION *_*") && c.command("DATA 0")
                : c.command("STATION * *") && c.command("TIME 2026,12,06,00,00,00");
  if (!ok) {
    std::printf("  protocol %d: the handshake failed\n", version);
    return;
  }
  double cpu0 = s.cpuSeconds();
  auto t0 = Clock::now();
  c.send("END\r\n");
  size_t got = c.packets(records, 10000);
  double took = secondsSince(t0);
  double mb = static_cast<double>(got) * (version == 4 ? 512 + 23 : 520) / 1e6;
  std::printf(
      "  protocol %d.%d: %zu records in %.2f s: %.0f records/s, %.1f MB/s; server CPU %.2f s\n",
      version, version == 4 ? 0 : 1, got, took, static_cast<double>(got) / took, mb / took,
      s.cpuSeconds() - cpu0);
}

// A client frame with a zero mask (the payload goes as it is).
std::string maskedFrame(const std::string &payload) {
  std::string f = {'\x81', static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0};
  return f + payload;
}

// The same as readAll's 4.0 client, over WebSocket: the frames' payloads,
// joined, are the plain stream, which the wire library reads.
void readAllWebSocket(const BenchServer &s, size_t records) {
  RawConn raw(s.seedlinkName(), "127.0.0.1");
  std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Protocol: SeedLink4.0\r\n\r\n" +
      maskedFrame("STATION *_*\r\n") + maskedFrame("DATA 0\r\n");
  if (!raw.send({request.begin(), request.end()})) return;
  std::string in;       // bytes received, not yet unframed
  bool opened = false;  // past the HTTP answer
  int oks = 0;          // OK answers read
  bool ended = false;   // END sent
  size_t got = 0;
  seedlink::PacketReader reader;
  double cpu0 = s.cpuSeconds();
  auto t0 = Clock::now();
  char buf[1 << 16];
  while (got < records) {
    pollfd p{raw.fd(), POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = recv(raw.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
    size_t at = 0;
    if (!opened) {
      size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      if (in.compare(0, 12, "HTTP/1.1 101") != 0) break;
      opened = true;
      at = end + 4;
    }
    while (in.size() - at >= 2) {
      size_t len = static_cast<unsigned char>(in[at + 1]) & 0x7F, head = 2;
      if (len == 126) {
        if (in.size() - at < 4) break;
        len = static_cast<size_t>(static_cast<unsigned char>(in[at + 2])) << 8 |
              static_cast<unsigned char>(in[at + 3]);
        head = 4;
      }
      if (in.size() - at < head + len) break;
      reader.feed(in.data() + at + head, len);
      at += head + len;
    }
    in.erase(0, at);
    std::string line;
    while (oks < 2 && reader.nextLine(line) == seedlink::PacketReader::Status::kReady) {
      if (line != "OK") break;
      ++oks;
    }
    if (oks < 2) continue;
    if (!ended) {
      std::string end = maskedFrame("END\r\n");
      ended = raw.send({end.begin(), end.end()});
      t0 = Clock::now();
    }
    seedlink::Packet packet;
    while (reader.nextPacket(packet) == seedlink::PacketReader::Status::kReady) ++got;
  }
  double took = secondsSince(t0);
  double mb = static_cast<double>(got) * (512 + 23 + 4) / 1e6;
  std::printf(
      "  protocol 4.0 over WebSocket: %zu records in %.2f s: %.0f records/s, %.1f MB/s; server "
      "CPU %.2f s\n",
      got, took, static_cast<double>(got) / took, mb / took, s.cpuSeconds() - cpu0);
}

}  // namespace

int main(int argc, char **argv) {
  size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  if (records == 0) {
    std::fprintf(stderr, "usage: tarnserver_seedlink_bench [RECORDS]\n");
    return 2;
  }
  if (!serverKnowsSeedlink()) {
    std::printf("server %s does not serve SeedLink\n", serverPath().c_str());
    return 0;
  }
  BenchServer s({"-s", "512M", "--seedlink", "0"});
  if (!s.up() || s.seedlinkName().empty()) {
    std::fprintf(stderr, "the server did not start: %s\n", s.log().c_str());
    return 1;
  }
  double filled = fillMseed(s.name(), mseedRecords(2000), static_cast<int>(records), 10);
  std::printf("== a backlog of %zu 512-byte records (put in %.2f s) to one SeedLink client\n",
              records, filled);
  readAll(s, 4, records);
  readAll(s, 3, records);
  readAllWebSocket(s, records);
  return 0;
}
