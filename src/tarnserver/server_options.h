// The tarn server's command line:
//   tarnserver [-a ADDRESS] [-p PORT] [-s RINGSIZE] [-r RINGFILE]
//              [-m MAXPACKET] [-R READYFILE] [-i FIRSTID]
//              [-A NETWORKS] [-W WRITERS] [-c CLIENTS]
//              [-L PERADDRESS] [-M MEMORY] [-t SECONDS] [-v]
//              [--seedlink [ADDRESS:]PORT] [--seedlink-origin ORIGIN]...
//              [--datalink [ADDRESS:]PORT]
// Sizes take k, M and G suffixes (powers of 1024). -A and -W may be given
// more than once; their lists add up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  // Who may connect and read (-A) and write (-W); empty: the defaults (any
  // address reads, loopback writes).
  std::vector<std::string> readers;
  std::vector<std::string> writers;
  uint64_t maxClients = 1024;
  uint64_t perAddress = 64;
  uint64_t clientMemory = 0;   // -M; 0: clientMemoryFor(maxPacket)
  uint64_t idleSeconds = 600;  // 0: no idle time-out
  // --seedlink [ADDRESS:]PORT: the SeedLink port (-1: none; 0: a free one)
  // and its address ("": the address of -a).
  int seedlinkPort = -1;
  std::string seedlinkAddress;
  // --datalink [ADDRESS:]PORT: the DataLink port, the same way.
  int datalinkPort = -1;
  std::string datalinkAddress;
  // --seedlink-origin: the web pages (besides local ones) whose WebSockets
  // the SeedLink port takes; "*": any (allowed_hosts.h).
  std::vector<std::string> seedlinkOrigins;
  // --version: say the version instead of serving.
  bool showVersion = false;
};

// The default memory for client buffers: 256M, or room for several largest
// frames and answers when packets may be large.
uint64_t clientMemoryFor(uint32_t maxPacket);
// The least -M accepted: one largest frame and one full output buffer.
uint64_t leastClientMemory(uint32_t maxPacket);

// Parses argv into opt; on a bad command line returns false with the
// reason in err. -h/--help and --version also return false, with err
// empty (and, for --version, opt.showVersion set).
bool parseServerOptions(int argc, char **argv, ServerOptions &opt, std::string &err);
// "12", "64k", "1M", "2G" -> bytes; false on anything else.
bool parseSize(const std::string &text, uint64_t &out);
extern const char *const kServerUsage;

}  // namespace tarnserver
