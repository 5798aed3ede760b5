// tarn tail TARN: prints the packets it reaps, as text or JSON lines; with
// --mseed, a line per miniSEED record.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mseed/mseed_record.h"
#include "platform/pf/pf.h"
#include "platform/pkt/crc32.h"
#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

struct TailOptions {
  std::string tarn;
  std::string match, reject;
  std::string from;  // "", "oldest", "newest", a time, or "#ID"
  long count = -1;   // packets to print; -1: no limit
  double idle = -1;  // seconds without a packet before ending; -1: none
  bool json = false;
  bool unstuff = false;  // add the content code and, for log and parameter-file packets, the text
  bool mseed = false;    // a line per record of miniSEED packets
  bool data = false;     // add the bytes in base64 (JSON only)
};

struct TailPacket {
  int pktid;
  const char *srcname;
  double time;
  const char *bytes;
  int nbytes;
};

const char *const kUsage =
    "usage: tarn tail TARN [-m MATCH] [-r REJECT] [--from oldest|newest|TIME|#PKTID]\n"
    "                      [-n COUNT] [-t SECONDS] [--json] [--unstuff] [--mseed] [--data]\n"
    "  without --from, prints the packets that arrive from now on; --mseed shows each\n"
    "  record of miniSEED packets; --data (with --json) adds the bytes in base64\n";

bool parseArgs(const Args &args, TailOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    bool hasValue = i + 1 < args.size();
    auto value = [&]() -> const std::string & { return args[++i]; };
    if (a == "--json")
      o.json = true;
    else if (a == "--unstuff")
      o.unstuff = true;
    else if (a == "--mseed")
      o.mseed = true;
    else if (a == "--data")
      o.data = true;
    else if ((a == "-m" || a == "-r" || a == "--from" || a == "-n" || a == "-t") && !hasValue) {
      err = a + " needs a value";
      return false;
    } else if (a == "-m")
      o.match = value();
    else if (a == "-r")
      o.reject = value();
    else if (a == "--from")
      o.from = value();
    else if (a == "-n") {
      if (!parseCount(value(), o.count)) {
        err = "-n: '" + args[i] + "' is not a count";
        return false;
      }
    } else if (a == "-t") {
      if (!parseSeconds(value(), o.idle)) {
        err = "-t: '" + args[i] + "' is not a number of seconds";
        return false;
      }
    } else if (!a.empty() && a[0] == '-') {
      err = "unknown option " + a;
      return false;
    } else if (o.tarn.empty())
      o.tarn = a;
    else {
      err = "unexpected argument '" + a + "'";
      return false;
    }
  }
  if (o.tarn.empty())
    err = "no TARN given";
  else if (!tarnNameError(o.tarn).empty())
    err = tarnNameError(o.tarn);
  else if (o.data && !o.json)
    err = "--data needs --json";
  return err.empty();
}

// Positions the descriptor as --from says; false with the reason in err
// when the argument makes no sense. A position with no packet yet is fine:
// tail then waits for the first to arrive.
bool position(int fd, const std::string &from, std::string &err) {
  if (from.empty()) return true;
  if (from == "oldest" || from == "newest") {
    tarnposition(fd, from.c_str());
    return true;
  }
  if (from[0] == '#') {
    long id;
    if (!parseCount(from.substr(1), id) || id > 2147483647) {
      err = "--from: '" + from + "' is not a packet id";
      return false;
    }
    if (tarnseek(fd, static_cast<int>(id)) < 0) {
      std::fprintf(stderr, "tarn tail: packet %ld is not in the ring; waiting for new packets\n",
                   id);
    }
    return true;
  }
  double t;
  if (!parseTime(from, t)) {
    err = "--from: '" + from + "' is not oldest, newest, #PKTID or a time";
    return false;
  }
  tarnafter(fd, t);
  return true;
}

// What unstuffing a packet gave: its content code (negative when it does not
// unstuff) and, for log and parameter-file packets, their text.
struct Unstuffed {
  int content = -1;
  bool hasText = false;
  std::string text;
};

Unstuffed unstuffBytes(const TailPacket &p, Packet *&pkt) {
  Unstuffed u;
  u.content = unstuffPkt(p.srcname, p.time, p.bytes, p.nbytes, &pkt);
  if (u.content == PKT_CONTENT_LOG) {
    u.hasText = true;
    u.text = pkt->string ? pkt->string : "";
  } else if (u.content == PKT_CONTENT_PF) {
    u.hasText = true;
    char *text = pkt->pf ? pf2string(pkt->pf) : nullptr;
    u.text = text ? text : "";
    std::free(text);
  }
  return u;
}

// What a miniSEED packet holds, for --mseed: its records' headers, or why
// they do not check.
struct MseedView {
  std::vector<mseed::Record> records;
  std::string problem;
};

std::string streamId(const mseed::Record &r) {
  return r.network + "." + r.station + "." + r.location + "." + r.channel;
}

