#include "config/relay_config.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/config_values.h"
#include "connection/relay_connection.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "managers/relay_status_mgr.h"
#include "platform/elog/elog.h"
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

RelayConfig::RelayConfig() : logMgr(std::make_unique<RelayLogMgr>()) { relayContext.log = logMgr.get(); }

RelayConfig::~RelayConfig() = default;

void RelayConfig::configure(int argc, char **argv) {
  starttime = std_now();
  elog_init(argc, argv);
  int first = readGlobalOptions(argc, argv);
  checkTargetName();
  relayContext.targetName = targetname;
  decideSyntax(argc - first, argv + first);
  if (legacy) {
    logMgr->verbose(
        "Legacy command-line detected. Consider switching to current usage, per "
        "tarn2tarn_pre(1).");
    configureFinishLegacyCmd(argc, argv);
  } else {
    configureFinishCurrentCmd(argc, argv);
  }
  if (!statefile.empty() && is_present(statefile.c_str()) && legacy_starttime != TIME_UNSET) {
    logMgr->elog_complain(
        "Legacy start-time ignored since a statefile is specified (-S option) and present");
    legacy_starttime = TIME_UNSET;
  }
  readParameterFile();
  if (legacy) {
    createStateManager();
    configureFinishLegacyPf(pf);
  } else {
    configureFinishCurrentPf(pf);
  }
  // The status manager is a producer of its queue from now on, as readers
  // are of theirs: a writer of that queue then waits for its end-of-data mark
  // even when the readers end before the status manager's thread has begun.
  if (std::shared_ptr<RelayQueue> status = getRelayStatusQueue()) {
    status->setProducer("status_manager");
  }
  createStatusManager();
  warnAboutUnpairedQueues();
  warnAboutTimeouts();
}

// The state manager keeps the read positions the readers are made with, so
// it comes before any connection, once the timing settings are known.
void RelayConfig::createStateManager() {
  RelayStateMgr::Settings settings;
  settings.statefile = statefile;
  settings.gracePeriodSeconds = shutdown_grace_period_sec;
  settings.internalTimeout = internal_timeout_sec;
  settings.positionLifetimeSeconds = unclaimed_position_lifetime_sec;
  stateMgr = std::make_unique<RelayStateMgr>(settings, *logMgr);
  relayContext.internalTimeout = internal_timeout_sec;
  relayContext.positions = stateMgr.get();
}

void RelayConfig::createStatusManager() {
  statusMgr = std::make_unique<RelayStatusMgr>(relayContext, getConnections(), getRelayStatusQueue(), starttime,
                                               pfstatusreport_interval_sec);
}

// Every thread sees a stop within a second whatever the internal time-out,
// but read positions are saved and the libraries' messages reported only
// once per time-out: one as long as the grace period is most likely a
// mistake.
void RelayConfig::warnAboutTimeouts() {
  if (shutdown_grace_period_sec <= 0 || internal_timeout_sec < shutdown_grace_period_sec) return;
  char text[256];
  std::snprintf(text, sizeof text,
                "Warning: internal_timeout of %g seconds is not below shutdown_grace_period of %d "
                "seconds: read positions are saved only once in a longer time than a stop may take",
                internal_timeout_sec, shutdown_grace_period_sec);
  logMgr->elog_complain(text);
}

void RelayConfig::checkTargetName() {
  std::string problem = configvalues::targetNameProblem(targetname, kMaxOwnSourceName);
  if (problem.empty()) return;
  logMgr->die_initializing("Configuration error: target name '" + targetname +
                           "' given with -t: " + problem);
}

