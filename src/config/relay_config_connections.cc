// RelayConfig: vetting one complete connection object, creating its
// connection and queue, and the connection registry.
#include <regex.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

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

bool isDecimalNumber(const std::string &text) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0';
}

bool isDecimalInteger(const std::string &text) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= INT_MIN && value <= INT_MAX;
}

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
  if (direction == "read") {
    vetDirectionKeys(connection, "read", name, kReaderKeys, kWriterKeys, "read_from_tarnname",
                     "read_from_tarntag");
  } else if (direction == "write") {
    vetDirectionKeys(connection, "write", name, kWriterKeys, kReaderKeys, "write_to_tarnname",
                     "write_to_tarntag");
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
  if (!pfget_boolean(pf, "run")) {
    logMgr->verbose("Connection '" + name +
                    "' is disabled (run = 'false') in parameter file. Skipping connection.");
    return nullptr;
  }
  std::string direction = valueOf(pf, "direction");
  bool reader = direction == "read";
  std::string tag = valueOf(pf, reader ? "read_from_tarntag" : "write_to_tarntag");
  std::string tarnname = valueOf(pf, reader ? "read_from_tarnname" : "write_to_tarnname");
  std::string queue = valueOf(pf, reader ? "write_to_queue" : "read_from_queue");
  if (reader) checkReaderExpressions(pf, name);

  addQueue(queue);
  if (reader) claimReaderTag(tag, name);
  auto connection = std::make_shared<RelayConnection>(name, direction, tag, tarnname, queue);
  connections[name] = connection;
  if (reader) connection->setPositionOwner(!tag.empty() ? tag : valueOf(pf, "name") == "auto" ? "" : name);
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

// Copies the entry's settings into the connection. A value that cannot be
// read as what its key asks for ends the process rather than becoming zero.
void RelayConfig::setConnectionProperties(RelayConnection &connection, Pf *pf,
                                          const std::string &name) {
  auto invalid = [&](const char *key, const std::string &value) {
    logMgr->die_initializing("Configuration error: connection '" + name + "' has an invalid '" +
                             key + "' value '" + value + "'");
  };
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
    if (!value.empty() && !isDecimalInteger(value)) invalid("max_queue", value);
    connection.set("maxqueue", std::atoi(value.c_str()));
  }
  for (const char *key : {"starttime", "endtime"}) {
    std::string value = valueOf(pf, key);
    double time = 0;
    if (value.empty()) continue;
    if (std::string(key) == "endtime" && value == "last") {
      connection.set(key, TIME_LAST);
      continue;
    }
    if (!is_epoch_string(value.c_str(), &time)) invalid(key, value);
    connection.set(key, pfget_time(pf, key));
  }
  for (const char *key : {"too_old", "too_new"}) {
    std::string value = valueOf(pf, key);
    if (value.empty()) continue;
    if (!isDecimalNumber(value)) invalid(key, value);
    connection.set(key, pfget_double(pf, key));
  }
  connection.set("check_unstuff", pfget_boolean(pf, "check_unstuff") != 0);
  connection.set("suppress_unstuff_errors", pfget_boolean(pf, "suppress_unstuff_errors") != 0);
}

std::vector<std::shared_ptr<RelayConnection>> RelayConfig::getConnections() {
  std::vector<std::shared_ptr<RelayConnection>> all;
  all.reserve(connections.size());
  for (auto &entry : connections) all.push_back(entry.second);
  return all;
}
