// RelayConfig: vetting one complete connection object, creating its
// connection and queue, and the connection registry.
#include <regex.h>

#include <algorithm>
#include <climits>

#include "config/config_values.h"
#include "config/jetstream_keys.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "managers/relay_log_mgr.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"

namespace {

// The keys only readers have, in the order they are checked.
const std::vector<const char *> kReaderKeys = {
    "read_from_tarnname", "read_from_tarntag", "write_to_queue",
    "starttime",          "endtime",           "too_old",
    "too_new",            "check_unstuff",     "suppress_unstuff_errors"};
const std::vector<const char *> kWriterKeys = {"write_to_tarnname", "write_to_tarntag",
                                               "read_from_queue"};

// The value of `key`; "" when it is absent or not a plain value.
std::string valueOf(Pf *pf, const char *key) {
  const char *value = pfget_string(pf, key);
  return value ? value : "";
}

const char *const kBooleanExpected = "true or false (or yes/no, y/n, on/off, 1/0)";

}  // namespace

// ---- Vetting ----

void RelayConfig::vetConnectionPf(Pf *connection) {
  if (!pfhas_key(connection, "name")) {
    logMgr->die_initializing(
        "Configuration error: there's connection missing its 'name' parameter in parameter-file '" +
        pfname + "'");
  }
  std::string name = valueOf(connection, "name");
  if (name.empty()) {
    logMgr->die_initializing(
        "Configuration error: there's a connection with empty 'name' parameter in parameter-file '" +
        pfname + "'");
  }
  if (!pfhas_key(connection, "direction")) {
    logMgr->die_initializing("Unexpected internal error: connection '" + name +
                             "' missing 'direction' parameter.");
  }
  vetDirectionKeys(connection, "", name, {"run", "name", "match", "reject"}, {}, nullptr, nullptr);
  std::string direction = valueOf(connection, "direction");
  if ((direction == "read" || direction == "write") && isJetStreamEntry(connection, direction)) {
    vetJetStreamKeys(connection, direction, name);
  } else if (direction == "read") {
    vetDirectionKeys(connection, "read", name, kReaderKeys, kWriterKeys, "read_from_tarnname",
                     "read_from_tarntag");
    refuseJetStreamKeys(connection, "read", name);
  } else if (direction == "write") {
    vetDirectionKeys(connection, "write", name, kWriterKeys, kReaderKeys, "write_to_tarnname",
                     "write_to_tarntag");
    refuseJetStreamKeys(connection, "write", name);
  } else {
    logMgr->die_initializing("Unexpected internal error: connection '" + name +
                             "' has unknown direction '" + direction + "'.");
  }
}

// Required keys, refused keys, then exactly one of the two tarn keys not
// empty. With no tarn keys given, only the required keys are checked.
void RelayConfig::vetDirectionKeys(Pf *connection, const std::string &kind, const std::string &name,
                                   const std::vector<const char *> &required,
                                   const std::vector<const char *> &refused, const char *tarnKey,
                                   const char *tagKey) {
  for (const char *key : required) {
    if (!pfhas_key(connection, key)) {
      logMgr->die_initializing("Configuration error: connection '" + name +
                               "' is missing parameter '" + key + "'");
    }
  }
  for (const char *key : refused) {
    if (pfhas_key(connection, key)) {
      logMgr->die_initializing("Configuration error: " + kind + " connection '" + name +
                               "' cannot have parameter '" + key + "'");
    }
  }
  if (!tarnKey) return;
  bool hasTarn = !valueOf(connection, tarnKey).empty();
  bool hasTag = !valueOf(connection, tagKey).empty();
  std::string opening = "Configuration error: " + kind + " connection '" + name + "' ";
  if (!hasTarn && !hasTag) {
    logMgr->die_initializing(opening + "must specify either '" + tarnKey + "' or '" + tagKey + "'");
  }
  if (hasTarn && hasTag) {
    logMgr->die_initializing(opening + "may not specify both '" + tarnKey + "' and '" + tagKey +
                             "'");
  }
  // A connection without a queue would only fail once its thread starts.
  const char *queueKey = kind == "read" ? "write_to_queue" : "read_from_queue";
  if (valueOf(connection, queueKey).empty()) {
    logMgr->die_initializing(opening + "must name its queue in '" + queueKey + "'");
  }
}

// ---- Creating connections ----

