#include "config/relay_config.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/config_values.h"
#include "config/help_request.h"
#include "config/unknown_keys.h"
#include "connection/relay_connection.h"
#include "endpoints/endpoint_kind.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "managers/relay_status_mgr.h"
#include "platform/elog/elog.h"
#include "platform/statefile/statefile.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

// The options of both syntaxes; the leading '+' stops at the first argument
// that is not an option.
const char *const kOptions = "+m:p:r:S:t:v";

// Makes the next getopt call start again at the first argument.
void restartOptions() { optind = 0; }

// The relay's own packets keep at most 62 characters of their source names.
const size_t kMaxOwnSourceName = 62;

}  // namespace

RelayConfig *RelayCnf = nullptr;

RelayConfig::RelayConfig() : m_logMgr(std::make_unique<RelayLogMgr>()) {
  m_context.log = m_logMgr.get();
}

RelayConfig::~RelayConfig() = default;

void RelayConfig::configure(int argc, char **argv) {
  m_startTime = std_now();
  elog_init(argc, argv);
  int first = readGlobalOptions(argc, argv);
  checkTargetName();
  m_context.targetName = m_targetName;
  decideSyntax(argc - first, argv + first);
  if (m_legacy) {
    m_logMgr->verbose(
        "Legacy command-line detected. Consider switching to current usage, per "
        "tarn2tarn_pre(1).");
    configureFinishLegacyCmd(argc, argv);
  } else {
    configureFinishCurrentCmd(argc, argv);
  }
  if (!m_statefile.empty() && is_present(m_statefile.c_str()) && m_legacyStart != TIME_UNSET) {
    m_logMgr->elog_complain(
        "Legacy start-time ignored since a statefile is specified (-S option) and present");
    m_legacyStart = TIME_UNSET;
  }
  readParameterFile();
  warnAboutUnknownKeys();
  if (m_legacy) {
    createStateManager();
    configureFinishLegacyPf(m_pf);
  } else {
    configureFinishCurrentPf(m_pf);
  }
  // The status manager is a producer of its queue from now on, as readers
  // are of theirs: a writer of that queue then waits for its end-of-data mark
  // even when the readers end before the status manager's thread has begun.
  if (std::shared_ptr<RelayQueue> status = getRelayStatusQueue()) {
    status->setProducer("status_manager");
  }
  createStatusManager();
  warnAboutUnpairedQueues();
  warnAboutLoops();
  warnAboutTimeouts();
}

// Before the checks, which may end the configuration over a key missing
// because it was misspelt: the warning then says which.
void RelayConfig::warnAboutUnknownKeys() {
  static const KeyTable legacy{{"too_old", "too_new", "check_unstuff", "discards", "lag_reset",
                                "lag_trigger", "test_freq", "wait_match", "wait_reject",
                                "wait_seconds"}};
  static const KeyTable entry = [] {
    KeyTable table{{"name", "run", "match", "reject", "direction", "max_queue", "max_queue_bytes"}};
    for (const char *key : allEndpointKeys()) table.keys.push_back(key);
    return table;
  }();
  static const KeyTable defaults{{"shared", "read", "write"},
                                 {{"shared", &entry}, {"read", &entry}, {"write", &entry}}};
  static const KeyTable special{{"run", "write_to_queue"}};
  static const KeyTable specials{{"status_create", "log_create"},
                                 {{"status_create", &special}, {"log_create", &special}}};
  static const KeyTable timing{{"pfstatusreport", "internal_timeout", "shutdown_grace_period",
                                "unclaimed_position_lifetime"}};
  static const KeyTable current{
      {"connections", "connections_defaults", "connections_special", "time_intervals_sec"},
      {{"connections", &entry, true},
       {"connections_defaults", &defaults},
       {"connections_special", &specials},
       {"time_intervals_sec", &timing}}};
  for (const std::string &text : unknownKeys(m_pf, m_legacy ? legacy : current)) {
    m_logMgr->elog_complain("Warning: parameter file '" + m_pfname + "': " + text);
  }
}

