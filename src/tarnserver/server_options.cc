#include "tarnserver/server_options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tarnserver/access_control.h"
#include "tarnserver/ring.h"

namespace tarnserver {

const char *const kServerUsage =
    "usage: tarnserver [-a ADDRESS] [-p PORT] [-s RINGSIZE] [-r RINGFILE] [-m MAXPACKET]\n"
    "                  [-R READYFILE] [-i FIRSTID] [-A NETWORKS] [-W WRITERS]\n"
    "                  [-c CLIENTS] [-L PERADDRESS] [-M MEMORY] [-t SECONDS] [-v]\n"
    "                  [--seedlink [ADDRESS:]PORT] [--seedlink-origin ORIGIN]...\n"
    "                  [--datalink [ADDRESS:]PORT]\n"
    "  -a ADDRESS    address to listen on (default 127.0.0.1; 0.0.0.0 for every interface:\n"
    "                then limit who may read with -A)\n"
    "  -p PORT       port (default 6510; 0 picks a free one)\n"
    "  -s RINGSIZE   bytes of packets kept, k/M/G suffixes (default 64M, or the ring file's)\n"
    "  -r RINGFILE   keep the ring in this file, so it survives a restart\n"
    "  -m MAXPACKET  largest packet accepted, k/M/G suffixes (default 1M, or the ring file's)\n"
    "  -R READYFILE  write the tarn name here once connections are accepted (and lines\n"
    "                seedlink HOST:PORT, datalink HOST:PORT for those ports)\n"
    "  -i FIRSTID    packet id of the first packet of a new ring (default 0)\n"
    "  -A NETWORKS   who may connect and read, such as 10.0.0.0/8,192.168.1.7 (default: anyone)\n"
    "  -W WRITERS    who may write: NETWORKS, or NETWORKS=PATTERN to allow only source\n"
    "                names matching PATTERN (default 127.0.0.0/8); repeat for more\n"
    "  -c CLIENTS    clients served at once (default 1024)\n"
    "  -L PERADDRESS connections from one address (default 64)\n"
    "  -M MEMORY     memory for client buffers, k/M/G suffixes (default 256M)\n"
    "  -t SECONDS    drop a client silent this long unless it waits for packets\n"
    "                (default 600; 0: never)\n"
    "  -v            report more: every client that comes and goes\n"
    "  --seedlink [ADDRESS:]PORT\n"
    "                also serve the ring's miniSEED packets to SeedLink 3.1 and 4.0 clients\n"
    "                on this port (0 picks a free one; ADDRESS defaults to -a's), under the\n"
    "                same limits (-A, -c, -L, -M, -t)\n"
    "  --seedlink-origin ORIGIN\n"
    "                web pages of ORIGIN (https://host[:port], or a host for any scheme and\n"
    "                port; '*' for any) may read the SeedLink port through WebSocket; by\n"
    "                default only pages of localhost, this machine and its address may;\n"
    "                repeat or separate by commas for more\n"
    "  --datalink [ADDRESS:]PORT\n"
    "                also speak DataLink 1.0 (TCP and WebSocket) on this port: writers of -W\n"
    "                write miniSEED records, any client of -A reads, under the same limits\n";

bool parseSize(const std::string &text, uint64_t &out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  uint64_t mult = 1;
  std::string suffix(end);
  if (suffix == "k" || suffix == "K")
    mult = 1ull << 10;
  else if (suffix == "m" || suffix == "M")
    mult = 1ull << 20;
  else if (suffix == "g" || suffix == "G")
    mult = 1ull << 30;
  else if (!suffix.empty())
    return false;
  if (v > (1ull << 50) / mult) return false;
  out = v * mult;
  return true;
}

namespace {

bool parseNumber(const std::string &text, uint64_t max, uint64_t &out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

bool checkAccess(const ServerOptions &opt, std::string &err) {
  if (!opt.seedlinkOrigins.empty() && opt.seedlinkPort < 0 && opt.datalinkPort < 0) {
    err = "--seedlink-origin is for the WebSockets of the SeedLink and DataLink ports: give "
          "--seedlink or --datalink too";
    return false;
  }
  AccessPolicy probe;
  for (const std::string &entry : opt.readers) {
    if (!probe.addReaders(entry, err)) {
      err = "-A: " + err;
      return false;
    }
  }
  for (const std::string &entry : opt.writers) {
    if (!probe.addWriters(entry, err)) {
      err = "-W: " + err;
      return false;
    }
  }
  return true;
}

bool checkLimits(const ServerOptions &opt, std::string &err) {
  if (opt.maxClients < 1 || opt.maxClients > 1000000) {
    err = "-c: the number of clients must be between 1 and 1000000";
    return false;
  }
  if (opt.perAddress < 1) {
    err = "-L: at least one connection per address";
    return false;
  }
  if (opt.clientMemory != 0 && opt.clientMemory < leastClientMemory(opt.maxPacket)) {
    err = "-M: client buffers need at least " +
          std::to_string(leastClientMemory(opt.maxPacket) >> 20) + "M with packets up to " +
          std::to_string(opt.maxPacket) + " bytes";
    return false;
  }
  return true;
}

bool checkSizes(const ServerOptions &opt, std::string &err) {
  if (opt.maxPacket < 1 || opt.maxPacket > (1u << 30)) {
    err = "-m: the largest packet must be between 1 byte and 1G";
    return false;
  }
  uint64_t one = Ring::recordSize(63, opt.maxPacket);
  if (opt.ringSizeGiven && opt.ringSize < one) {
    err = "-s: a ring of " + std::to_string(opt.ringSize) +
          " bytes cannot hold one packet of the largest size (" + std::to_string(one) +
          " bytes with its header); give a larger -s or a smaller -m";
    return false;
  }
  return true;
}

// --seedlink or --datalink [ADDRESS:]PORT
bool parsePort(const char *option, const std::string &arg, int &portOut, std::string &address,
               std::string &err) {
  size_t colon = arg.rfind(':');
  std::string port = colon == std::string::npos ? arg : arg.substr(colon + 1);
  uint64_t n = 0;
  if (!parseNumber(port, 65535, n) || (colon != std::string::npos && colon == 0)) {
    err = std::string(option) + ": '" + arg + "' is not [ADDRESS:]PORT (a port from 0 to 65535)";
    return false;
  }
  portOut = static_cast<int>(n);
  address = colon == std::string::npos ? "" : arg.substr(0, colon);
  return true;
}

}  // namespace

bool parseServerOptions(int argc, char **argv, ServerOptions &opt, std::string &err) {
  optind = 1;
  opterr = 0;
  int c;
  uint64_t n = 0;
  static const option kLong[] = {{"seedlink", required_argument, nullptr, 'S'},
                                 {"datalink", required_argument, nullptr, 'D'},
                                 {"seedlink-origin", required_argument, nullptr, 'O'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  while ((c = getopt_long(argc, argv, ":a:p:s:r:m:R:i:A:W:c:L:M:t:vh", kLong, nullptr)) != -1) {
    std::string arg = optarg ? optarg : "";
    switch (c) {
      case 'a':
        opt.address = arg;
        break;
      case 'p':
        if (!parseNumber(arg, 65535, n)) {
          err = "-p: '" + arg + "' is not a port number (0 to 65535)";
          return false;
        }
        opt.port = static_cast<int>(n);
        break;
      case 's':
        if (!parseSize(arg, opt.ringSize)) {
          err = "-s: '" + arg + "' is not a size such as 512k, 64M or 2G";
          return false;
        }
        opt.ringSizeGiven = true;
        break;
      case 'r':
        opt.ringFile = arg;
        break;
      case 'm':
        if (!parseSize(arg, n) || n > (1u << 30)) {
          err = "-m: '" + arg + "' is not a size up to 1G";
          return false;
        }
        opt.maxPacket = static_cast<uint32_t>(n);
        opt.maxPacketGiven = true;
        break;
      case 'R':
        opt.readyFile = arg;
        break;
      case 'i':
        if (!parseNumber(arg, 2147483647, opt.firstId)) {
          err = "-i: '" + arg + "' is not a packet id (0 to 2147483647)";
          return false;
        }
        break;
      case 'A':
        opt.readers.push_back(arg);
        break;
      case 'W':
        opt.writers.push_back(arg);
        break;
      case 'c':
        if (!parseNumber(arg, 1000000, opt.maxClients)) {
          err = "-c: '" + arg + "' is not a number of clients (1 to 1000000)";
          return false;
        }
        break;
      case 'L':
        if (!parseNumber(arg, 1000000, opt.perAddress)) {
          err = "-L: '" + arg + "' is not a number of connections";
          return false;
        }
        break;
      case 'M':
        if (!parseSize(arg, opt.clientMemory) || opt.clientMemory == 0) {
          err = "-M: '" + arg + "' is not a size such as 512M or 2G";
          return false;
        }
        break;
      case 't':
        if (!parseNumber(arg, 31536000, opt.idleSeconds)) {
          err = "-t: '" + arg + "' is not a number of seconds (0 to 31536000)";
          return false;
        }
        break;
      case 'v':
        opt.verbose = true;
        break;
      case 'S':
        if (!parsePort("--seedlink", arg, opt.seedlinkPort, opt.seedlinkAddress, err)) return false;
        break;
      case 'D':
        if (!parsePort("--datalink", arg, opt.datalinkPort, opt.datalinkAddress, err)) return false;
        break;
      case 'O':
        opt.seedlinkOrigins.push_back(arg);
        break;
      case 'h':
        err = "";
        return false;
      case 'V':
        opt.showVersion = true;
        err = "";
        return false;
      case ':':
        if (optopt == 'S' || optopt == 'D') {
          err = std::string("option --") + (optopt == 'S' ? "seedlink" : "datalink") +
                " needs a value ([ADDRESS:]PORT)";
          return false;
        }
        if (optopt == 'O') {
          err = "option --seedlink-origin needs a value (an origin, a host or '*')";
          return false;
        }
        err = std::string("option -") + static_cast<char>(optopt) + " needs a value";
        return false;
      default: {
        // An unknown long option has optopt 0 and is the word just passed;
        // "--help=x" and "--version=x" come with the option's value.
        std::string word = argv[optind - 1];
        if (optopt == 0) {
          err = "unknown option " + word;
        } else if (word.rfind("--help=", 0) == 0 || word.rfind("--version=", 0) == 0) {
          err = "option " + word.substr(0, word.find('=')) + " takes no value";
        } else {
          err = std::string("unknown option -") + static_cast<char>(optopt);
        }
        return false;
      }
    }
  }
  if (optind < argc) {
    err = std::string("unexpected argument '") + argv[optind] + "'";
    return false;
  }
  return checkSizes(opt, err) && checkLimits(opt, err) && checkAccess(opt, err);
}

uint64_t leastClientMemory(uint32_t maxPacket) { return (16ull << 20) + 2ull * maxPacket; }

uint64_t clientMemoryFor(uint32_t maxPacket) {
  return std::max<uint64_t>(256ull << 20, 4 * leastClientMemory(maxPacket));
}

}  // namespace tarnserver