std::shared_ptr<RelayConnection> RelayConfig::addConnection(Pf *pf) {
  vetConnectionPf(pf);
  std::string name = reserveConnectionName(pf);
  checkPlainValues(pf, name);
  if (!readConnectionBoolean(pf, name, "run")) {
    logMgr->verbose("Connection '" + name +
                    "' is disabled (run = 'false') in parameter file. Skipping connection.");
    return nullptr;
  }
  std::string direction = valueOf(pf, "direction");
  bool reader = direction == "read";
  bool jetstream = isJetStreamEntry(pf, direction);
  std::string tag = valueOf(pf, reader ? "read_from_tarntag" : "write_to_tarntag");
  std::string tarnname = valueOf(pf, reader ? "read_from_tarnname" : "write_to_tarnname");
  std::string queue = valueOf(pf, reader ? "write_to_queue" : "read_from_queue");
  if (!jetstream) checkConnectionTarnName(pf, name, reader ? "read_from_tarnname" : "write_to_tarnname");
  if (reader) checkReaderExpressions(pf, name);

  addQueue(queue);
  std::shared_ptr<RelayConnection> connection;
  if (jetstream) {
    connection = makeJetStreamConnection(pf, name, direction, queue);
  } else {
    if (reader) claimReaderTag(tag, name);
    connection = std::make_shared<RelayConnection>(name, direction, tag, tarnname, queue);
  }
  connections[name] = connection;
  if (reader && !jetstream) {
    connection->setPositionOwner(!tag.empty() ? tag : valueOf(pf, "name") == "auto" ? "" : name);
  }
  setConnectionProperties(*connection, pf, name);
  // The writer is a consumer from now on, so that what readers push before
  // its thread has opened its tag waits for it instead of being lost; its
  // thread's own registration later only sets the time-out. Likewise the
  // reader is a producer from now on, so that its writers wait for its
  // end-of-data mark even when another reader ends before it has opened its
  // tag; every reader pushes that mark when its thread ends.
  if (reader) {
    queues.at(queue)->setProducer(name);
  } else {
    queues.at(queue)->setConsumer(name, connection->getInt("maxqueue"), connection->maxQueueBytes());
  }

  logMgr->verbose("Added connection '" + name + "'");
  connection->verboseDescribe();
  return connection;
}

// A tag holds one read position: two readers through one named tag would
// share it (and split its packets between them).
void RelayConfig::claimReaderTag(const std::string &tag, const std::string &name) {
  if (tag.empty()) return;
  auto [it, fresh] = readerTags.emplace(tag, name);
  if (fresh) return;
  logMgr->die_initializing("Configuration error: connections '" + it->second + "' and '" + name +
                           "' both read through tarn tag '" + tag +
                           "': each reader needs a tag of its own");
}

// The entry's name, or the next generated one for "auto"; a name used before
// ends the process.
std::string RelayConfig::reserveConnectionName(Pf *pf) {
  std::string name = valueOf(pf, "name");
  if (name == "auto") name = std::to_string(++connection_number) + "/" + targetname;
  if (std::find(names_used.begin(), names_used.end(), name) != names_used.end()) {
    logMgr->die_initializing("Not allowed to use name '" + name +
                             "' more than once in parameter-file '" + pfname + "'.");
  }
  names_used.push_back(name);
  return name;
}

// A reader hands its expressions to the tarn server; one that does not
// compile is the operator's mistake, reported before any server is reached.
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
    logMgr->die_initializing("Configuration error: connection '" + name + "' has an invalid '" +
                             key + "' expression '" + expression + "': " + reason);
  }
}

// An array or a list where a key wants one value would be read as empty: a
// "match &Arr{" would then match every source.
void RelayConfig::checkPlainValues(Pf *pf, const std::string &name) {
  std::vector<const char *> keys = {"run", "match", "reject", "direction", "max_queue", "max_queue_bytes"};
  keys.insert(keys.end(), kReaderKeys.begin(), kReaderKeys.end());
  keys.insert(keys.end(), kWriterKeys.begin(), kWriterKeys.end());
  keys.insert(keys.end(), jetstreamkeys::kReader.begin(), jetstreamkeys::kReader.end());
  keys.insert(keys.end(), jetstreamkeys::kWriter.begin(), jetstreamkeys::kWriter.end());
  for (const char *key : keys) {
    if (pfhas_key(pf, key) && !pfget_string(pf, key)) {
      logMgr->die_initializing("Configuration error: connection '" + name + "' has '" + key +
                               "' that is not a single value (an array or a list stands there)");
    }
  }
}

// A tarn name that can never be reached would otherwise be retried for ever
// (or, as a bare number, taken for an address elsewhere).
void RelayConfig::checkConnectionTarnName(Pf *pf, const std::string &name, const char *key) {
  std::string tarnname = valueOf(pf, key);
  if (tarnname.empty()) return;
  std::string problem = configvalues::tarnNameProblem(tarnname);
  if (!problem.empty()) dieInvalidValue(name, key, tarnname, "a tarn name, but " + problem);
}

