// tarn monitor TARN... [-l ADDRESS:PORT] [-i SECONDS] [--trace PATTERN]...
// [--trace-minutes MINUTES]: watches the servers and serves what it sees over
// HTTP: a page on /, JSON on /api/status, Prometheus metrics on /metrics
// and the miniSEED streams the patterns choose on /api/traces (drawn on the
// page), until SIGINT or SIGTERM.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/elog/elog.h"
#include "platform/tarnclient/tarn_address.h"
#include "tools/http_server.h"
#include "tools/monitor.h"
#include "tools/monitor_metrics.h"
#include "tools/network_view.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"
#include "tools/trace_reader.h"

namespace tarntool {
namespace {

const char kDefaultListen[] = "127.0.0.1:6580";
constexpr double kDefaultInterval = 2.0;
constexpr double kMaxTraceMinutes = 60.0;
constexpr int kDefaultColumns = 1000;

const char *const kUsage =
    "usage: tarn monitor TARN... [-l ADDRESS:PORT] [-i SECONDS] [--trace PATTERN]...\n"
    "                    [--trace-minutes MINUTES] [--forget-after SECONDS]\n"
    "                    [--silent-after SECONDS] [--metrics-streams PATTERN]\n"
    "                    [--metrics-streams-max N] [--allow-host NAME]...\n"
    "  serves http://ADDRESS:PORT/ (default 127.0.0.1:6580): the page, /api/status, /api/traces\n"
    "  and /metrics; asks each server every SECONDS (default 2); draws the miniSEED streams\n"
    "  whose source names a PATTERN (extended regular expression) matches whole, over the last\n"
    "  MINUTES (default 10, at most 60); leaves out relays silent for longer than SECONDS\n"
    "  (default 600; 0: none); flags streams without a new packet for longer than\n"
    "  --silent-after SECONDS (default 600); /metrics has series of their own for at most N\n"
    "  streams (default 1000) whose names PATTERN matches whole (default: all); answers\n"
    "  requests for addresses, localhost, this machine's name, the -l address and each NAME\n"
    "  (comma-separated, '*': any)\n";

struct MonitorOptions {
  std::vector<std::string> tarns;
  std::string host = "127.0.0.1";
  int port = 6580;
  double interval = kDefaultInterval;
  double forgetAfter = kDefaultForgetAfter;
  double silentAfter = kDefaultSilentAfter;
  MetricsOptions metrics;
  TraceOptions traces;
  std::vector<std::string> allowedHosts;
};

// "ADDRESS:PORT", ":PORT" (127.0.0.1) or "[IPv6]:PORT"; port 0 picks a free one.
bool parseListen(const std::string &text, MonitorOptions &o, std::string &err) {
  size_t colon = text.rfind(':');
  long port = -1;
  if (colon == std::string::npos || !parseCount(text.substr(colon + 1), port) || port > 65535) {
    err = "-l: '" + text + "' is not ADDRESS:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.find_first_of(":[]") != std::string::npos && text.front() != '[') {
    err = "-l: write an IPv6 address in brackets, as [::1]:6580";
    return false;
  }
  o.host = host.empty() ? "127.0.0.1" : host;
  o.port = static_cast<int>(port);
  return true;
}

bool addTarn(const std::string &name, MonitorOptions &o, std::string &err) {
  tarnclient::TarnAddress addr;
  std::string why;
  if (!tarnclient::parseTarnName(name, addr, why)) {
    err = "'" + name + "' is not a tarn name: " + why;
    return false;
  }
  for (const std::string &t : o.tarns) {
    if (t == name) return true;  // once is enough
  }
  o.tarns.push_back(name);
  return true;
}

bool parseArgs(const Args &args, MonitorOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if ((a == "-l" || a == "-i" || a == "--trace" || a == "--trace-minutes" ||
         a == "--forget-after" || a == "--silent-after" || a == "--metrics-streams" ||
         a == "--metrics-streams-max" || a == "--allow-host") &&
        i + 1 >= args.size()) {
      err = a + " needs a value";
      return false;
    }
    if (a == "-l") {
      if (!parseListen(args[++i], o, err)) return false;
    } else if (a == "-i") {
      if (!parseSeconds(args[++i], o.interval) || o.interval < 0.1) {
        err = "-i: '" + args[i] + "' is not a number of seconds of at least 0.1";
        return false;
      }
    } else if (a == "--forget-after") {
      if (!parseSeconds(args[++i], o.forgetAfter)) {
        err = "--forget-after: '" + args[i] + "' is not a number of seconds (0: forget none)";
        return false;
      }
    } else if (a == "--silent-after") {
      if (!parseSeconds(args[++i], o.silentAfter) || o.silentAfter <= 0) {
        err = "--silent-after: '" + args[i] + "' is not a number of seconds above 0";
        return false;
      }
    } else if (a == "--metrics-streams") {
      std::string why;
      o.metrics.pattern = args[++i];
      if (!checkMetricsPattern(o.metrics.pattern, why)) {
        err = "--metrics-streams: '" + args[i] + "': " + why;
        return false;
      }
    } else if (a == "--metrics-streams-max") {
      long n = -1;
      if (!parseCount(args[++i], n)) {
        err = "--metrics-streams-max: '" + args[i] + "' is not a count";
        return false;
      }
      o.metrics.maxStreams = static_cast<size_t>(n);
    } else if (a == "--allow-host") {
      o.allowedHosts.push_back(args[++i]);
    } else if (a == "--trace") {
      o.traces.patterns.push_back(args[++i]);
      std::string why;
      if (traceExpression(o.traces.patterns, why).empty()) {
        err = "--trace: " + why;
        return false;
      }
    } else if (a == "--trace-minutes") {
      double &m = o.traces.minutes;
      if (!parseSeconds(args[++i], m) || m < 1 || m > kMaxTraceMinutes) {
        err = "--trace-minutes: '" + args[i] + "' is not a number of minutes from 1 to 60";
        return false;
      }
    } else if (!a.empty() && a[0] == '-') {
      err = "unknown option " + a;
      return false;
    } else if (!addTarn(a, o, err)) {
      return false;
    }
  }
  if (o.tarns.empty()) err = "no TARN given";
  return err.empty();
}

// The answer to one request: the page, /api/status, /api/traces (with
// ?columns=N: the window cut into N columns, one per pixel of the plot) and
// /metrics.
HttpResponse route(const Monitor &m, const HttpRequest &req) {
  HttpResponse res;
  if (req.path == "/") {
    res.body = m.page();
    res.contentType = "text/html; charset=utf-8";
  } else if (req.path == "/api/status") {
    res.body = jsonText(m.statusJson(), -1);
    res.contentType = "application/json";
  } else if (req.path == "/api/traces") {
    long columns = kDefaultColumns;
    auto it = req.params.find("columns");
    if (it != req.params.end() && !parseCount(it->second, columns)) {
      res.status = 400;
      res.body = "columns: not a count\n";
      return res;
    }
    res.body = jsonText(m.tracesJson(static_cast<int>(std::min(columns, 100000L))), -1);
    res.contentType = "application/json";
  } else if (req.path == "/metrics") {
    res.body = m.metrics();
    res.contentType = kMetricsContentType;
  } else {
    res.status = 404;
    res.body = "no such page: " + req.path + "\n";
  }
  return res;
}

std::string urlHost(const std::string &host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int runMonitor(const Args &args) {
  if (showsHelp(args, kUsage)) return 0;
  MonitorOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn monitor: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  catchInterrupts();
  elog_set_immediate(0);  // servers going down and up are said by the monitor, once
  Monitor monitor(o.tarns, o.interval, o.traces);
  monitor.forgetAfter(o.forgetAfter);
  monitor.silentAfter(o.silentAfter);
  monitor.metricsOptions(o.metrics);
  HttpLimits limits;
  limits.hosts = std::make_shared<hostname::AllowedHosts>(o.allowedHosts, o.host);
  HttpServer http(limits, [&monitor](const HttpRequest &req) { return route(monitor, req); });
  std::string why;
  int port = http.bind(o.host, o.port, why);
  if (port < 0) {
    std::fprintf(stderr, "tarn monitor: cannot listen on %s:%d: %s\n", o.host.c_str(), o.port,
                 why.c_str());
    return 1;
  }
  monitor.start();
  std::atomic<bool> serving{true};
  std::thread server([&] {
    http.run();
    serving = false;
  });
  std::printf("tarn monitor: serving http://%s:%d/ for %zu tarn servers (Ctrl-C ends)\n",
              urlHost(o.host).c_str(), port, o.tarns.size());
  std::fflush(stdout);
  while (serving && pauseUnlessInterrupted(0.1)) {
  }
  http.stop();
  server.join();
  monitor.stop();
  return 0;
}

}  // namespace tarntool
