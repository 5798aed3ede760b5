// RelayConfig: vetting one complete connection object, creating its
// connection, source or destination and queue, and the connection registry.
// What is particular to a kind of server (its keys, its checks, its
// adapters) is the kind's (endpoints/endpoint_kind.h).
#include <regex.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>

#include "base/config_values.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "endpoints/endpoint_kind.h"
#include "managers/relay_log_mgr.h"
#include "platform/tarnclient/tarn_address.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"

namespace {

// The value of `key`; "" when it is absent or not a plain value.
std::string valueOf(Pf *pf, const char *key) {
  const char *value = pfget_string(pf, key);
  return value ? value : "";
}

}  // namespace

// ---- Vetting ----

void RelayConfig::vetConnectionPf(Pf *connection) {
  if (!pfhas_key(connection, "name")) {
    m_logMgr->die_initializing(
        "Configuration error: there's connection missing its 'name' parameter in parameter-file '" +
        m_pfname + "'");
  }
  std::string name = valueOf(connection, "name");
  if (name.empty()) {
    m_logMgr->die_initializing(
        "Configuration error: there's a connection with empty 'name' parameter in parameter-file "
        "'" +
        m_pfname + "'");
  }
  if (!pfhas_key(connection, "direction")) {
    m_logMgr->die_initializing("Unexpected internal error: connection '" + name +
                               "' missing 'direction' parameter.");
  }
  for (const char *key : {"run", "name", "match", "reject"}) {
    if (!pfhas_key(connection, key)) {
      m_logMgr->die_initializing("Configuration error: connection '" + name +
                                 "' is missing parameter '" + key + "'");
    }
  }
  std::string direction = valueOf(connection, "direction");
  if (direction != "read" && direction != "write") {
    m_logMgr->die_initializing("Unexpected internal error: connection '" + name +
                               "' has unknown direction '" + direction + "'.");
  }
  vetEntry(ConnectionEntry(connection, name,
                           direction == "read" ? Direction::kRead : Direction::kWrite, *m_logMgr));
}

// ---- Creating connections ----

std::shared_ptr<RelayConnection> RelayConfig::addConnection(Pf *pf) {
  vetConnectionPf(pf);
  std::string name = reserveConnectionName(pf);
  checkPlainValues(pf, name);
  ConnectionEntry entry(pf, name,
                        valueOf(pf, "direction") == "read" ? Direction::kRead : Direction::kWrite,
                        *m_logMgr);
  if (!entry.boolean("run")) {
    m_logMgr->verbose("Connection '" + name +
                      "' is disabled (run = 'false') in parameter file. Skipping connection.");
    return nullptr;
  }
  if (entry.isReader()) checkReaderExpressions(pf, name);
  std::shared_ptr<RelayConnection> connection = makeConnection(entry, pf);
  m_connections[name] = connection;
  // The writer is a consumer from now on, so that what readers push before
  // its thread has opened its destination waits for it instead of being
  // lost; its thread's own registration later only sets the time-out.
  // Likewise the reader is a producer from now on, so that its writers wait
  // for its end-of-data mark even when another reader ends before it has
  // opened its source; every reader pushes that mark when its thread ends.
  std::shared_ptr<RelayQueue> queue = getRelayQueue(connection->queueName());
  if (entry.isReader()) {
    queue->setProducer(name);
  } else {
    const WriterSettings &w = connection->writerSettings();
    queue->setConsumer(name, w.maxQueue, w.maxQueueBytes);
  }
  m_logMgr->verbose("Added connection '" + name + "'");
  connection->verboseDescribe();
  return connection;
}

