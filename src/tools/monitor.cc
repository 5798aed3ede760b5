#include "tools/monitor.h"

#include <chrono>
#include <cstdio>

#include "platform/time/epochtime.h"
#include "tools/monitor_metrics.h"
#include "tools/monitor_page.h"
#include "tools/trace_reader.h"

namespace tarntool {
namespace {

constexpr double kLookback = 3600.0;  // the history shown starts with the reports of the last hour
constexpr double kTraceWait = 0.25;   // a trace reader looks at the stop between waits this long
constexpr int kPageColumns = 1200;  // of the traces embedded in the page; it then asks for its own
const char kSep = '\x1f';

std::string serverSeries(const std::string &tarn) { return std::string("server") + kSep + tarn; }

std::string connectionSeries(const std::string &relay, const std::string &connection,
                             const char *what) {
  return "connection" + (kSep + relay) + kSep + connection + kSep + what;
}

void sayChange(const ServerState &s, bool first) {
  if (s.up && !first)
    std::fprintf(stderr, "tarn monitor: tarn '%s' answers again\n", s.tarn.c_str());
  if (!s.up)
    std::fprintf(stderr, "tarn monitor: tarn '%s' is down: %s\n", s.tarn.c_str(), s.error.c_str());
}

TraceLimits traceLimits(const TraceOptions &o) {
  TraceLimits limits;
  limits.windowSeconds = o.minutes * 60.0;
  return limits;
}

std::string expressionOf(const TraceOptions &o) {
  std::string why;
  return traceExpression(o.patterns, why);
}

}  // namespace

Monitor::Monitor(std::vector<std::string> tarns, double interval, TraceOptions traces)
    : tarns_(std::move(tarns)),
      interval_(interval),
      traceOptions_(std::move(traces)),
      traceExpression_(expressionOf(traceOptions_)),
      traces_(traceLimits(traceOptions_)) {
  for (const std::string &t : tarns_) {
    WatchSnapshot s;
    s.server.tarn = t;
    s.server.error = "not asked yet";
    snapshots_.push_back(s);
  }
}

Monitor::~Monitor() { stop(); }

void Monitor::start() {
  for (size_t i = 0; i < tarns_.size(); ++i) threads_.emplace_back([this, i] { watch(i); });
  if (traceExpression_.empty()) return;
  for (size_t i = 0; i < tarns_.size(); ++i) threads_.emplace_back([this, i] { readTraces(i); });
}

bool Monitor::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void Monitor::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread &t : threads_) t.join();
  threads_.clear();
}

void Monitor::watch(size_t index) {
  ServerWatch w(tarns_[index], kLookback);
  bool first = true, wasUp = false;
  auto pause = std::chrono::duration<double>(interval_);
  for (;;) {
    std::vector<RelayReport> fresh;
    w.poll(&fresh);
    record(w.server(), fresh);
    if (first || w.server().up != wasUp) sayChange(w.server(), first);
    first = false;
    wasUp = w.server().up;
    std::unique_lock<std::mutex> lock(mutex_);
    snapshots_[index] = w.snapshot();
    if (wake_.wait_for(lock, pause, [this] { return stopping_; })) return;
  }
}

void Monitor::readTraces(size_t index) {
  TraceReader reader(tarns_[index], traceExpression_, traces_);
  auto pause = std::chrono::duration<double>(interval_);
  while (!stopping()) {
    if (reader.step(kTraceWait)) continue;
    std::unique_lock<std::mutex> lock(mutex_);  // not reached: try again a round later
    if (wake_.wait_for(lock, pause, [this] { return stopping_; })) return;
  }
}

void Monitor::record(const ServerState &server, const std::vector<RelayReport> &fresh) {
  if (server.packetsPerSecond)
    history_.add(serverSeries(server.tarn), server.answeredAt, *server.packetsPerSecond);
  for (const RelayReport &r : fresh) {
    for (const ConnectionReport &c : r.connections) {
      if (c.latency)
        history_.add(connectionSeries(r.target, c.name, "latency"), r.time, *c.latency);
      if (c.queueDepth >= 0)
        history_.add(connectionSeries(r.target, c.name, "queue_depth"), r.time, c.queueDepth);
    }
  }
  history_.prune(std_now());
}

NetworkView Monitor::view() const {
  std::vector<WatchSnapshot> snapshots;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots = snapshots_;
  }
  return buildView(snapshots, std_now(), forgetAfter_, silentAfter_);
}

nlohmann::ordered_json Monitor::statusJson() const {
  NetworkView v = view();
  nlohmann::ordered_json j = toJson(v);
  for (auto &server : j["servers"]) {
    server["history"] = {
        {"packets_per_second", history_.points(serverSeries(server["tarn"]), v.now)}};
  }
  for (auto &relay : j["relays"]) {
    std::string target = relay["target"];
    for (auto &c : relay["connections"]) {
      std::string name = c["name"];
      c["history"] = {
          {"latency_seconds", history_.points(connectionSeries(target, name, "latency"), v.now)},
          {"queue_depth", history_.points(connectionSeries(target, name, "queue_depth"), v.now)}};
    }
  }
  return j;
}

std::string Monitor::metrics() const { return renderMetrics(view(), metricsOptions_); }

nlohmann::ordered_json Monitor::tracesJson(int columns) const {
  return traces_.toJson(std_now(), columns, traceOptions_.patterns);
}

std::string Monitor::page() const {
  std::string traces = traceExpression_.empty() ? "null" : jsonText(tracesJson(kPageColumns), -1);
  return monitorPage(jsonText(statusJson(), -1), traces);
}

}  // namespace tarntool
