// tarn gen TARN: synthetic packets that unstuff, for trying out relays and
// readers. Each packet is a "gen" packet of the packet library whose body is
// SIZE bytes of a pattern; its time is the moment it is made. With --bad a
// fraction of them is made not to unstuff (one body byte changed after
// stuffing, so the checksum no longer matches), spread evenly over the run.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "platform/time/epochtime.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

struct GenOptions {
  std::string tarn;
  long count = 10;
  double rate = 0;  // packets per second; 0: as fast as the server takes them
  long size = 64;   // body bytes
  std::string templ = "SYN_%03d/GEN";
  long streams = 1;
  double bad = 0;  // fraction of packets made not to unstuff
};

const char *const kUsage =
    "usage: tarn gen TARN [-n COUNT] [-r RATE] [-s SIZE] [--src TEMPLATE] [--streams K]\n"
    "                     [--bad FRACTION]\n"
    "  COUNT packets (10) of SIZE body bytes (64), RATE per second (0: no pause),\n"
    "  named from TEMPLATE (SYN_%03d/GEN) with %d the stream number 1..K, streams in turn;\n"
    "  FRACTION (0 to 1) of them made not to unstuff\n";

// The source name of a stream: the template with its one %d (optionally
// %0Nd or %Nd, N up to 2 digits) replaced by the number and %% by %. The
// template is never handed to printf as a format. False with the reason in
// err for any other % sequence.
bool expandTemplate(const std::string &templ, long number, std::string &out, std::string &err) {
  out.clear();
  int numbers = 0;
  for (size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] != '%') {
      out += templ[i];
      continue;
    }
    if (i + 1 < templ.size() && templ[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool zero = j < templ.size() && templ[j] == '0';
    if (zero) ++j;
    size_t widthStart = j;
    while (j < templ.size() && j - widthStart < 2 && templ[j] >= '0' && templ[j] <= '9') ++j;
    int width = j > widthStart ? std::atoi(templ.substr(widthStart, j - widthStart).c_str()) : 0;
    if (j >= templ.size() || templ[j] != 'd') {
      err = "--src: only %d, %0Nd and %% may follow '%' in '" + templ + "'";
      return false;
    }
    std::string digits = std::to_string(number);
    if (static_cast<int>(digits.size()) < width) {
      digits.insert(0, static_cast<size_t>(width) - digits.size(), zero ? '0' : ' ');
    }
    out += digits;
    ++numbers;
    i = j;
  }
  if (numbers > 1) {
    err = "--src: '" + templ + "' has more than one %d";
    return false;
  }
  return true;
}

bool parseArgs(const Args &args, GenOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    bool known =
        a == "-n" || a == "-r" || a == "-s" || a == "--src" || a == "--streams" || a == "--bad";
    if (known && i + 1 >= args.size()) {
      err = a + " needs a value";
      return false;
    }
    if (known) {
      const std::string &v = args[++i];
      bool ok = true;
      if (a == "-n")
        ok = parseCount(v, o.count);
      else if (a == "-r")
        ok = parseSeconds(v, o.rate);
      else if (a == "-s")
        ok = parseCount(v, o.size) && o.size <= PKT_MAX_BODY;
      else if (a == "--src")
        o.templ = v;
      else if (a == "--streams")
        ok = parseCount(v, o.streams) && o.streams >= 1 && o.streams <= 100000;
      else
        ok = parseSeconds(v, o.bad) && o.bad <= 1.0;
      if (!ok) {
        err = a + ": '" + v + "' is not " +
              (a == "-n"          ? "a count"
               : a == "-r"        ? "a rate in packets per second"
               : a == "-s"        ? "a size from 0 to " + std::to_string(PKT_MAX_BODY)
               : a == "--streams" ? "a number of streams from 1 to 100000"
                                  : "a fraction from 0 to 1");
        return false;
      }
    } else if (!a.empty() && a[0] == '-') {
      err = "unknown option " + a;
      return false;
    } else if (o.tarn.empty()) {
      o.tarn = a;
    } else {
      err = "unexpected argument '" + a + "'";
      return false;
    }
  }
  err = o.tarn.empty() ? "no TARN given" : tarnNameError(o.tarn);
  return err.empty();
}

