// A SeedLink client for tests, written from the protocol: a raw connection
// to a tarnserver's SeedLink port that sends command lines and reads answer
// lines and packets through the wire library, every read bounded in time.
#pragma once

#include <string>
#include <vector>

#include "platform/seedlink/seedlink_wire.h"
#include "raw_client.h"

namespace tarntest {

class SeedlinkClient {
 public:
  explicit SeedlinkClient(const std::string &address, const char *from = "127.0.0.1")
      : raw_(address, from) {}

  bool connected() const { return raw_.connected(); }
  RawClient &raw() { return raw_; }
  // Whether packets() met v3's END.
  bool ended() const { return ended_; }

  // Sends the line and returns the answer line ("" when none comes).
  std::string command(const std::string &line) {
    send(line);
    return answer();
  }
  void send(const std::string &line) { raw_.send(line + "\r\n"); }
  std::string answer() {
    std::string line;
    for (int i = 0; i < 100; ++i) {
      auto s = reader_.nextLine(line);
      if (s == seedlink::PacketReader::Status::kReady) return line;
      if (s == seedlink::PacketReader::Status::kBad || !fill()) return "";
    }
    return "";
  }
  // Up to `n` packets, stopping at the first pause of 2 s, the end of the
  // connection, v3's END or a packet that does not read.
  std::vector<seedlink::Packet> packets(size_t n) {
    std::vector<seedlink::Packet> out;
    seedlink::Packet p;
    while (out.size() < n) {
      auto s = reader_.nextPacket(p);
      if (s == seedlink::PacketReader::Status::kReady) {
        out.push_back(p);
      } else if (s == seedlink::PacketReader::Status::kEnd) {
        ended_ = true;
        break;
      } else if (s == seedlink::PacketReader::Status::kBad || !fill()) {
        break;
      }
    }
    return out;
  }

 private:
  bool fill() {
    char buf[65536];
    ssize_t n = recv(raw_.fd(), buf, sizeof buf, 0);
    if (n <= 0) return false;
    reader_.feed(buf, static_cast<size_t>(n));
    return true;
  }
  RawClient raw_;
  seedlink::PacketReader reader_;
  bool ended_ = false;
};

}  // namespace tarntest
