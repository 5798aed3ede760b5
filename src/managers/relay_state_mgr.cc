#include "managers/relay_state_mgr.h"

#include <algorithm>
#include <utility>

#include "base/relay_log.h"
#include "base/stop.h"
#include "base/termination_signals.h"
#include "managers/manager_pause.h"
#include "platform/service/service_notify.h"
#include "platform/statefile/statefile.h"

RelayStateMgr::RelayStateMgr(Settings settings, RelayLog &log)
    : m_settings(std::move(settings)), m_log(log) {}

void RelayStateMgr::saveNow() {
  if (!m_settings.statefile.empty()) bury();
}

void RelayStateMgr::run() {
  m_log.nameThread("state_manager");
  m_log.verbose("Thread starting");
  const std::string &statefile = m_settings.statefile;
  int grace = m_settings.gracePeriodSeconds;
  // The handlers are in place before the signals are unblocked: a signal
  // that arrived earlier is pending, and would otherwise end the process
  // the moment it is unblocked. They are unblocked before the statefile is
  // read, so that a stop works however long that takes. exhume also lets
  // the readers, which wait for it, look up their saved positions.
  setup_signals(&Stop, 0, grace);
  recordTerminationSignals();
  unblockTerminationSignals();
  statefile_set_position_lifetime(m_settings.positionLifetimeSeconds);
  if (!statefile.empty()) exhume(statefile.c_str(), &Stop, grace, 0);
  // systemd's watchdog, where it watches: the loop that saves the read
  // positions turns (a save that hangs on a lock stops the pings), and turns
  // often enough for the watchdog however long the internal time-out.
  double pause = m_settings.internalTimeout, watchdog = service::watchdogSeconds();
  if (watchdog > 0) pause = std::min(pause, watchdog / 4);
  while (Stop.load() == 0) {
    service::alive();
    pauseUntilStop(pause, Stop);
    if (!statefile.empty()) bury();
  }
  service::stopping("stopping: draining the queues");
  // Writers may still finish packets after this save; main saves once more
  // after every thread has ended.
  if (!statefile.empty()) bury();
  m_log.verbose("Thread finished");
}
