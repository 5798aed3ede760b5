// tarn stat TARN: the server's sources and ring figures.
#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {

int runStat(const Args &args) {
  const char *const usage = "usage: tarn stat TARN\n";
  if (showsHelp(args, usage)) return 0;
  if (args.size() != 1) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (std::string bad = tarnNameError(args[0]); !bad.empty()) {
    std::fprintf(stderr, "tarn stat: %s\n%s", bad.c_str(), usage);
    return 2;
  }
  int fd = tarnopen(args[0].c_str(), "r&");
  tarnclient::RingFigures f;
  if (fd < 0 || !tarnclient::stat(fd, f)) {
    std::fprintf(stderr, "tarn stat: cannot reach tarn '%s'\n", args[0].c_str());
    return 1;
  }
  double usedPct = f.ringBytes
                       ? 100.0 * static_cast<double>(f.usedBytes) / static_cast<double>(f.ringBytes)
                       : 0.0;
  std::printf("tarn %s\n", args[0].c_str());
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
  if (!f.sources.empty())
    std::printf("  %-*s %10s  %s\n", static_cast<int>(width), "SOURCE", "PACKETS", "NEWEST TIME");
  for (auto &s : f.sources) {
    std::printf("  %-*s %10llu  %s (%.6f)\n", static_cast<int>(width), s.name.c_str(),
                static_cast<unsigned long long>(s.packets), timeText(s.newestTime).c_str(),
                s.newestTime);
  }
  tarnclose(fd);
  return 0;
}

}  // namespace tarntool