// The state manager keeps the read positions the readers are made with, so
// it comes before any connection, once the timing settings are known.
// A statefile is claimed before anything reads it: a second relay on it
// would read and save the same positions and relay every packet twice, and
// one that cannot be saved would never keep its place.
void RelayConfig::createStateManager() {
  if (!m_statefile.empty()) {
    std::string problem = statefile_claim(m_statefile);
    if (!problem.empty()) {
      m_logMgr->die_initializing("Configuration error: cannot use statefile (-S): " + problem);
    }
  }
  RelayStateMgr::Settings settings;
  settings.statefile = m_statefile;
  settings.gracePeriodSeconds = m_gracePeriod;
  settings.internalTimeout = m_internalTimeout;
  settings.positionLifetimeSeconds = m_positionLifetime;
  m_stateMgr = std::make_unique<RelayStateMgr>(settings, *m_logMgr);
  m_context.internalTimeout = m_internalTimeout;
  m_context.positions = m_stateMgr.get();
}

void RelayConfig::createStatusManager() {
  m_statusMgr = std::make_unique<RelayStatusMgr>(m_context, getConnections(), getRelayStatusQueue(),
                                                 m_startTime, m_statusInterval);
}

// Every thread sees a stop within a second whatever the internal time-out,
// but read positions are saved and the libraries' messages reported only
// once per time-out: one as long as the grace period is most likely a
// mistake.
void RelayConfig::warnAboutTimeouts() {
  if (m_gracePeriod <= 0 || m_internalTimeout < m_gracePeriod) return;
  char text[256];
  std::snprintf(text, sizeof text,
                "Warning: internal_timeout of %g seconds is not below shutdown_grace_period of %d "
                "seconds: read positions are saved only once in a longer time than a stop may take",
                m_internalTimeout, m_gracePeriod);
  m_logMgr->elog_complain(text);
}

void RelayConfig::checkTargetName() {
  std::string problem = configvalues::targetNameProblem(m_targetName, kMaxOwnSourceName);
  if (problem.empty()) return;
  m_logMgr->die_initializing("Configuration error: target name '" + m_targetName +
                             "' given with -t: " + problem);
}

// Producers are the readers of a queue and the status and log packets when
// it is their queue; consumers are its writers. Connections with run false
// are neither.
void RelayConfig::warnAboutUnpairedQueues() {
  std::map<std::string, std::vector<std::string>> producers, consumers;
  for (const auto &entry : m_connections) {
    auto &side = entry.second->isReader() ? producers : consumers;
    side[entry.second->queueName()].push_back("'" + entry.first + "'");
  }
  if (!m_statusQueueName.empty()) producers[m_statusQueueName].push_back("the status packets");
  if (!m_logQueueName.empty()) producers[m_logQueueName].push_back("the log packets");
  auto joined = [](std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto &name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  };
  for (const auto &[queue, fillers] : producers) {
    if (consumers.count(queue)) continue;
    m_logMgr->elog_complain("Queue '" + queue + "' is filled by " + joined(fillers) +
                            " but no writer connection reads it: its packets go nowhere");
  }
  for (const auto &[queue, readers] : consumers) {
    if (producers.count(queue)) continue;
    m_logMgr->elog_complain("Queue '" + queue + "' is read by " + joined(readers) +
                            " but nothing fills it: no reader connection writes to it, and it "
                            "receives neither status nor log packets");
  }
}

int RelayConfig::readGlobalOptions(int argc, char **argv) {
  restartOptions();
  // Unknown options are passed over quietly here: the second pass reports
  // them, with the usage text.
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, kOptions)) != -1) {
    switch (option) {
      case 'p':
        m_pfname = optarg;
        break;
      case 'S':
        m_statefile = optarg;
        break;
      case 't':
        m_targetName = optarg;
        break;
      case 'v':
        m_logMgr->setVerbose(++m_verbosity);
        break;
      default:
        break;
    }
  }
  opterr = 1;
  return optind;
}

void RelayConfig::decideSyntax(int nargs, char **args) {
  double start = 0, end = 0;
  bool startIsTime = nargs >= 3 && is_epoch_string(args[2], &start);
  if (nargs == 2) {
    m_legacy = 1;
  } else if (nargs == 3 && startIsTime) {
    m_legacy = 1;
    m_legacyStart = start;
  } else if (nargs == 4 && startIsTime &&
             (std::string(args[3]) == "last" || is_epoch_string(args[3], &end))) {
    m_legacy = 1;
    m_legacyStart = start;
    if (std::string(args[3]) == "last") {
      m_legacyEnd = TIME_LAST;
    } else {
      // An end not after the start is a period.
      m_legacyEnd = end > start ? end : start + end;
    }
  } else {
    m_legacy = 0;
    return;
  }
  m_tarnin = args[0];
  m_tarnout = args[1];
}

