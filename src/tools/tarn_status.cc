// tarn status TARN...: the servers' ring figures and packets per second, and
// every relay whose status packets they hold, one row per connection; as a
// table, redrawn in place with --watch, or as JSON.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/elog/elog.h"
#include "platform/tarnclient/tarn_address.h"
#include "platform/time/epochtime.h"
#include "tools/network_view.h"
#include "tools/status_table.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

constexpr double kLookback = 600.0;  // seconds of older reports read to find a relay's interval
constexpr double kRateSpan = 1.0;    // seconds between the two answers that give packets/s
constexpr double kDefaultWatch = 2.0;

const char *const kUsage =
    "usage: tarn status TARN... [--watch [SECONDS]] [--json] [--forget-after SECONDS]\n"
    "                   [--silent-after SECONDS]\n"
    "  --watch redraws every SECONDS (default 2) until interrupted\n"
    "  --forget-after leaves out relays silent for longer (default 600; 0: none)\n"
    "  --silent-after flags streams without a new packet for longer (default 600)\n"
    "exit status: 0 nothing needs attention, 1 something does, 2 no server reached\n"
    "  (or a wrong command line)\n";

struct StatusOptions {
  std::vector<std::string> tarns;
  double watch = -1;  // seconds between redraws; -1: once
  bool json = false;
  double forgetAfter = kDefaultForgetAfter;
  double silentAfter = kDefaultSilentAfter;
};

bool checkTarn(const std::string &name, std::string &err) {
  tarnclient::TarnAddress addr;
  std::string why;
  if (tarnclient::parseTarnName(name, addr, why)) return true;
  err = "'" + name + "' is not a tarn name: " + why;
  return false;
}

bool parseArgs(const Args &args, StatusOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--json") {
      o.json = true;
    } else if (a == "--forget-after") {
      if (i + 1 >= args.size() || !parseSeconds(args[i + 1], o.forgetAfter)) {
        err = "--forget-after: give a number of seconds (0: forget none)";
        return false;
      }
      ++i;
    } else if (a == "--silent-after") {
      if (i + 1 >= args.size() || !parseSeconds(args[i + 1], o.silentAfter) ||
          o.silentAfter <= 0) {
        err = "--silent-after: give a number of seconds above 0";
        return false;
      }
      ++i;
    } else if (a == "--watch") {
      o.watch = kDefaultWatch;
      double s;
      if (i + 1 < args.size() && parseSeconds(args[i + 1], s)) {
        if (s < 0.1) {
          err = "--watch: give at least 0.1 seconds";
          return false;
        }
        o.watch = s;
        ++i;
      }
    } else if (!a.empty() && a[0] == '-') {
      err = "unknown option " + a;
      return false;
    } else if (!checkTarn(a, err)) {
      return false;
    } else {
      o.tarns.push_back(a);
    }
  }
  if (o.tarns.empty()) err = "no TARN given";
  return err.empty();
}

// One round on every server at once: a slow or unreachable one costs its
// own time only.
void pollAll(std::vector<std::unique_ptr<ServerWatch>> &watches) {
  std::vector<std::thread> threads;
  for (auto &w : watches) threads.emplace_back([&w] { w->poll(); });
  for (auto &t : threads) t.join();
}

NetworkView currentView(const std::vector<std::unique_ptr<ServerWatch>> &watches,
                        const StatusOptions &o) {
  std::vector<WatchSnapshot> snapshots;
  for (const auto &w : watches) snapshots.push_back(w->snapshot());
  return buildView(snapshots, std_now(), o.forgetAfter, o.silentAfter);
}

// 0: nothing needs attention; 1: something does; 2: no server was reached.
int exitStatus(const NetworkView &view) {
  if (view.nothingReached()) return 2;
  return view.needsAttention() ? 1 : 0;
}

bool useColor() {
  const char *term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") &&
         !(term && std::string(term) == "dumb");
}

// The table drawn over the previous one: cursor home, each line cleared to
// its end, then everything below cleared.
void redraw(const std::string &table, double every) {
  std::string out = "\033[H";
  out += "tarn status every " + durationText(every) + ", " + timeText(std_now()) +
         " (Ctrl-C ends)\033[K\n\033[K\n";
  for (size_t at = 0, nl; at < table.size(); at = nl + 1) {
    nl = table.find('\n', at);
    if (nl == std::string::npos) nl = table.size();
    out += table.substr(at, nl - at) + "\033[K\n";
  }
  out += "\033[J";
  std::fputs(out.c_str(), stdout);
}

void show(const NetworkView &view, const StatusOptions &o) {
  if (o.json)
    std::puts(jsonText(toJson(view), o.watch < 0 ? 2 : -1).c_str());
  else if (o.watch < 0)
    std::fputs(renderTable(view, useColor()).c_str(), stdout);
  else
    redraw(renderTable(view, useColor()), o.watch);
  std::fflush(stdout);
}

}  // namespace

int runStatus(const Args &args) {
  if (showsHelp(args, kUsage)) return 0;
  StatusOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn status: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  catchInterrupts();
  elog_set_immediate(0);  // a server that cannot be reached is shown as down instead
  std::vector<std::unique_ptr<ServerWatch>> watches;
  for (const std::string &t : o.tarns)
    watches.push_back(std::make_unique<ServerWatch>(t, kLookback));
  pollAll(watches);
  if (!pauseUnlessInterrupted(kRateSpan)) return 0;
  pollAll(watches);
  NetworkView view = currentView(watches, o);
  show(view, o);
  while (o.watch > 0 && pauseUnlessInterrupted(o.watch)) {
    pollAll(watches);
    view = currentView(watches, o);
    show(view, o);
  }
  return exitStatus(view);
}

}  // namespace tarntool
