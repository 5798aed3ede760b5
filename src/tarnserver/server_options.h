// The tarn server's command line:
//   tarnserver [-a ADDRESS] [-p PORT] [-s RINGSIZE] [-r RINGFILE]
//              [-m MAXPACKET] [-R READYFILE] [-i FIRSTID] [-v]
// Sizes take k, M and G suffixes (powers of 1024).
#pragma once

#include <cstdint>
#include <string>

namespace tarnserver {

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 6510;
  uint64_t ringSize = 64ull << 20;
  bool ringSizeGiven = false;
  std::string ringFile;
  uint32_t maxPacket = 1u << 20;
  bool maxPacketGiven = false;  // with -r, an existing ring file keeps its own otherwise
  std::string readyFile;
  uint64_t firstId = 0;  // first packet id of a new ring
  bool verbose = false;
};

// Parses argv into opt; on a bad command line returns false with the
// reason in err.
bool parseServerOptions(int argc, char **argv, ServerOptions &opt, std::string &err);
// "12", "64k", "1M", "2G" -> bytes; false on anything else.
bool parseSize(const std::string &text, uint64_t &out);
extern const char *const kServerUsage;

}  // namespace tarnserver
