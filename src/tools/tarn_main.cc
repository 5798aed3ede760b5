// tarn: the operator's tool for tarn servers.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/elog/elog.h"
#include "tools/tarn_commands.h"

namespace tarntool {
namespace {

const Command kCommands[] = {
    {"put", runPut,
     "tarn put TARN                 JSON lines from stdin: {\"srcname\", \"time\", \"text\" or "
     "\"data\" (base64)}"},
    {"tail", runTail,
     "tarn tail TARN [-m MATCH] [-r REJECT] [--from oldest|newest|TIME|#PKTID]\n"
     "               [-n COUNT] [-t SECONDS] [--json] [--unstuff] [--mseed] [--data]"},
    {"import", runImport,
     "tarn import [--rate N | --realtime] TARN FILE...\n"
     "                              miniSEED files, a packet per record\n"
     "tarn import --follow DIR [--state FILE] [--match PATTERN] TARN\n"
     "                              every record appended to the files of DIR, once"},
    {"gen", runGen,
     "tarn gen TARN [-n COUNT] [-r RATE] [-s SIZE] [--src TEMPLATE] [--streams K]\n"
     "               [--bad FRACTION]     synthetic packets that unstuff"},
    {"stat", runStat,
     "tarn stat TARN [--streams] [--clients]\n"
     "                              the server's sources and ring figures, its clients"},
    {"status", runStatus,
     "tarn status TARN... [--watch [SECONDS]] [--json]\n"
     "                              the servers, their streams and every relay reporting\n"
     "                              to them; exits 1 when something needs attention"},
    {"monitor", runMonitor,
     "tarn monitor TARN... [-l ADDRESS:PORT] [-i SECONDS] [--trace PATTERN]...\n"
     "               [--trace-minutes MINUTES]\n"
     "                              serves a page, /api/status, /api/traces and /metrics\n"
     "                              (default 127.0.0.1:6580); draws the chosen miniSEED streams"},
};

void usage(FILE *out) {
  std::fputs("usage:\n", out);
  for (const Command &c : kCommands) std::fprintf(out, "  %s\n", c.usage);
  std::fputs(
      "TARN is host:port, :port (127.0.0.1) or host (port 6510).\n"
      "tarn COMMAND --help shows a command's options; tarn --version the version.\n",
      out);
}

}  // namespace
}  // namespace tarntool

int main(int argc, char **argv) {
  using namespace tarntool;
  elog_init(argc, argv);
  elog_set_immediate(1);
  if (argc >= 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("tarn (tarn2tarn_pre) %s\n", TARN2TARN_VERSION);
    return 0;
  }
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const Command &c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(Args(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "tarn: unknown command '%s'\n", argv[1]);
  usage(stderr);
  return 2;
}