void RelayConfig::configureFinishLegacyCmd(int argc, char **argv) {
  restartOptions();
  int option;
  while ((option = getopt(argc, argv, kOptions)) != -1) {
    switch (option) {
      case 'm':
        m_match = optarg;
        break;
      case 'r':
        m_reject = optarg;
        break;
      case 'p':
      case 'S':
      case 't':
      case 'v':
        break;
      default:
        usage();
    }
  }
  addTarn(m_tarnin, "");
  addTarn(m_tarnout, "");
}

void RelayConfig::configureFinishCurrentCmd(int argc, char **argv) {
  restartOptions();
  int option;
  while ((option = getopt(argc, argv, kOptions)) != -1) {
    switch (option) {
      case 'p':
      case 'S':
      case 't':
      case 'v':
        break;
      default:
        usage();
    }
  }
  int nargs = argc - optind;
  if (nargs % 2 != 0) usage();
  for (int i = optind; i + 1 < argc; i += 2) addTarn(argv[i + 1], argv[i]);
}

void RelayConfig::usage() { m_logMgr->die_initializing(relayUsageText()); }

void RelayConfig::readParameterFile() {
  int rc = pfread(m_pfname.c_str(), &m_pf);
  if (rc == -1) m_logMgr->die_initializing("Failed to find parameter-file '" + m_pfname + "'.");
  if (rc < 0) m_logMgr->die_initializing("Failed to parse parameter-file '" + m_pfname + "'.");
}

// ---- Registries ----

void RelayConfig::addTarn(std::string tarnname, std::string tag) {
  // An empty name is left to the vetting of the connection that uses it.
  std::string problem = tarnname.empty() ? "" : configvalues::tarnNameProblem(tarnname);
  if (!problem.empty()) {
    m_logMgr->die_initializing("Configuration error: tarn name '" + tarnname +
                               "' on the command line: " + problem);
  }
  if (tag.empty()) {
    tag = TarnTag::createTarnTagFromTarnName(tarnname)->name();
  } else {
    TarnTag::getTarnTag(tag, tarnname, true);
  }
  m_logMgr->verbose("Added tarntag '" + tag + "' for tarn name '" + tarnname + "'");
}

void RelayConfig::addQueue(std::string name) {
  if (name.empty() || m_queues.count(name)) return;
  m_queues.emplace(name, std::make_shared<RelayQueue>(name, *m_logMgr, m_internalTimeout));
  updateLogSink();
  m_logMgr->verbose("Added queue '" + name + "'");
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayQueue(std::string name) {
  auto found = m_queues.find(name);
  if (found == m_queues.end()) {
    m_logMgr->elog_die("Unexpected internal error: queue '" + name +
                       "' not found in RelayConfig::getRelayQueue");
  }
  return found->second;
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayLogQueue() {
  auto found = m_queues.find(m_logQueueName);
  return found == m_queues.end() ? nullptr : found->second;
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayStatusQueue() {
  auto found = m_queues.find(m_statusQueueName);
  return found == m_queues.end() ? nullptr : found->second;
}

void RelayConfig::updateLogSink() {
  std::shared_ptr<RelayQueue> queue = getRelayLogQueue();
  if (!queue) {
    m_logMgr->setLineSink(nullptr);
    return;
  }
  // A failure to build or queue the packet is the log manager's to report.
  m_logMgr->setLineSink([queue, target = m_targetName](const std::string &line) {
    auto packet = std::make_shared<TarnPacket>(target, line);
    queue->push(packet);
  });
}

// ---- Global settings ----

int RelayConfig::getInt(const std::string &key) {
  if (key == "shutdown_grace_period_sec") return m_gracePeriod;
  m_logMgr->dieNoKey(key, "RelayConfig::getInt");
}

double RelayConfig::getDouble(const std::string &key) {
  if (key == "internal_timeout_sec") return m_internalTimeout;
  if (key == "pfstatusreport_interval_sec") return m_statusInterval;
  if (key == "unclaimed_position_lifetime_sec") return m_positionLifetime;
  if (key == "starttime") return m_startTime;
  m_logMgr->dieNoKey(key, "RelayConfig::getDouble");
}

// ---- Thread-name registry ----

void RelayConfig::nameThread(const std::string &name) { m_logMgr->nameThread(name); }

std::string RelayConfig::getMyThreadName() { return m_logMgr->threadNames().nameOfThisThread(); }

std::string RelayConfig::getMyThreadLabel() { return m_logMgr->threadNames().labelOfThisThread(); }
