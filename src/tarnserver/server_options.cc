#include "tarnserver/server_options.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "tarnserver/ring.h"

namespace tarnserver {

const char *const kServerUsage =
    "usage: tarnserver [-a ADDRESS] [-p PORT] [-s RINGSIZE] [-r RINGFILE] [-m MAXPACKET]\n"
    "                  [-R READYFILE] [-i FIRSTID] [-v]\n"
    "  -a ADDRESS    address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  -p PORT       port (default 6510; 0 picks a free one)\n"
    "  -s RINGSIZE   bytes of packets kept, k/M/G suffixes (default 64M, or the ring file's)\n"
    "  -r RINGFILE   keep the ring in this file, so it survives a restart\n"
    "  -m MAXPACKET  largest packet accepted, k/M/G suffixes (default 1M, or the ring file's)\n"
    "  -R READYFILE  write the tarn name here once connections are accepted\n"
    "  -i FIRSTID    packet id of the first packet of a new ring (default 0)\n"
    "  -v            report more\n";

bool parseSize(const std::string &text, uint64_t &out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  uint64_t mult = 1;
  std::string suffix(end);
  if (suffix == "k" || suffix == "K") mult = 1ull << 10;
  else if (suffix == "m" || suffix == "M") mult = 1ull << 20;
  else if (suffix == "g" || suffix == "G") mult = 1ull << 30;
  else if (!suffix.empty()) return false;
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

bool checkSizes(const ServerOptions &opt, std::string &err) {
  if (opt.maxPacket < 1 || opt.maxPacket > (1u << 30)) {
    err = "-m: the largest packet must be between 1 byte and 1G";
    return false;
  }
  uint64_t one = Ring::recordSize(63, opt.maxPacket);
  if (opt.ringSizeGiven && opt.ringSize < one) {
    err = "-s: a ring of " + std::to_string(opt.ringSize) + " bytes cannot hold one packet of the largest size (" +
          std::to_string(one) + " bytes with its header); give a larger -s or a smaller -m";
    return false;
  }
  return true;
}

}  // namespace

bool parseServerOptions(int argc, char **argv, ServerOptions &opt, std::string &err) {
  optind = 1;
  opterr = 0;
  int c;
  uint64_t n = 0;
  while ((c = getopt(argc, argv, ":a:p:s:r:m:R:i:vh")) != -1) {
    std::string arg = optarg ? optarg : "";
    switch (c) {
      case 'a': opt.address = arg; break;
      case 'p':
        if (!parseNumber(arg, 65535, n)) { err = "-p: '" + arg + "' is not a port number (0 to 65535)"; return false; }
        opt.port = static_cast<int>(n);
        break;
      case 's':
        if (!parseSize(arg, opt.ringSize)) { err = "-s: '" + arg + "' is not a size such as 512k, 64M or 2G"; return false; }
        opt.ringSizeGiven = true;
        break;
      case 'r': opt.ringFile = arg; break;
      case 'm':
        if (!parseSize(arg, n) || n > (1u << 30)) { err = "-m: '" + arg + "' is not a size up to 1G"; return false; }
        opt.maxPacket = static_cast<uint32_t>(n);
        opt.maxPacketGiven = true;
        break;
      case 'R': opt.readyFile = arg; break;
      case 'i':
        if (!parseNumber(arg, 2147483647, opt.firstId)) { err = "-i: '" + arg + "' is not a packet id (0 to 2147483647)"; return false; }
        break;
      case 'v': opt.verbose = true; break;
      case 'h': err = ""; return false;
      case ':': err = std::string("option -") + static_cast<char>(optopt) + " needs a value"; return false;
      default: err = std::string("unknown option -") + static_cast<char>(optopt); return false;
    }
  }
  if (optind < argc) {
    err = std::string("unexpected argument '") + argv[optind] + "'";
    return false;
  }
  return checkSizes(opt, err);
}

}  // namespace tarnserver
