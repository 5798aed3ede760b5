// The watching half of `tarn monitor`: one thread per tarn server, each
// polling its server every `interval` seconds (server_watch.h) and
// publishing what it saw, with the last hour of each server's packets per
// second and each connection's latency and queued packets (monitor_history.h).
// The page, /api/status and /metrics are built from the latest of each. A
// server going down, and coming back, is said once on standard error.
//
// With trace patterns, one more thread per server reads the miniSEED
// streams they choose (trace_reader.h) into one TraceStore, which the page
// draws from /api/traces.
//
// Thread-safety: statusJson, metrics and page may be called from any number
// of threads while the watchers run; start and stop from one thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/monitor_history.h"
#include "tools/monitor_metrics.h"
#include "tools/network_view.h"
#include "tools/trace_store.h"

namespace tarntool {

// The streams drawn: source names that one of `patterns` matches whole,
// over the last `minutes`. No patterns: nothing is drawn.
struct TraceOptions {
  std::vector<std::string> patterns;
  double minutes = 10.0;
};

class Monitor {
 public:
  Monitor(std::vector<std::string> tarns, double interval, TraceOptions traces = {});
  ~Monitor();  // stops the watchers
  Monitor(const Monitor &) = delete;
  Monitor &operator=(const Monitor &) = delete;

  // Relays silent for longer than `seconds` are left out (0: none); set
  // before start().
  void forgetAfter(double seconds) { forgetAfter_ = seconds; }
  // Streams without a new packet for longer are silent; set before start().
  void silentAfter(double seconds) { silentAfter_ = seconds; }
  // Which streams /metrics gives series of their own; set before start().
  void metricsOptions(MetricsOptions o) { metricsOptions_ = std::move(o); }

  void start();
  // Ends the watchers and waits for them: at once between rounds, else
  // after the round under way (short once the process's stop flag is set).
  void stop();

  // What `tarn status --json` prints, each server with the history of its
  // packets per second and each connection with that of its latency and
  // queued packets ("history": {"name": [[time, value], ...]}).
  nlohmann::ordered_json statusJson() const;
  std::string metrics() const;
  // The streams drawn (trace_store.h), the window cut into `columns`.
  nlohmann::ordered_json tracesJson(int columns) const;
  // The page, with the status and the traces embedded so that they show
  // without a request.
  std::string page() const;

 private:
  void watch(size_t index);
  void readTraces(size_t index);
  bool stopping() const;
  void record(const ServerState &server, const std::vector<RelayReport> &fresh);
  NetworkView view() const;

  const std::vector<std::string> tarns_;
  const double interval_;
  double forgetAfter_ = kDefaultForgetAfter;
  double silentAfter_ = kDefaultSilentAfter;
  MetricsOptions metricsOptions_;
  History history_;
  const TraceOptions traceOptions_;
  const std::string traceExpression_;  // the patterns as one expression
  TraceStore traces_;
  std::vector<std::thread> threads_;  // started and joined by the owner's thread

  mutable std::mutex mutex_;              // guards the two below
  std::vector<WatchSnapshot> snapshots_;  // one per server, in the order given
  bool stopping_ = false;
  std::condition_variable wake_;  // stopping_ set
};

}  // namespace tarntool
