// RelayConfig: the reader of the current parameter-file form.
//
// Each connection's complete object is layered from texts: an empty array
// holding the determined "direction", then the direction's defaults with the
// shared defaults compiled over them, then the entry itself. Compiling a text
// into an object replaces the entries of the same key, so for each key the
// entry wins over the shared defaults, which win over the direction's
// defaults.
//
// The internal errors of the layering name a connection by its position in
// the "connections" list, counted from 0 as in the path "connections{0}"
// ("#0", "#1", ...): its name is known only once the entry is fetched.
#include <cstdlib>
#include <memory>

#include "base/config_values.h"
#include "config/relay_config.h"
#include "endpoints/endpoint_kind.h"
#include "managers/relay_log_mgr.h"

namespace {

struct FreeText {
  void operator()(char *text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

struct FreePf {
  void operator()(Pf *pf) const { pffree(pf); }
};
using OwnedPf = std::unique_ptr<Pf, FreePf>;

const char *const kShared = "connections_defaults{shared}";

// The largest interval, grace period included: a day. Larger values are
// surely mistakes, and would overflow the clocks that wait for them.
const double kMaxIntervalSec = 86400;

}  // namespace

void RelayConfig::configureFinishCurrentPf(Pf *pf) {
  Pf *list = nullptr;
  int kind = pfget(pf, "connections", &list);
  if (kind == PFINVALID) dieMissingParameter("connections");
  if (kind != PFTBL) {
    m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname +
                               "' has 'connections' that is not a list: write 'connections &List{' "
                               "with one '&Arr{' per connection");
  }

  Pf *shared = resolveArray(pf, kShared);
  Text sharedText(pf2string(shared));
  if (!sharedText) {
    m_logMgr->die_initializing(
        "Unexpected internal error: failed to convert parameter 'connections_defaults{shared}' to "
        "string.");
  }
  std::string directionText[2];
  const char *directions[2] = {"read", "write"};
  for (int i = 0; i < 2; ++i) {
    std::string path = std::string("connections_defaults{") + directions[i] + "}";
    Pf *defaults = resolveArray(pf, path);
    Pf *layered = pfdup(defaults);
    if (pfcompile(sharedText.get(), &layered) != 0) {
      m_logMgr->die_initializing("Unexpected internal error: failed to compile '" +
                                 std::string(kShared) + "' into '" + path + "'.");
    }
    OwnedPf copy(layered);
    Text text(pf2string(copy.get()));
    if (!text) {
      m_logMgr->die_initializing("Unexpected internal error: failed to convert parameter '" + path +
                                 "' to string.");
    }
    directionText[i] = text.get();
  }

  // The connections are made with the timing settings.
  readTimingSettings(pf);
  createStateManager();
  int count = pfmaxtbl(list);
  for (int i = 0; i < count; ++i) addCurrentConnection(i, list, directionText[0], directionText[1]);

