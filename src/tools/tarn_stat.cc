// tarn stat TARN [--streams] [--clients]: the server's sources and ring
// figures; with --streams every source's data and feed latency, with
// --clients the clients of its ports.
#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "platform/time/epochtime.h"
#include "tools/network_view.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

const char *const kUsage =
    "usage: tarn stat TARN [--streams] [--clients]\n"
    "  --streams lists every source with its data latency (now minus its newest packet's\n"
    "  time) and feed latency (now minus when that packet arrived)\n"
    "  --clients lists the clients of the server's ports\n";

// Latencies on the server's clock where it gives it (feed latency needs it).
void printStreams(const tarnclient::RingFigures &f) {
  double now = f.serverTime > 0 ? f.serverTime : std_now();
  size_t width = 6;
  for (auto &s : f.sources) width = std::max(width, s.name.size());
  std::printf("  %-*s %10s  %-23s %12s %12s\n", static_cast<int>(width), "SOURCE", "PACKETS",
              "NEWEST TIME", "DATA LATENCY", "FEED LATENCY");
  for (auto &s : f.sources) {
    std::string feed = s.arrival > 0 ? durationText(now - s.arrival) : "-";
    std::printf("  %-*s %10llu  %-23s %12s %12s\n", static_cast<int>(width), s.name.c_str(),
                static_cast<unsigned long long>(s.packets), timeText(s.newestTime).c_str(),
                durationText(now - s.newestTime).c_str(), feed.c_str());
  }
}

int printClients(int fd, const std::string &tarn) {
  tarnclient::ClientList list;
  if (!tarnclient::clients(fd, list)) {
    std::fprintf(stderr, "tarn stat: cannot reach tarn '%s'\n", tarn.c_str());
    return 1;
  }
  if (!list.served) {
    std::printf("clients: the server does not list them (an older version)\n");
    return 0;
  }
  std::printf("clients: %u%s\n", list.total,
              list.clients.size() < list.total ? " (list cut short)" : "");
  double now = std_now();
  for (const tarnclient::ClientFigures &c : list.clients) {
    std::printf("  %s %s%s, since %s (%s), in %s, out %s, %llu packets in, %llu out: %s\n",
                c.peer.c_str(), c.protocol.c_str(),
                c.identity.empty() ? "" : (" '" + c.identity + "'").c_str(),
                timeText(c.since).c_str(), durationText(now - c.since).c_str(),
                bytesText(static_cast<double>(c.bytesIn)).c_str(),
                bytesText(static_cast<double>(c.bytesOut)).c_str(),
                static_cast<unsigned long long>(c.packetsIn),
                static_cast<unsigned long long>(c.packetsOut), c.activity.c_str());
  }
  return 0;
}

}  // namespace

int runStat(const Args &args) {
  if (showsHelp(args, kUsage)) return 0;
  std::string tarn;
  bool streams = false, clients = false;
  for (const std::string &a : args) {
    if (a == "--streams") {
      streams = true;
    } else if (a == "--clients") {
      clients = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tarn stat: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    } else if (!tarn.empty()) {
      std::fprintf(stderr, "tarn stat: one TARN only\n%s", kUsage);
      return 2;
    } else {
      tarn = a;
    }
  }
  if (tarn.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (std::string bad = tarnNameError(tarn); !bad.empty()) {
    std::fprintf(stderr, "tarn stat: %s\n%s", bad.c_str(), kUsage);
    return 2;
  }
  int fd = tarnopen(tarn.c_str(), "r&");
  tarnclient::RingFigures f;
  if (fd < 0 || !tarnclient::stat(fd, f)) {
    std::fprintf(stderr, "tarn stat: cannot reach tarn '%s'\n", tarn.c_str());
    return 1;
  }

  double usedPct = f.ringBytes
                       ? 100.0 * static_cast<double>(f.usedBytes) / static_cast<double>(f.ringBytes)
                       : 0.0;
  std::printf("tarn %s\n", tarn.c_str());
  std::printf("ring: %llu bytes %s, %llu used (%.1f%%), packets up to %u bytes\n",
              static_cast<unsigned long long>(f.ringBytes),
              f.inFile ? "in a ring file" : "in memory",
              static_cast<unsigned long long>(f.usedBytes), usedPct, f.maxPacket);
  if (f.packets == 0) {
    std::printf("packets: none\n");
  } else {
    std::printf("packets: %llu, ids %d to %d, %llu dropped since start\n",
                static_cast<unsigned long long>(f.packets), f.oldestId, f.newestId,
                static_cast<unsigned long long>(f.dropped));
    std::printf("oldest packet time: %s\nnewest packet time: %s\n", timeText(f.oldestTime).c_str(),
                timeText(f.newestTime).c_str());
  }
  std::printf("clients: %u\n", f.clients);
  std::printf("repeated puts not stored again: %llu\n", static_cast<unsigned long long>(f.repeats));
  std::sort(f.sources.begin(), f.sources.end(), [](auto &a, auto &b) { return a.name < b.name; });
  size_t width = 6;
  for (auto &s : f.sources) width = std::max(width, s.name.size());
  std::printf("sources: %zu%s\n", f.sources.size(), f.sourcesTruncated ? " (list cut short)" : "");
  if (streams && !f.sources.empty()) {
    printStreams(f);
  } else if (!f.sources.empty()) {
    std::printf("  %-*s %10s  %s\n", static_cast<int>(width), "SOURCE", "PACKETS", "NEWEST TIME");
    for (auto &s : f.sources) {
      std::printf("  %-*s %10llu  %s (%.6f)\n", static_cast<int>(width), s.name.c_str(),
                  static_cast<unsigned long long>(s.packets), timeText(s.newestTime).c_str(),
                  s.newestTime);
    }
  }
  int rc = clients ? printClients(fd, tarn) : 0;
  tarnclose(fd);
  return rc;
}

}  // namespace tarntool