// The bytes a writer's queue may hold for it: a size such as 16M (k, M, G
// are powers of 1024), 0 for no bound in bytes; the default when absent or
// empty.
void RelayConfig::readMaxQueueBytes(RelayConnection &connection, Pf *pf, const std::string &name) {
  if (!pfhas_key(pf, "max_queue_bytes")) return;
  if (connection.isReader()) {
    logMgr->die_initializing("Configuration error: connection '" + name +
                             "' not allowed to specify 'max_queue_bytes' with 'read_from_tarntag' in "
                             "parameter-file '" + pfname + "'.");
  }
  std::string value = valueOf(pf, "max_queue_bytes");
  if (value.empty()) return;
  long bytes = 0;
  if (!configvalues::readSize(value, bytes)) {
    dieInvalidValue(name, "max_queue_bytes", value,
                    "a size in bytes such as 16777216, 64M or 1G (0: no bound in bytes; empty: 8M)");
  }
  connection.setMaxQueueBytes(bytes);
}

bool RelayConfig::readConnectionBoolean(Pf *pf, const std::string &name, const char *key) {
  if (!pfhas_key(pf, key)) return false;
  std::string value = valueOf(pf, key);
  bool flag = false;
  if (!configvalues::readBoolean(value, flag)) dieInvalidValue(name, key, value, kBooleanExpected);
  return flag;
}

void RelayConfig::dieInvalidValue(const std::string &name, const std::string &key,
                                  const std::string &value, const std::string &expected) {
  logMgr->die_initializing("Configuration error: connection '" + name + "' has an invalid '" + key +
                           "' value '" + value + "': expected " + expected);
}

// Copies the entry's settings into the connection. A value that cannot be
// read as what its key asks for ends the process rather than becoming zero.
void RelayConfig::setConnectionProperties(RelayConnection &connection, Pf *pf,
                                          const std::string &name) {
  connection.set("connection_name", name);
  if (pfhas_key(pf, "match")) connection.set("match", valueOf(pf, "match"));
  if (pfhas_key(pf, "reject")) connection.set("reject", valueOf(pf, "reject"));
  if (pfhas_key(pf, "max_queue")) {
    if (connection.isReader()) {
      logMgr->die_initializing("Configuration error: connection '" + name +
                               "' not allowed to specify 'max_queue' with 'read_from_tarntag' in "
                               "parameter-file '" +
                               pfname + "'.");
    }
    std::string value = valueOf(pf, "max_queue");
    long limit = 0;
    if (!value.empty() && !configvalues::readInteger(value, 0, INT_MAX, limit)) {
      dieInvalidValue(name, "max_queue", value,
                      "a whole number of packets, 0 or more (0 or empty: no limit)");
    }
    connection.set("maxqueue", static_cast<int>(limit));
  }
  readMaxQueueBytes(connection, pf, name);
  for (const char *key : {"starttime", "endtime"}) {
    std::string value = valueOf(pf, key);
    double time = 0;
    if (value.empty()) continue;
    if (std::string(key) == "endtime" && value == "last") {
      connection.set(key, TIME_LAST);
      continue;
    }
    if (!is_epoch_string(value.c_str(), &time)) {
      dieInvalidValue(name, key, value,
                      std::string("a time such as 2026-12-07 10:00:00 or epoch seconds") +
                          (std::string(key) == "endtime" ? ", 'last'" : "") + ", or empty");
    }
    connection.set(key, pfget_time(pf, key));
  }
  // An age limit of 0 would leave out every packet; empty is no limit.
  for (const char *key : {"too_old", "too_new"}) {
    std::string value = valueOf(pf, key);
    double limit = 0;
    if (value.empty()) continue;
    if (!configvalues::readNumber(value, limit) || limit <= 0) {
      dieInvalidValue(name, key, value,
                      "a number of seconds greater than 0, or empty for no limit");
    }
    connection.set(key, limit);
  }
  connection.set("check_unstuff", readConnectionBoolean(pf, name, "check_unstuff"));
  connection.set("suppress_unstuff_errors",
                 readConnectionBoolean(pf, name, "suppress_unstuff_errors"));
}

std::vector<std::shared_ptr<RelayConnection>> RelayConfig::getConnections() {
  std::vector<std::shared_ptr<RelayConnection>> all;
  all.reserve(connections.size());
  for (auto &entry : connections) all.push_back(entry.second);
  return all;
}
