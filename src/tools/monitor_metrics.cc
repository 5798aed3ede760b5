#include "tools/monitor_metrics.h"

#include <regex.h>

#include <charconv>
#include <memory>
#include <cmath>
#include <utility>
#include <vector>

namespace tarntool {

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

std::string number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

// One metric family: its HELP and TYPE lines, then its samples; nothing at
// all when it has no sample.
class Family {
 public:
  Family(const char *name, const char *type, const char *help)
      : name_(name), type_(type), help_(help) {}

  void add(const Labels &labels, double value) {
    samples_ += name_;
    if (!labels.empty()) {
      samples_ += '{';
      for (size_t i = 0; i < labels.size(); ++i) {
        samples_ += (i ? "," : "") + labels[i].first + "=\"" + escapeLabel(labels[i].second) + "\"";
      }
      samples_ += '}';
    }
    samples_ += ' ' + number(value) + '\n';
  }

  void writeTo(std::string &out) const {
    if (samples_.empty()) return;
    out += "# HELP " + name_ + ' ' + help_ + "\n# TYPE " + name_ + ' ' + type_ + '\n' + samples_;
  }

 private:
  std::string name_, type_, help_, samples_;
};

void serverMetrics(const std::vector<ServerState> &servers, double now, std::string &out) {
  Family up("tarn_server_up", "gauge",
            "Whether the tarn server answered the monitor's last request.");
  Family packets("tarn_server_ring_packets", "gauge", "Packets the server's ring holds.");
  Family size("tarn_server_ring_size_bytes", "gauge", "Size of the server's ring.");
  Family used("tarn_server_ring_used_bytes", "gauge", "Bytes of the server's ring in use.");
  Family ratio("tarn_server_ring_used_ratio", "gauge",
               "Share of the server's ring in use, from 0 to 1.");
  Family stored("tarn_server_stored_packets_total", "counter",
                "Packets the server stored since it started: those its ring holds and those it "
                "dropped to make room.");
  Family dropped("tarn_server_dropped_packets_total", "counter",
                 "Packets the ring dropped to make room since the server started.");
  Family clients("tarn_server_clients", "gauge", "Clients connected to the server.");
  Family newest("tarn_server_newest_packet_age_seconds", "gauge",
                "Age of the newest packet's time on the server.");
  for (const ServerState &s : servers) {
    Labels l{{"tarn", s.tarn}};
    up.add(l, s.up ? 1 : 0);
    if (!s.up) continue;
    const tarnclient::RingFigures &f = s.figures;
    packets.add(l, static_cast<double>(f.packets));
    size.add(l, static_cast<double>(f.ringBytes));
    used.add(l, static_cast<double>(f.usedBytes));
    ratio.add(
        l, f.ringBytes ? static_cast<double>(f.usedBytes) / static_cast<double>(f.ringBytes) : 0.0);
    stored.add(l, static_cast<double>(f.packets + f.dropped));
    dropped.add(l, static_cast<double>(f.dropped));
    clients.add(l, f.clients);
    if (f.packets) newest.add(l, now - f.newestTime);
  }
  for (const Family *f : {&up, &packets, &size, &used, &ratio, &stored, &dropped, &clients, &newest})
    f->writeTo(out);
}

struct RegexFree {
  void operator()(regex_t *r) const {
    regfree(r);
    delete r;
  }
};
using Regex = std::unique_ptr<regex_t, RegexFree>;

Regex compile(const std::string &pattern, std::string &why) {
  Regex re(new regex_t);
  int rc = regcomp(re.get(), ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc == 0) return re;
  char buf[256];
  regerror(rc, re.get(), buf, sizeof buf);
  delete re.release();
  why = buf;
  return nullptr;
}

// Per stream, within the bound; per server, how many and how many silent.
void streamMetrics(const NetworkView &view, const MetricsOptions &o, std::string &out) {
  Family count("tarn_streams", "gauge",
               "Streams on the server (sources but the relays' status and log packets).");
  Family silentCount("tarn_streams_silent", "gauge",
                     "Streams on the server whose newest packet arrived longer ago than the "
                     "monitor's --silent-after.");
  Family unexported("tarn_streams_unexported", "gauge",
                    "Streams on the server left out of the per-stream series (past "
                    "--metrics-streams-max, or not matching --metrics-streams).");
  Family dataLatency("tarn_stream_data_latency_seconds", "gauge",
                     "Now minus the time of the stream's newest packet.");
  Family feedLatency("tarn_stream_feed_latency_seconds", "gauge",
                     "Now minus when the stream's newest packet arrived at the server.");
  Family silent("tarn_stream_silent", "gauge",
                "Whether the stream's newest packet arrived longer ago than --silent-after.");
  Family srcPackets("tarn_source_packets", "gauge",
                    "Packets of one source that the server's ring holds.");
  Family srcAge("tarn_source_newest_packet_age_seconds", "gauge",
                "Age of the newest packet's time of one source.");
  std::string why;
  Regex re = o.pattern.empty() ? nullptr : compile(o.pattern, why);
  size_t exported = 0, sources = 0;
  for (const ServerState &s : view.servers) {
    if (!s.up) continue;
    double all = 0, quiet = 0, left = 0;
    for (const StreamView &st : view.streams) {
      if (st.server != s.tarn) continue;
      ++all;
      quiet += st.silent;
      bool wanted = !re || regexec(re.get(), st.name.c_str(), 0, nullptr, 0) == 0;
      if (!wanted || exported >= o.maxStreams) {
        ++left;
        continue;
      }
      ++exported;
      Labels ls{{"tarn", s.tarn}, {"stream", st.name}};
      dataLatency.add(ls, st.dataLatency);
      if (st.feedLatency) feedLatency.add(ls, *st.feedLatency);
      silent.add(ls, st.silent ? 1 : 0);
    }
    // Every source as before (the relays' status and log packets too),
    // within the same bound.
    for (const tarnclient::SourceFigures &src : s.figures.sources) {
      if (sources >= o.maxStreams) break;
      if (re && regexec(re.get(), src.name.c_str(), 0, nullptr, 0) != 0) continue;
      ++sources;
      Labels lsrc{{"tarn", s.tarn}, {"source", src.name}};
      srcPackets.add(lsrc, static_cast<double>(src.packets));
      srcAge.add(lsrc, view.now - src.newestTime);
    }
    Labels l{{"tarn", s.tarn}};
    count.add(l, all);
    silentCount.add(l, quiet);
    unexported.add(l, left);
  }
  for (const Family *f :
       {&count, &silentCount, &unexported, &dataLatency, &feedLatency, &silent, &srcPackets, &srcAge})
    f->writeTo(out);
}

// The states a connection reports (relay_connection.h).
const char *const kConnectionStates[] = {"stopped", "reg", "sleeping", "yes"};

struct RelayFamilies {
  Family stale{"tarn_relay_stale", "gauge",
               "Whether the relay's newest report is older than three report intervals."};
  Family lost{"tarn_relay_lost", "gauge",
              "Whether the relay's reports ended without its final one more than five report "
              "intervals ago (it died)."};
  Family stopped{"tarn_relay_stopped", "gauge",
                 "Whether the relay's newest report is the one it sends as it stops in order."};
  Family unreachable{"tarn_relay_status_server_unreachable", "gauge",
                     "Whether the server the relay's reports were read from cannot be reached."};
  Family age{"tarn_relay_report_age_seconds", "gauge", "Age of the relay's newest status report."};
  Family interval{"tarn_relay_report_interval_seconds", "gauge",
                  "The relay's interval between status reports."};
  Family runTime{"tarn_relay_run_time_seconds", "gauge",
                 "How long the relay had run at its newest report."};
  Family memory{"tarn_relay_resident_memory_bytes", "gauge",
                "The relay's resident set size at its newest report."};
  Family up{"tarn_relay_connection_up", "gauge",
            "Whether the connection is in state yes with its link up at the newest report."};
  Family state{"tarn_relay_connection_state", "gauge",
               "Whether the connection is in the state of label state at the newest report, one "
               "series per state."};
  Family lastAge{"tarn_relay_connection_last_packet_age_seconds", "gauge",
                 "Seconds between the connection's last packet's time and the newest report."};
  Family queued{"tarn_relay_connection_queued_packets", "gauge",
                "Packets waiting in the connection's queue."};
  Family packets{"tarn_relay_connection_packets_total", "counter",
                 "Packets the connection relayed since the relay started (a reader's queued, a "
                 "writer's delivered)."};
  Family bytes{"tarn_relay_connection_bytes_total", "counter",
               "Bytes of the packets the connection relayed since the relay started."};
  Family dropped{"tarn_relay_connection_dropped_packets_total", "counter",
                 "Packets the connection's writer dropped since the relay started, by cause."};
  Family reconnections{"tarn_relay_connection_reconnections_total", "counter",
                       "Times the connection's lost link was made again since the relay started."};
  Family rejected{"tarn_relay_connection_rejected_packets_total", "counter",
                  "Packets the connection's reader refused since the relay started, by cause."};
  Family fault{"tarn_relay_connection_fault", "gauge",
               "Whether something keeps the connection from moving packets (a full disk, a "
               "refusal) at the newest report."};
  Family faultAge{"tarn_relay_connection_fault_age_seconds", "gauge",
                  "Seconds since the connection's fault began, while it has one."};
  Family freeBytes{"tarn_relay_connection_free_bytes", "gauge",
                   "Bytes free on the filesystem the connection's destination writes to."};

