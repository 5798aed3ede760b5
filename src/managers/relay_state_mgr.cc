#include "managers/relay_state_mgr.h"

#include <utility>

#include "base/stop.h"
#include "base/termination_signals.h"
#include "config/relay_config.h"
#include "managers/manager_pause.h"
#include "managers/relay_log_mgr.h"
#include "platform/statefile/statefile.h"

RelayStateMgr::RelayStateMgr(std::string statefile) : statefile(std::move(statefile)) {}

std::string RelayStateMgr::getString(const std::string &key) {
  if (key == "statefile") return statefile;
  relayLog()->dieNoKey(key, "RelayStateMgr::getString");
}

void RelayStateMgr::saveNow() {
  if (!statefile.empty()) bury();
}

void RelayStateMgr::run() {
  RelayCnf->nameThread("state_manager");
  relayLog()->verbose("Thread starting");
  int grace = RelayCnf->getInt("shutdown_grace_period_sec");
  // The handlers are in place before the signals are unblocked: a signal
  // that arrived earlier is pending, and would otherwise end the process
  // the moment it is unblocked. They are unblocked before the statefile is
  // read, so that a stop works however long that takes. exhume also lets
  // the readers, which wait for it, look up their saved positions.
  setup_signals(&Stop, 0, grace);
  unblockTerminationSignals();
  statefile_set_position_lifetime(RelayCnf->getDouble("unclaimed_position_lifetime_sec"));
  if (!statefile.empty()) exhume(statefile.c_str(), &Stop, grace, 0);
  while (Stop.load() == 0) {
    pauseUntilStop(RelayCnf->getDouble("internal_timeout_sec"), Stop);
    if (!statefile.empty()) bury();
  }
  // Writers may still finish packets after this save; main saves once more
  // after every thread has ended.
  if (!statefile.empty()) bury();
  relayLog()->verbose("Thread finished");
}
