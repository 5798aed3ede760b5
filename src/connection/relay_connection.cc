#include "connection/relay_connection.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "base/relay_log.h"
#include "base/stop.h"
#include "base/termination_signals.h"
#include "base/time_text.h"
#include "queue/relay_queue.h"

namespace {

bool stopping() { return Stop.load() != 0; }

// A number of seconds, fixed with six decimals.
std::string fixed6(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

// Sleeps `seconds` truncated to whole seconds (below one second: no pause),
// waking early once the stop flag is set so that a stop is not held up by a
// long back-off.
void backOff(double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(static_cast<long>(seconds));
  while (!stopping() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

const char *stateText(ConnectionState state) {
  switch (state) {
    case ConnectionState::kStopped:
      return "stopped";
    case ConnectionState::kReg:
      return "reg";
    case ConnectionState::kSleeping:
      return "sleeping";
    case ConnectionState::kYes:
      return "yes";
  }
  return "stopped";
}

RelayConnection::RelayConnection(std::string name, std::shared_ptr<RelayQueue> queue,
                                 ReaderSettings settings, std::unique_ptr<PacketSource> source,
                                 const RelayContext &context)
    : m_name(std::move(name)),
      m_direction(Direction::kRead),
      m_queue(std::move(queue)),
      m_context(context),
      m_log(*context.log),
      m_reader(std::move(settings)),
      m_source(std::move(source)),
      m_drops(m_name, m_log, m_counters),
      m_rejects(m_name, m_log, m_counters) {
  if (m_source) m_source->reportRejectsTo(&m_rejects);
}

RelayConnection::RelayConnection(std::string name, std::shared_ptr<RelayQueue> queue,
                                 WriterSettings settings,
                                 std::unique_ptr<PacketDestination> destination,
                                 const RelayContext &context)
    : m_name(std::move(name)),
      m_direction(Direction::kWrite),
      m_queue(std::move(queue)),
      m_context(context),
      m_log(*context.log),
      m_writer(std::move(settings)),
      m_destination(std::move(destination)),
      m_drops(m_name, m_log, m_counters),
      m_rejects(m_name, m_log, m_counters) {
  if (m_destination) {
    m_destination->reportDropsTo(&m_drops);
    m_destination->countDeliveredTo(&m_counters);
  }
}

RelayConnection::~RelayConnection() = default;

const std::string &RelayConnection::queueName() const { return m_queue->name(); }

const EndpointNames &RelayConnection::endpointNames() const {
  return isReader() ? m_source->names() : m_destination->names();
}

// ---- What status packets show ----

bool RelayConnection::linkLost() const {
  const Endpoint *endpoint = isReader() ? static_cast<const Endpoint *>(m_source.get())
                                        : static_cast<const Endpoint *>(m_destination.get());
  return endpoint && endpoint->linkLost();
}

std::string RelayConnection::getString(const std::string &key) const {
  if (key == "connection_name") return m_name;
  if (key == "connection_status") {
    ConnectionState now = state();
    if (now == ConnectionState::kYes && linkLost()) now = ConnectionState::kSleeping;
    return stateText(now);
  }
  if (key == "link") {
    if (state() != ConnectionState::kYes) return "none";
    return linkLost() ? "lost" : "up";
  }
  if (key == "direction") return isReader() ? "read" : "write";
  if (key == "queue_name") return queueName();
  if (key == "tarnname") return endpointNames().server;
  dieUnknownKey(key, "getString()");
}

int RelayConnection::getInt(const std::string &key) const {
  if (key != "queue_count") dieUnknownKey(key, "getInt()");
  return m_begun.load() ? m_queue->getQueueCount(m_name) : 0;
}

double RelayConnection::getDouble(const std::string &key) const {
  if (key != "last_packet_time") dieUnknownKey(key, "getDouble()");
  return m_lastPacketTime.load();
}

RelayConnection::Counts RelayConnection::counts() const {
  const Endpoint *endpoint = isReader() ? static_cast<const Endpoint *>(m_source.get())
                                        : static_cast<const Endpoint *>(m_destination.get());
  return {m_counters.packets(), m_counters.bytes(), endpoint ? endpoint->reconnections() : 0,
          m_counters.drops(), m_counters.rejects()};
}

EndpointFault RelayConnection::fault(double now) const {
  const Endpoint *endpoint = isReader() ? static_cast<const Endpoint *>(m_source.get())
                                        : static_cast<const Endpoint *>(m_destination.get());
  EndpointFault f;
  if (endpoint) f = endpoint->fault();
  if (f.why.empty()) f.why = m_counters.refusalFault(now, f.since);
  return f;
}

long long RelayConnection::freeBytes() const {
  return m_destination ? m_destination->freeBytes() : -1;
}

void RelayConnection::dieUnknownKey(const std::string &key, const std::string &where) const {
  m_log.elog_die("Unexpected internal error: unknown key '" + key +
                 "' in RelayConnection::" + where);
}

// ---- Description ----

void RelayConnection::verboseDescribe() const {
  if (m_log.getVerbose() < 1) return;
  std::vector<std::string> lines = {"\t\tdlname\t\t\t" + m_name, "\t\trun\t\t\ttrue",
                                    std::string("\t\tconnected_status\t") + stateText(state())};
  std::vector<std::string> own = isReader() ? m_source->describe() : m_destination->describe();
  if (isReader()) {
    const ReaderSettings &r = m_reader;
    lines.push_back("\t\tdirection\t\tread");
    lines.insert(lines.end(), own.begin(), own.end());
    lines.push_back("\t\twrite_to_queue\t\t" + queueName());
    lines.push_back(r.starttime == TIME_UNSET ? "\t\tstarttime"
                                              : "\t\tstarttime\t\t" + dateText(r.starttime));
    if (r.endtime == TIME_UNSET) {
      lines.push_back("\t\tendtime");
    } else {
      lines.push_back(r.endtime == TIME_LAST ? "\t\tendtime\t\t\tlast"
                                             : "\t\tendtime\t\t\t" + dateText(r.endtime));
    }
    lines.push_back(r.tooOld == TIME_UNSET ? "\t\ttoo_old" : "\t\ttoo_old\t\t" + fixed6(r.tooOld));
    lines.push_back(r.tooNew == TIME_UNSET ? "\t\ttoo_new" : "\t\ttoo_new\t\t" + fixed6(r.tooNew));
    lines.push_back(std::string("\t\tcheck_unstuff\t\t") + (r.checkUnstuff ? "true" : "false"));
  } else {
    lines.push_back("\t\tdirection\t\twrite");
    lines.push_back("\t\tread_from_queue\t\t" + queueName());
    lines.insert(lines.end(), own.begin(), own.end());
    lines.push_back("\t\tmax_queue\t\t" + std::to_string(m_writer.maxQueue));
    lines.push_back("\t\tmax_queue_bytes\t\t" + std::to_string(m_writer.maxQueueBytes));
  }
  lines.push_back("\t\tmatch\t\t\t" + (isReader() ? m_reader.match : m_writer.match));
  lines.push_back("\t\treject\t\t\t" + (isReader() ? m_reader.reject : m_writer.reject));
  for (const std::string &line : lines) m_log.verbose(line);
}

// ---- The thread ----

void RelayConnection::run() {
  blockTerminationSignals();
  m_log.nameThread("connection_" + m_name);
  m_log.verbose("Thread starting");
  setState(ConnectionState::kReg);
  m_begun.store(true);
  isReader() ? runReader() : runWriter();
  setState(ConnectionState::kStopped);
  m_log.verbose("Thread finished");
}

// Tries to reach the server until it answers or the stop flag is set (with
// `evenIfStopping`, once whatever the flag), waiting 1, 2, 4, 8, 8, ...
// internal time-outs between attempts.
bool RelayConnection::openEndpoint(Endpoint &endpoint, bool evenIfStopping) {
  int factor = 1;
  bool first = evenIfStopping;
  bool waited = false;
  while (first || !stopping()) {
    first = false;
    std::string why;
    OpenResult result = endpoint.open(why);
    if (result == OpenResult::kWasOpen) return true;
    if (result == OpenResult::kOpened) {
      // After "Waiting ..." lines the operator is told, whatever the
      // verbosity, that the wait is over.
      std::string line =
          "Connected to " + endpoint.names().where + (isReader() ? " for reading" : " for writing");
      waited ? m_log.notify(line) : m_log.verbose(line);
      return true;
    }
    waited = true;
    if (stopping()) break;
    setState(ConnectionState::kSleeping);
    double wait = m_context.internalTimeout * factor;
    m_log.elog_complain("Waiting " + fixed6(wait) + " seconds for " + endpoint.names().awaited +
                        " to become available" + (why.empty() ? "" : ": " + why));
    backOff(wait);
    if (factor <= 7) factor *= 2;
  }
  return false;
}
