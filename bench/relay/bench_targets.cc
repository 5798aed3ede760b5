#include "bench_targets.h"

#include <cstdio>
#include <functional>
#include <string>

namespace relaybench {

namespace {

const CaseResult *completed(const std::vector<CaseResult> &results, const char *name) {
  for (const CaseResult &r : results) {
    if (r.name == name) return r.failure.empty() && r.seconds > 0 ? &r : nullptr;
  }
  return nullptr;
}

double rate(const CaseResult &r) { return static_cast<double>(r.packets) / r.seconds; }
double megabytes(const CaseResult &r) { return rate(r) * static_cast<double>(r.packetBytes) / 1e6; }
double machineMicros(const CaseResult &r) {
  return r.packets > 0 ? r.machineCpu / static_cast<double>(r.packets) * 1e6 : 0;
}

// `text` followed by blanks to `width` characters shown (µ takes one).
std::string padded(const std::string &text, int width) {
  int shown = 0;
  for (unsigned char c : text) shown += (c & 0xc0) != 0x80;
  return text + std::string(static_cast<size_t>(width > shown ? width - shown : 0), ' ');
}

std::string format(const char *pattern, double a, double b = 0) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

// A row: its label, the case it reads, the target as text, and what the
// case measured as text with whether it reached the target.
struct Target {
  const char *label;
  const char *caseName;
  std::function<std::string(const std::vector<CaseResult> &)> target;
  std::function<std::string(const CaseResult &, const std::vector<CaseResult> &, bool &)> figure;
};

const std::vector<Target> &targets() {
  static const std::vector<Target> rows = {
      {"backlog, check on", "backlog",
       [](const auto &) { return std::string("800000 packets/s, machine <= 2.5 µs"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = rate(r) >= 800000 && machineMicros(r) <= 2.5;
         return format("%.0f packets/s, machine %.2f µs", rate(r), machineMicros(r));
       }},
      {"backlog, check off", "backlog-nocheck",
       [](const std::vector<CaseResult> &all) {
         const CaseResult *on = completed(all, "backlog");
         return on ? format("not below check on (%.0f)", rate(*on))
                   : std::string("not below check on");
       },
       [](const CaseResult &r, const std::vector<CaseResult> &all, bool &met) {
         const CaseResult *on = completed(all, "backlog");
         met = on && rate(r) >= rate(*on);
         return format("%.0f packets/s", rate(r));
       }},
      {"live", "live", [](const auto &) { return std::string("600000 packets/s"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = rate(r) >= 600000;
         return format("%.0f packets/s", rate(r));
       }},
      {"fan-out 1 -> 3, per destination", "fan-out",
       [](const auto &) { return std::string("300000 packets/s"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = rate(r) >= 300000;
         return format("%.0f packets/s (the slowest)", rate(r));
       }},
      {"8 KiB backlog", "8k-backlog", [](const auto &) { return std::string("1000 MB/s"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = megabytes(r) >= 1000;
         return format("%.0f MB/s", megabytes(r));
       }},
      {"1 MiB backlog", "1m-backlog", [](const auto &) { return std::string("1000 MB/s"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = megabytes(r) >= 1000;
         return format("%.0f MB/s", megabytes(r));
       }},
      {"tarn -> JetStream", "jetstream-out",
       [](const auto &) {
         return std::string("NATS's own sourcing (127000 packets/s measured apart)");
       },
       [](const CaseResult &r, const auto &, bool &met) {
         met = rate(r) >= 127000;
         return format("%.0f packets/s", rate(r));
       }},
      {"p99 put-to-arrival at 50k/s", "latency-50k",
       [](const auto &) { return std::string("< 2 ms"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = r.p99ms >= 0 && r.p99ms < 2;
         return format("%.3f ms", r.p99ms);
       }},
      {"relay peak RSS, 1M backlog", "backlog",
       [](const auto &) { return std::string("< 50 MB on 1000000 packets"); },
       [](const CaseResult &r, const auto &, bool &met) {
         met = r.peakRssMb * 1.048576 < 50;
         std::string text = format("%.1f MB", r.peakRssMb * 1.048576);
         if (r.packets < 1000000) {
           met = false;
           text += format(" on only %.0f packets", static_cast<double>(r.packets));
         }
         return text;
       }},
  };
  return rows;
}

}  // namespace

const std::vector<const char *> &targetCases() {
  static const std::vector<const char *> names = {"backlog",     "backlog-nocheck", "live",
                                                  "latency-50k", "8k-backlog",      "fan-out",
                                                  "1m-backlog",  "jetstream-out"};
  return names;
}

void printTargets(const std::vector<CaseResult> &results) {
  bool any = false;
  for (const Target &t : targets()) {
    for (const CaseResult &r : results) any = any || r.name == t.caseName;
  }
  if (!any) return;
  std::printf("\n%-32s  %-40s  %-56s  %s\n", "against the targets", "this run", "target",
              "reached");
  std::printf("%s\n", std::string(142, '-').c_str());
  for (const Target &t : targets()) {
    const CaseResult *r = completed(results, t.caseName);
    bool ran = false;
    for (const CaseResult &c : results) ran = ran || c.name == t.caseName;
    bool met = false;
    std::string figure = r     ? t.figure(*r, results, met)
                         : ran ? std::string("- (did not complete)")
                               : std::string("- (not run)");
    std::printf("%s  %s  %s  %s\n", padded(t.label, 32).c_str(), padded(figure, 40).c_str(),
                padded(t.target(results), 56).c_str(), r ? (met ? "yes" : "no") : "-");
  }
  std::fflush(stdout);
}

}  // namespace relaybench