  void add(const RelayView &r) {
    Labels l{{"relay", r.state.target}};
    stale.add(l, r.stale ? 1 : 0);
    lost.add(l, r.lost ? 1 : 0);
    stopped.add(l, r.stopped ? 1 : 0);
    unreachable.add(l, r.unreachable.empty() ? 0 : 1);
    age.add(l, r.age);
    interval.add(l, r.interval);
    if (!r.state.report) return;
    const RelayReport &rep = *r.state.report;
    runTime.add(l, rep.runTime);
    if (rep.rssKiB()) memory.add(l, 1024.0 * static_cast<double>(*rep.rssKiB()));
    for (const ConnectionReport &c : rep.connections) {
      Labels lc{{"relay", r.state.target},
                {"connection", c.name},
                {"direction", c.direction},
                {"tarn", c.tarn},
                {"queue", c.queue}};
      up.add(lc, c.state == "yes" && c.link != "lost" ? 1 : 0);
      // Every documented state always, so that a change of state moves a
      // 1 between series instead of making one vanish; a state unknown here
      // gets a series of its own.
      bool known = false;
      for (const char *s : kConnectionStates) {
        known = known || c.state == s;
        Labels ls = lc;
        ls.emplace_back("state", s);
        state.add(ls, c.state == s ? 1 : 0);
      }
      if (!known) {
        Labels ls = lc;
        ls.emplace_back("state", c.state);
        state.add(ls, 1);
      }
      if (c.latency) lastAge.add(lc, *c.latency);
      if (!r.stopped) fault.add(lc, c.fault.empty() ? 0 : 1);
      if (!c.fault.empty()) faultAge.add(lc, r.state.newestTime - c.faultSince);
      if (c.freeBytes) freeBytes.add(lc, *c.freeBytes);
      if (c.queueDepth >= 0) queued.add(lc, static_cast<double>(c.queueDepth));
      if (!c.counts) continue;
      packets.add(lc, static_cast<double>(c.counts->packets));
      bytes.add(lc, static_cast<double>(c.counts->bytes));
      reconnections.add(lc, static_cast<double>(c.counts->reconnections));
      for (const auto &[cause, n] : c.counts->dropped) {
        Labels ld = lc;
        ld.emplace_back("cause", cause);
        dropped.add(ld, static_cast<double>(n));
      }
      for (const auto &[cause, n] : c.counts->rejected) {
        Labels ld = lc;
        ld.emplace_back("cause", cause);
        rejected.add(ld, static_cast<double>(n));
      }
    }
  }

  void writeTo(std::string &out) const {
    for (const Family *f : {&stale, &lost, &stopped, &unreachable, &age, &interval, &runTime,
                            &memory, &up, &state, &lastAge, &queued, &packets, &bytes, &dropped,
                            &rejected, &reconnections, &fault, &faultAge, &freeBytes})
      f->writeTo(out);
  }
};

}  // namespace

std::string escapeLabel(const std::string &value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

bool checkMetricsPattern(const std::string &pattern, std::string &why) {
  return pattern.empty() || compile(pattern, why) != nullptr;
}

std::string renderMetrics(const NetworkView &view, const MetricsOptions &options) {
  std::string out;
  serverMetrics(view.servers, view.now, out);
  streamMetrics(view, options, out);
  RelayFamilies relays;
  for (const RelayView &r : view.relays) relays.add(r);
  relays.writeTo(out);
  return out;
}

}  // namespace tarntool