void printJson(const nlohmann::ordered_json &j) {
  std::puts(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void printJsonPacket(const TailPacket &p, const TailOptions &o, uint32_t crc, const Unstuffed &u,
                     const MseedView *view) {
  nlohmann::ordered_json j;
  j["pktid"] = p.pktid;
  j["srcname"] = p.srcname;
  if (std::isfinite(p.time))
    j["time"] = p.time;  // shortest text that reads back exactly
  else
    j["time"] = nullptr;
  j["nbytes"] = p.nbytes;
  j["crc32"] = hex8(crc);
  if (o.unstuff) {
    if (u.content >= 0)
      j["content"] = u.content;
    else
      j["content"] = nullptr;
    if (u.hasText) j["text"] = u.text;
  }
  if (!view || !view->problem.empty()) {
    if (view) j["problem"] = view->problem;
    if (o.data) j["data"] = base64Encode(p.bytes, static_cast<size_t>(p.nbytes));
    printJson(j);
    return;
  }
  size_t offset = 0;
  for (const mseed::Record &r : view->records) {
    nlohmann::ordered_json rj = j;
    rj["stream"] = streamId(r);
    rj["start"] = r.start;
    rj["end"] = r.end;
    rj["samprate"] = r.sampleRate;
    rj["nsamples"] = r.samples;
    rj["encoding"] = mseed::encodingName(r.encoding);
    rj["reclen"] = r.length;
    if (o.data) rj["data"] = base64Encode(p.bytes + offset, static_cast<size_t>(r.length));
    offset += static_cast<size_t>(r.length);
    printJson(rj);
  }
}

void printTextPacket(const TailPacket &p, const TailOptions &o, uint32_t crc, const Unstuffed &u,
                     const MseedView *view) {
  if (view && view->problem.empty()) {
    for (const mseed::Record &r : view->records) {
      std::printf("#%d %s %s to %s, %g Hz, %lld samples, %s, %d-byte record\n", p.pktid,
                  streamId(r).c_str(), timeText(r.start).c_str(), timeText(r.end).c_str(),
                  r.sampleRate, static_cast<long long>(r.samples),
                  mseed::encodingName(r.encoding).c_str(), r.length);
    }
    return;
  }
  std::printf("#%d %s %s (%.6f) %d bytes crc32 %s\n", p.pktid, p.srcname, timeText(p.time).c_str(),
              p.time, p.nbytes, hex8(crc).c_str());
  if (view) std::printf("  not valid miniSEED: %s\n", view->problem.c_str());
  if (o.unstuff && u.content < 0) std::printf("  does not unstuff: %s\n", pkt_strerror(u.content));
  if (o.unstuff && u.content >= 0) std::printf("  content %d\n", u.content);
  if (u.hasText) {
    // The text indented under its packet, one line of it per line.
    std::istringstream lines(u.text);
    std::string line;
    while (std::getline(lines, line)) std::printf("    %s\n", line.c_str());
  }
}

void printPacket(const TailPacket &p, const TailOptions &o, Packet *&pkt) {
  uint32_t crc = crc32_ieee(p.bytes, static_cast<size_t>(p.nbytes));
  Unstuffed u;
  if (o.unstuff) u = unstuffBytes(p, pkt);
  MseedView view;
  bool mseed = o.mseed && mseed::isMseedSourceName(p.srcname);
  if (mseed) view.problem = mseed::check(p.bytes, static_cast<size_t>(p.nbytes), &view.records);
  if (o.json)
    printJsonPacket(p, o, crc, u, mseed ? &view : nullptr);
  else
    printTextPacket(p, o, crc, u, mseed ? &view : nullptr);
  std::fflush(stdout);
}

}  // namespace

int runTail(const Args &args) {
  if (showsHelp(args, kUsage)) return 0;
  TailOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn tail: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  catchInterrupts();
  int fd = tarnopen(o.tarn.c_str(), "r&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn tail: cannot reach tarn '%s'\n", o.tarn.c_str());
    return 1;
  }
  if (!o.match.empty() && tarnselect(fd, o.match.c_str()) < 0) {
    std::fprintf(stderr, "tarn tail: -m: cannot use '%s'\n", o.match.c_str());
    return 2;
  }
  if (!o.reject.empty() && tarnreject(fd, o.reject.c_str()) < 0) {
    std::fprintf(stderr, "tarn tail: -r: cannot use '%s'\n", o.reject.c_str());
    return 2;
  }
  if (!position(fd, o.from, err)) {
    std::fprintf(stderr, "tarn tail: %s\n", err.c_str());
    return 2;
  }
  char src[64];
  char *buf = nullptr;
  int bufsize = 0;
  Packet *pkt = nullptr;  // reused by every unstuff
  long printed = 0;
  double quiet = 0.0;
  const double step = 0.25;
  while (o.count < 0 || printed < o.count) {
    if (interrupted()) break;
    double wait = o.idle < 0 ? step : std::min(step, o.idle - quiet);
    int id, n;
    double t;
    int rc = tarnreap_timeout(fd, std::max(wait, 0.0), &id, src, &t, &buf, &n, &bufsize);
    if (rc == TARN_TIMEOUT) {
      quiet += wait;
      if (o.idle >= 0 && quiet >= o.idle) break;
      continue;
    }
    if (rc < 0) break;
    quiet = 0.0;
    printPacket(TailPacket{id, src, t, buf, n}, o, pkt);
    ++printed;
  }
  std::free(buf);
  freePkt(pkt);
  return 0;
}

}  // namespace tarntool