// The entry's queue, settings and the source or destination its kind makes.
std::shared_ptr<RelayConnection> RelayConfig::makeConnection(const ConnectionEntry &entry, Pf *pf) {
  const EndpointKind &kind = entryKind(entry);
  m_kindOf[entry.name()] = kind.name;
  std::string queueName = valueOf(pf, entry.isReader() ? "write_to_queue" : "read_from_queue");
  addQueue(queueName);
  std::shared_ptr<RelayQueue> queue = getRelayQueue(queueName);
  if (entry.isReader()) {
    ReaderSettings settings = readReaderSettings(entry);
    return std::make_shared<RelayConnection>(
        entry.name(), queue, settings, kind.makeSource(entry, settings, m_context), m_context);
  }
  WriterSettings settings = readWriterSettings(entry);
  return std::make_shared<RelayConnection>(entry.name(), queue, settings,
                                           kind.makeDestination(entry, m_context), m_context);
}

namespace {

// One server, however its name is written: a tarn name as host and port
// (":6520", "127.0.0.1:6520" and "localhost:6520" are one server); any
// other kind's server as its adapter names it.
std::string serverKey(const std::string &kind, const std::string &server) {
  tarnclient::TarnAddress address;
  std::string why;
  if (kind != "tarn" || !tarnclient::parseTarnName(server, address, why)) return kind + " " + server;
  std::string host = address.host;
  for (char &c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (host == "localhost") host = "127.0.0.1";
  return kind + " " + host + ":" + std::to_string(address.port);
}

}  // namespace

// A reader's packets reach every writer of its queue unchanged, so what such
// a writer puts on the reader's own server is what the reader takes: it
// reads it again, and the writer puts it again (a port given twice, say).
void RelayConfig::warnAboutLoops() {
  std::map<std::string, std::shared_ptr<RelayConnection>> byName(m_connections.begin(),
                                                                  m_connections.end());
  for (const auto &[writerName, writer] : byName) {
    if (writer->isReader()) continue;
    std::string written = writer->getString("tarnname");
    std::string key = serverKey(m_kindOf[writerName], written);
    for (const auto &[readerName, reader] : byName) {
      if (!reader->isReader() || reader->queueName() != writer->queueName() ||
          serverKey(m_kindOf[readerName], reader->getString("tarnname")) != key) {
        continue;
      }
      m_logMgr->elog_complain("Warning: connection '" + writerName + "' writes to " +
                              m_kindOf[writerName] + " '" + written + "', which connection '" +
                              readerName + "' reads and hands to it through queue '" +
                              writer->queueName() +
                              "': every packet it puts there is read and put again, in a loop");
    }
  }
}

// The entry's name, or the next generated one for "auto"; a name used before
// ends the process.
std::string RelayConfig::reserveConnectionName(Pf *pf) {
  std::string name = valueOf(pf, "name");
  if (name == "auto") name = std::to_string(++m_connectionNumber) + "/" + m_targetName;
  if (std::find(m_namesUsed.begin(), m_namesUsed.end(), name) != m_namesUsed.end()) {
    m_logMgr->die_initializing("Not allowed to use name '" + name +
                               "' more than once in parameter-file '" + m_pfname + "'.");
  }
  m_namesUsed.push_back(name);
  return name;
}

// A reader's expressions are handed to its server (or applied by its
// source); one that does not compile is the operator's mistake, reported
// before any server is reached.
void RelayConfig::checkReaderExpressions(Pf *pf, const std::string &name) {
  for (const char *key : {"match", "reject"}) {
    std::string expression = valueOf(pf, key);
    if (expression.empty()) continue;
    regex_t compiled;
    int rc = regcomp(&compiled, expression.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc == 0) {
      regfree(&compiled);
      continue;
    }
    char reason[256];
    regerror(rc, &compiled, reason, sizeof reason);
    m_logMgr->die_initializing("Configuration error: connection '" + name + "' has an invalid '" +
                               key + "' expression '" + expression + "': " + reason);
  }
}

// An array or a list where a key wants one value would be read as empty: a
// "match &Arr{" would then match every source.
void RelayConfig::checkPlainValues(Pf *pf, const std::string &name) {
  std::vector<const char *> keys = {"run",       "match",     "reject",
                                    "direction", "max_queue", "max_queue_bytes"};
  std::vector<const char *> endpointKeys = allEndpointKeys();
  keys.insert(keys.end(), endpointKeys.begin(), endpointKeys.end());
  for (const char *key : keys) {
    if (pfhas_key(pf, key) && !pfget_string(pf, key)) {
      m_logMgr->die_initializing("Configuration error: connection '" + name + "' has '" + key +
                                 "' that is not a single value (an array or a list stands there)");
    }
  }
}

ReaderSettings RelayConfig::readReaderSettings(const ConnectionEntry &entry) {
  // Named after the key that makes it a reader of its kind: a tarn reader's
  // tag key, a JetStream reader's server key.
  const char *readerKey = entryKind(entry).reader.claimKeys.back();
  for (const char *key : {"max_queue", "max_queue_bytes"}) {
    if (!entry.has(key)) continue;
    m_logMgr->die_initializing("Configuration error: connection '" + entry.name() +
                               "' not allowed to specify '" + key + "' with '" + readerKey +
                               "' in parameter-file '" + m_pfname + "'.");
  }
  ReaderSettings settings;
  settings.match = entry.text("match");
  settings.reject = entry.text("reject");
  for (const char *key : {"starttime", "endtime"}) {
    std::string value = entry.text(key);
    double time = 0;
    bool end = std::string(key) == "endtime";
    if (value.empty()) continue;
    double &field = end ? settings.endtime : settings.starttime;
    if (end && value == "last") {
      field = TIME_LAST;
      continue;
    }
    if (!is_epoch_string(value.c_str(), &time)) {
      entry.dieInvalid(key, value,
                       std::string("a time such as 2026-12-07 10:00:00 or epoch seconds") +
                           (end ? ", 'last'" : "") + ", or empty");
    }
    field = pfget_time(entry.pf(), key);
  }
  // An age limit of 0 would leave out every packet; empty is no limit.
  for (const char *key : {"too_old", "too_new"}) {
    std::string value = entry.text(key);
    double limit = 0;
    if (value.empty()) continue;
    if (!configvalues::readNumber(value, limit) || limit <= 0) {
      entry.dieInvalid(key, value, "a number of seconds greater than 0, or empty for no limit");
    }
    (std::string(key) == "too_old" ? settings.tooOld : settings.tooNew) = limit;
  }
  settings.checkUnstuff = entry.boolean("check_unstuff");
  settings.suppressUnstuffErrors = entry.boolean("suppress_unstuff_errors");
  settings.endStopsRelay = isLegacy();
  return settings;
}

WriterSettings RelayConfig::readWriterSettings(const ConnectionEntry &entry) {
  WriterSettings settings;
  settings.match = entry.text("match");
  settings.reject = entry.text("reject");
  std::string value = entry.text("max_queue");
  long limit = 0;
  if (!value.empty() && !configvalues::readInteger(value, 0, INT_MAX, limit)) {
    entry.dieInvalid("max_queue", value,
                     "a whole number of packets, 0 or more (0 or empty: no limit)");
  }
  settings.maxQueue = static_cast<int>(limit);
  readMaxQueueBytes(settings, entry);
  return settings;
}

// The bytes a writer's queue may hold for it: a size such as 16M (k, M, G
// are powers of 1024), 0 for no bound in bytes; the default when absent or
// empty.
void RelayConfig::readMaxQueueBytes(WriterSettings &settings, const ConnectionEntry &entry) {
  std::string value = entry.text("max_queue_bytes");
  if (value.empty()) return;
  long bytes = 0;
  if (!configvalues::readSize(value, bytes)) {
    entry.dieInvalid(
        "max_queue_bytes", value,
        "a size in bytes such as 16777216, 64M or 1G (0: no bound in bytes; empty: 8M)");
  }
  settings.maxQueueBytes = bytes;
}

std::vector<std::shared_ptr<RelayConnection>> RelayConfig::getConnections() {
  std::vector<std::shared_ptr<RelayConnection>> all;
  all.reserve(m_connections.size());
  for (auto &entry : m_connections) all.push_back(entry.second);
  return all;
}
