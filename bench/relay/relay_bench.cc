// relay_bench: tarn2tarn_pre carrying packets between tarn servers on this
// machine (127.0.0.1), one row per case: packets/s, MB/s, CPU time per
// packet (the relay's, the whole machine's, the servers' and the feeder's),
// the relay's peak RSS, and the packets missing or duplicated at the
// destinations, read back and compared with what was put. The cases are in
// bench_cases.cc; `relay_bench --help` lists them with their options.
//
// Programs are taken from the build's bin folder, or RELAY_BENCH_BIN_DIR in
// the environment. Exit status: 0 when every case completed and every
// packet arrived once, 1 otherwise, 2 for a bad command line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench_cases.h"
#include "bench_process.h"
#include "bench_table.h"
#include "bench_targets.h"

namespace relaybench {
namespace {

struct Options {
  std::vector<std::string> cases;  // empty: all
  long packets = 0;                // 0: each case's own
  bool quick = false;
  bool help = false;
};

void printUsage(FILE *out) {
  std::fprintf(
      out,
      "usage: relay_bench [--case NAME[,NAME...]]... [--targets] [--packets N] [--quick] [--help]\n"
      "  --case NAME   run only these cases (the option may be repeated); default: all\n"
      "  --targets     run only the cases the table of targets reads\n"
      "  --packets N   put N packets in each case run, instead of its own number\n"
      "  --quick       a short run: each case with a tenth of its packets\n"
      "  --help        this text\n"
      "Cases (packets put by default, with --quick):\n");
  for (const CaseEntry &entry : allCases()) {
    std::fprintf(out, "  %-15s %8ld %7ld  %s\n", entry.name.c_str(), entry.fullPackets,
                 entry.quickPackets, entry.summary.c_str());
  }
  std::fprintf(out,
               "Programs come from %s (or RELAY_BENCH_BIN_DIR). bench/README.md says what each "
               "figure means.\n",
               binDir().c_str());
}

bool knownCase(const std::string &name) {
  for (const CaseEntry &entry : allCases()) {
    if (entry.name == name) return true;
  }
  return false;
}

bool addCases(const std::string &list, Options &o) {
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (!knownCase(name)) {
      std::fprintf(stderr, "relay_bench: no case '%s' (relay_bench --help lists them)\n",
                   name.c_str());
      return false;
    }
    o.cases.push_back(name);
  }
  return true;
}

bool parseOptions(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--help" || a == "-h")
      o.help = true;
    else if (a == "--targets")
      o.cases.insert(o.cases.end(), targetCases().begin(), targetCases().end());
    else if (a == "--quick")
      o.quick = true;
    else if (a == "--case" && hasValue) {
      if (!addCases(argv[++i], o)) return false;
    } else if (a == "--packets" && hasValue) {
      char *end = nullptr;
      o.packets = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || o.packets < 1 || o.packets > 100000000) {
        std::fprintf(stderr, "relay_bench: --packets takes a number from 1 to 100000000\n");
        return false;
      }
    } else {
      std::fprintf(stderr, "relay_bench: unknown or incomplete option '%s'\n", a.c_str());
      return false;
    }
  }
  return true;
}

bool selected(const Options &o, const std::string &name) {
  if (o.cases.empty()) return true;
  for (const std::string &c : o.cases) {
    if (c == name) return true;
  }
  return false;
}

double loadAverage() { return std::atof(readFile("/proc/loadavg").c_str()); }

const CaseResult *find(const std::vector<CaseResult> &results, const std::string &name) {
  for (const CaseResult &r : results) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

// The filtered case's relay CPU per delivered packet beside the unfiltered
// backlog's, when both ran.
void compareFilter(std::vector<CaseResult> &results) {
  const CaseResult *plain = find(results, "backlog");
  for (CaseResult &r : results) {
    if (r.name != "filtered" || !plain || plain->packets <= 0 || r.packets <= 0) continue;
    double mine = r.relayCpu / static_cast<double>(r.packets) * 1e6;
    double theirs = plain->relayCpu / static_cast<double>(plain->packets) * 1e6;
    char text[160];
    std::snprintf(
        text, sizeof text,
        "relay CPU %.2f µs per delivered packet, %.2f times the unfiltered backlog's %.2f µs", mine,
        theirs > 0 ? mine / theirs : 0.0, theirs);
    r.notes.push_back(text);
  }
}

int run(const Options &o) {
  std::printf(
      "relay_bench: tarn2tarn_pre (check_unstuff true, no max_queue) between tarn servers on "
      "127.0.0.1; "
      "%ld cores, load average %.2f at the start\n\n",
      sysconf(_SC_NPROCESSORS_ONLN), loadAverage());
  printHeading();
  std::vector<CaseResult> results;
  for (const CaseEntry &entry : allCases()) {
    if (!selected(o, entry.name)) continue;
    long packets = o.packets > 0 ? o.packets : o.quick ? entry.quickPackets : entry.fullPackets;
    results.push_back(entry.run(packets));
    printRow(results.back());
  }
  compareFilter(results);
  int status = printSummary(results);
  printTargets(results);
  std::printf(
      "load average %.2f at the end; a busy machine raises the CPU figures and lowers the rates "
      "(bench/README.md)\n",
      loadAverage());
  return status;
}

}  // namespace
}  // namespace relaybench

int main(int argc, char **argv) {
  relaybench::Options options;
  if (!relaybench::parseOptions(argc, argv, options)) {
    relaybench::printUsage(stderr);
    return 2;
  }
  if (options.help) {
    relaybench::printUsage(stdout);
    return 0;
  }
  int status = relaybench::run(options);
  // The logs of a failed case stay for a look.
  if (status == 0)
    relaybench::removeWorkDir();
  else
    std::printf("logs and parameter files kept in %s\n", relaybench::workDir().c_str());
  return status;
}