  readSpecialQueue(
      pf, "status_create",
      "Parameter 'connections_special{status_create}{write_to_queue}' is empty: turning "
      "off status-packet creation",
      m_statusQueueName);
  readSpecialQueue(pf, "log_create",
                   "Parameter 'connections_special{log_create}{write_to_queue}' is empty: turning "
                   "off log-message output to tarnservers",
                   m_logQueueName);
}

std::string RelayConfig::determineConnectionDirection(Pf *entry) {
  Direction direction;
  if (entryDirection(entry, direction)) return direction == Direction::kRead ? "read" : "write";
  m_logMgr->die_initializing("Configuration error: all connections in parameter-file '" + m_pfname +
                             "' must have either "
                             "'read_from_tarntag', 'read_from_tarnname', 'write_to_tarntag', or "
                             "'write_to_tarnname'");
}

// Says, before the direction failure ends the configuration, which entry
// names no server and every key that would (a misspelt key is the likely
// cause, which the warnings about unknown keys have named).
void RelayConfig::complainNoServerKey(Pf *entry, const std::string &connection) {
  auto either = [](const std::vector<const char *> &keys) {
    std::string text;
    for (size_t i = 0; i < keys.size(); ++i) {
      text += std::string(i == 0 ? "" : i + 1 == keys.size() ? " or " : ", ") + "'" + keys[i] + "'";
    }
    return text;
  };
  const char *name = pfget_string(entry, "name");
  std::string where = "connections " + connection;
  m_logMgr->elog_complain(
      (name ? "Connection '" + std::string(name) + "' (" + where + ")" : "Entry " + where) +
      " in parameter-file '" + m_pfname +
      "' has no key that names its server: a reader needs one of " +
      either(claimKeys(Direction::kRead)) + ", a writer one of " +
      either(claimKeys(Direction::kWrite)));
}

// Builds the complete object of entry `index` and hands it to addConnection.
void RelayConfig::addCurrentConnection(int index, Pf *list, const std::string &readDefaults,
                                       const std::string &writeDefaults) {
  std::string connection = "#" + std::to_string(index);
  Pf *entry = nullptr;
  if (pfget_index(list, index, &entry) == PFINVALID) {
    m_logMgr->die_initializing("Unexpected internal error: failed to retrieve connection '" +
                               connection + "' from parameter-file '" + m_pfname + "'");
  }
  if (pfkind(entry) != PFARR) {
    m_logMgr->die_initializing("Configuration error: entry " + connection +
                               " of 'connections' in parameter-file '" + m_pfname +
                               "' is not an associative array: write each connection as '&Arr{' "
                               "... '}'");
  }
  Text entryText(pf2string(entry));
  if (!entryText) {
    m_logMgr->die_initializing("Unexpected internal error: failed to convert connection pf for '" +
                               connection + "' to string.");
  }
  Direction claimed;
  if (!entryDirection(entry, claimed)) complainNoServerKey(entry, connection);
  std::string direction = determineConnectionDirection(entry);
  Pf *layered = pfnew(PFARR);
  if (!layered || pfput_string(layered, "direction", direction.c_str()) != 0 ||
      pfcompile((direction == "read" ? readDefaults : writeDefaults).c_str(), &layered) != 0) {
    m_logMgr->die_initializing(
        "Unexpected internal error: failed to initiate configuration pf for connection '" +
        connection + "'");
  }
  if (pfcompile(entryText.get(), &layered) != 0) {
    m_logMgr->die_initializing(
        "Unexpected internal error: failed to finish configuration pf for connection '" +
        connection + "'");
  }
  OwnedPf object(layered);
  addConnection(object.get());
}

// Status or log packets: on when "{run}" is true and "{write_to_queue}" is
// not empty; the queue is created unless a connection created it already.
void RelayConfig::readSpecialQueue(Pf *pf, const std::string &which, const std::string &offReport,
                                   std::string &queueName) {
  std::string base = "connections_special{" + which + "}";
  std::string runKey = base + "{run}";
  std::string queueKey = base + "{write_to_queue}";
  queueName.clear();
  updateLogSink();
  if (!readTopLevelBoolean(pf, runKey)) return;
  const char *queue = pfget_string(pf, queueKey.c_str());
  if (!queue) dieMissingParameter(queueKey);
  if (*queue == '\0') {
    m_logMgr->verbose(offReport);
    return;
  }
  // Named before it is added, so that the log queue's "Added queue" line
  // goes into the log queue itself.
  queueName = queue;
  updateLogSink();
  addQueue(queueName);
}

// A timing key that the file does not have keeps the built-in value: the
// library would answer 0 for it, and a time-out of 0 would make every loop
// spin. A present interval must be a number of seconds above 0.
void RelayConfig::readTimingSettings(Pf *pf) {
  m_statusInterval =
      readPositiveInterval(pf, "time_intervals_sec{pfstatusreport}", m_statusInterval);
  m_internalTimeout =
      readPositiveInterval(pf, "time_intervals_sec{internal_timeout}", m_internalTimeout);
  readPositionLifetime(pf);
  // 0 is allowed here: the shutdown then has no time limit.
  const char *grace = "time_intervals_sec{shutdown_grace_period}";
  if (!pfhas_key(pf, grace)) return;
  const char *text = pfget_string(pf, grace);
  long seconds = 0;
  if (!text || !configvalues::readInteger(text, 0, static_cast<long>(kMaxIntervalSec), seconds)) {
    m_logMgr->die_initializing(
        "Configuration error: parameter file '" + m_pfname + "' has '" + grace + "' = '" +
        (text ? text : "") + "': it must be a whole number of seconds from 0 (no limit) to 86400.");
  }
  m_gracePeriod = static_cast<int>(seconds);
}

// How long the statefile keeps a position no reader takes: whole seconds,
// 0 for ever.
void RelayConfig::readPositionLifetime(Pf *pf) {
  const char *key = "time_intervals_sec{unclaimed_position_lifetime}";
  if (!pfhas_key(pf, key)) return;
  const char *text = pfget_string(pf, key);
  long seconds = 0;
  if (!text || !configvalues::readInteger(text, 0, 100L * 365 * 86400, seconds)) {
    m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname + "' has '" +
                               key + "' = '" + (text ? text : "") +
                               "': it must be a whole number of seconds, 0 (for ever) or more.");
  }
  m_positionLifetime = static_cast<double>(seconds);
}

double RelayConfig::readPositiveInterval(Pf *pf, const std::string &key, double current) {
  if (!pfhas_key(pf, key.c_str())) return current;
  const char *text = pfget_string(pf, key.c_str());
  double value = 0;
  if (text && configvalues::readNumber(text, value) && value > 0 && value <= kMaxIntervalSec) {
    return value;
  }
  m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname + "' has '" + key +
                             "' = '" + (text ? text : "") +
                             "': it must be a number of seconds greater than 0 and at most 86400.");
}

Pf *RelayConfig::resolveArray(Pf *pf, const std::string &path) {
  Pf *found = nullptr;
  int kind = pfresolve(pf, path.c_str(), 0, &found);
  if (kind < 0) dieMissingParameter(path);
  if (kind != PFARR) {
    m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname + "' has '" +
                               path + "' that is not an associative array: write '&Arr{' ... '}'");
  }
  return found;
}

bool RelayConfig::readTopLevelBoolean(Pf *pf, const std::string &path) {
  if (!pfhas_key(pf, path.c_str())) dieMissingParameter(path);
  const char *text = pfget_string(pf, path.c_str());
  bool flag = false;
  if (!text || !configvalues::readBoolean(text, flag)) {
    m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname + "' has '" +
                               path + "' = '" + (text ? text : "") +
                               "': it must be true or false (or yes/no, y/n, on/off, 1/0).");
  }
  return flag;
}

void RelayConfig::dieMissingParameter(const std::string &path) {
  m_logMgr->die_initializing("Configuration error: parameter file '" + m_pfname +
                             "' is missing required parameter '" + path + "'.");
}