// Producers are the readers of a queue and the status and log packets when
// it is their queue; consumers are its writers. Connections with run false
// are neither.
void RelayConfig::warnAboutUnpairedQueues() {
  std::map<std::string, std::vector<std::string>> producers, consumers;
  for (const auto &entry : connections) {
    auto &side = entry.second->isReader() ? producers : consumers;
    side[entry.second->queueName()].push_back("'" + entry.first + "'");
  }
  if (!status_queue_name.empty()) producers[status_queue_name].push_back("the status packets");
  if (!log_queue_name.empty()) producers[log_queue_name].push_back("the log packets");
  auto joined = [](std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto &name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  };
  for (const auto &[queue, fillers] : producers) {
    if (consumers.count(queue)) continue;
    logMgr->elog_complain("Queue '" + queue + "' is filled by " + joined(fillers) +
                          " but no writer connection reads it: its packets go nowhere");
  }
  for (const auto &[queue, readers] : consumers) {
    if (producers.count(queue)) continue;
    logMgr->elog_complain("Queue '" + queue + "' is read by " + joined(readers) +
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
        pfname = optarg;
        break;
      case 'S':
        statefile = optarg;
        break;
      case 't':
        targetname = optarg;
        break;
      case 'v':
        logMgr->setVerbose(++verbosity);
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
    legacy = 1;
  } else if (nargs == 3 && startIsTime) {
    legacy = 1;
    legacy_starttime = start;
  } else if (nargs == 4 && startIsTime &&
             (std::string(args[3]) == "last" || is_epoch_string(args[3], &end))) {
    legacy = 1;
    legacy_starttime = start;
    if (std::string(args[3]) == "last") {
      legacy_endtime = TIME_LAST;
    } else {
      // An end not after the start is a period.
      legacy_endtime = end > start ? end : start + end;
    }
  } else {
    legacy = 0;
    return;
  }
  tarnin = args[0];
  tarnout = args[1];
}

void RelayConfig::configureFinishLegacyCmd(int argc, char **argv) {
  restartOptions();
  int option;
  while ((option = getopt(argc, argv, kOptions)) != -1) {
    switch (option) {
      case 'm':
        match = optarg;
        break;
      case 'r':
        reject = optarg;
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
  addTarn(tarnin, "");
  addTarn(tarnout, "");
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

void RelayConfig::usage() {
  const std::string indent = "\t            ";
  logMgr->die_initializing(
      "Usage:\n"
      "\n"
      "[CURRENT SYNTAX]\n"
      "\n"
      "\ttarn2tarn_pre [-v]\n" +
      indent + "[-p pf]\n" + indent + "[-S statefile]\n" + indent +
      "[-t targetname] \t[[tarntag tarnname] ...]\n"
      "\n"
      "[LEGACY SYNTAX]\n"
      "\n"
      "\ttarn2tarn_pre [-v]\n" +
      indent + "[-m match]\n" + indent + "[-p pf]\n" + indent + "[-r reject]\n" + indent +
      "[-S statefile]\n" + indent +
      "[-t targetname] \ttarnin tarnout [start-time [period|end-time]]");
}

void RelayConfig::readParameterFile() {
  int rc = pfread(pfname.c_str(), &pf);
  if (rc == -1) logMgr->die_initializing("Failed to find parameter-file '" + pfname + "'.");
  if (rc < 0) logMgr->die_initializing("Failed to parse parameter-file '" + pfname + "'.");
}

// ---- Registries ----

void RelayConfig::addTarn(std::string tarnname, std::string tag) {
  // An empty name is left to the vetting of the connection that uses it.
  std::string problem = tarnname.empty() ? "" : configvalues::tarnNameProblem(tarnname);
  if (!problem.empty()) {
    logMgr->die_initializing("Configuration error: tarn name '" + tarnname +
                             "' on the command line: " + problem);
  }
  if (tag.empty()) {
    tag = TarnTag::createTarnTagFromTarnName(tarnname)->name();
  } else {
    TarnTag::getTarnTag(tag, tarnname, true);
  }
  logMgr->verbose("Added tarntag '" + tag + "' for tarn name '" + tarnname + "'");
}

void RelayConfig::addQueue(std::string name) {
  if (name.empty() || queues.count(name)) return;
  queues.emplace(name, std::make_shared<RelayQueue>(name, *logMgr, internal_timeout_sec));
  updateLogSink();
  logMgr->verbose("Added queue '" + name + "'");
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayQueue(std::string name) {
  auto found = queues.find(name);
  if (found == queues.end()) {
    logMgr->elog_die("Unexpected internal error: queue '" + name +
                     "' not found in RelayConfig::getRelayQueue");
  }
  return found->second;
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayLogQueue() {
  auto found = queues.find(log_queue_name);
  return found == queues.end() ? nullptr : found->second;
}

std::shared_ptr<RelayQueue> RelayConfig::getRelayStatusQueue() {
  auto found = queues.find(status_queue_name);
  return found == queues.end() ? nullptr : found->second;
}

void RelayConfig::updateLogSink() {
  std::shared_ptr<RelayQueue> queue = getRelayLogQueue();
  if (!queue) {
    logMgr->setLineSink(nullptr);
    return;
  }
  // A failure to build or queue the packet is the log manager's to report.
  logMgr->setLineSink([queue, target = targetname](const std::string &line) {
    auto packet = std::make_shared<TarnPacket>(target, line);
    queue->push(packet);
  });
}

// ---- Global settings ----

int RelayConfig::getInt(const std::string &key) {
  if (key == "shutdown_grace_period_sec") return shutdown_grace_period_sec;
  logMgr->dieNoKey(key, "RelayConfig::getInt");
}

double RelayConfig::getDouble(const std::string &key) {
  if (key == "internal_timeout_sec") return internal_timeout_sec;
  if (key == "pfstatusreport_interval_sec") return pfstatusreport_interval_sec;
  if (key == "unclaimed_position_lifetime_sec") return unclaimed_position_lifetime_sec;
  if (key == "starttime") return starttime;
  logMgr->dieNoKey(key, "RelayConfig::getDouble");
}

// ---- Thread-name registry ----

void RelayConfig::nameThread(const std::string &name) { logMgr->nameThread(name); }

std::string RelayConfig::getMyThreadName() { return logMgr->threadNames().nameOfThisThread(); }

std::string RelayConfig::getMyThreadLabel() { return logMgr->threadNames().labelOfThisThread(); }