// Whether the server takes packets of `size` body bytes (the stuffed header
// comes on top), asked before anything is sent so that a run never stops
// half-way on a size it could not have put. 0 when it does, 2 with the
// reason when not, 1 when the server cannot be asked.
int checkServerTakesSize(int fd, const GenOptions &o) {
  tarnclient::RingFigures figures;
  if (!tarnclient::stat(fd, figures)) {
    std::fprintf(stderr, "tarn gen: cannot reach tarn '%s'\n", o.tarn.c_str());
    return 1;
  }
  long stuffed = PKT_HEADER_SIZE + o.size;
  if (figures.maxPacket == 0 || stuffed <= static_cast<long>(figures.maxPacket)) return 0;
  std::fprintf(
      stderr,
      "tarn gen: -s %ld: each packet would be %ld bytes stuffed, more than the %u bytes tarn '%s' "
      "takes; give -s %ld or less\n",
      o.size, stuffed, figures.maxPacket, o.tarn.c_str(),
      static_cast<long>(figures.maxPacket) - PKT_HEADER_SIZE);
  return 2;
}

// Whether packet i of the run is one of the bad ones: the bad packets are
// those at which floor(i * fraction) steps up, so any prefix of the run
// holds its share of them.
bool isBad(long i, double fraction) {
  return std::floor((i + 1) * fraction) > std::floor(i * fraction);
}

}  // namespace

int runGen(const Args &args) {
  if (showsHelp(args, kUsage)) return 0;
  GenOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn gen: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  // Every stream's name is checked before anything is sent.
  std::vector<std::string> names;
  for (long s = 1; s <= o.streams; ++s) {
    std::string name;
    if (!expandTemplate(o.templ, s, name, err)) {
      std::fprintf(stderr, "tarn gen: %s\n", err.c_str());
      return 2;
    }
    Packet probe{};
    if (split_srcname(name.c_str(), &probe) < 0) {
      std::fprintf(stderr, "tarn gen: --src: source name '%s' must have 1 to 63 characters\n",
                   name.c_str());
      return 2;
    }
    names.push_back(name);
  }

  catchInterrupts();
  int fd = tarnopen(o.tarn.c_str(), "w&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn gen: cannot reach tarn '%s'\n", o.tarn.c_str());
    return 1;
  }
  if (int rc = checkServerTakesSize(fd, o); rc != 0) {
    tarnclose(fd);
    return rc;
  }
  Packet *pkt = newPkt();
  if (!pkt) {
    std::fputs("tarn gen: out of memory\n", stderr);
    return 1;
  }
  pkt->type = suffix2pkttype("gen");
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  long put = 0, bad = 0, failed = 0;
  // The repeating pattern, from any of its 256 phases: byte b of packet i
  // is (i + b) mod 256, copied from here rather than worked out byte by byte
  // (which took most of the generator's time).
  std::vector<char> pattern(static_cast<size_t>(o.size) + 256);
  for (size_t k = 0; k < pattern.size(); ++k) pattern[k] = static_cast<char>(k & 0xff);
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < o.count && !interrupted(); ++i) {
    if (o.rate > 0) {
      std::this_thread::sleep_until(start + std::chrono::duration<double>(i / o.rate));
    }
    const std::string &name = names[static_cast<size_t>(i % o.streams)];
    // The body: the packet number, then a repeating pattern.
    std::free(pkt->data);
    pkt->ndata = static_cast<int>(o.size);
    pkt->data = static_cast<char *>(std::malloc(static_cast<size_t>(o.size) + 1));
    if (!pkt->data) {
      std::fputs("tarn gen: out of memory\n", stderr);
      break;
    }
    std::memcpy(pkt->data, pattern.data() + (i & 0xff), static_cast<size_t>(o.size));
    std::memcpy(pkt->data, &i, static_cast<size_t>(std::min<long>(o.size, sizeof i)));
    pkt->time = std_now();
    split_srcname(name.c_str(), pkt);
    double time = 0;
    int rc = stuffPkt(pkt, name.c_str(), &time, &buf, &nbytes, &bufsize);
    if (rc < 0) {
      std::fprintf(stderr, "tarn gen: cannot stuff packet %ld: %s\n", i, pkt_strerror(rc));
      ++failed;
      break;
    }
    bool makeBad = isBad(i, o.bad);
    // The last byte is a body byte when there is a body, else part of the
    // header; either way the packet no longer unstuffs.
    if (makeBad) buf[nbytes - 1] ^= 0x5a;
    if (tarnput(fd, name.c_str(), time, buf, nbytes) < 0) {
      std::fprintf(stderr, "tarn gen: the server refused packet %ld\n", i);
      ++failed;
      break;
    }
    ++put;
    if (makeBad) ++bad;
  }
  std::free(buf);
  freePkt(pkt);
  bool flushed = tarnclose(fd) == 0;
  std::fprintf(stderr, "tarn gen: %ld packets put, %ld of them made not to unstuff\n", put, bad);
  if (!flushed) std::fputs("tarn gen: the server did not acknowledge every packet\n", stderr);
  return failed == 0 && flushed && !interrupted() ? 0 : 1;
}

}  // namespace tarntool
