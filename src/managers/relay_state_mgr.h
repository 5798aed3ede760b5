// RelayStateMgr: the state manager, the one thread that receives the
// termination signals, and the keeper of the statefile (the relay's
// PositionSaver).
//
// Its thread installs the signal handling of the state-file library, so that
// SIGHUP, SIGINT, SIGQUIT or SIGTERM sets the stop flag (a second signal, or
// the shutdown grace period running out, ends the process at once), then
// waits, one internal time-out at a time, until the flag is set. A signal
// cuts the wait short. With a statefile it reads the saved read positions
// first (exhume; the readers wait for that before they position) and saves
// the registered positions after every wait and once more at the end (bury).
//
// Thread-safety: the settings never change after construction; statefile()
// and saveNow() may be called from any thread.
#pragma once

#include <string>

#include "base/relay_context.h"

class RelayLog;

class RelayStateMgr : public PositionSaver {
 public:
  struct Settings {
    std::string statefile;                          // empty: no statefile is used
    int gracePeriodSeconds = 15;                    // of the shutdown; 0: none
    double internalTimeout = 1.0;                   // seconds between saves
    double positionLifetimeSeconds = 30 * 86400.0;  // of a saved position no reader takes
  };
  RelayStateMgr(Settings settings, RelayLog &log);

  const std::string &statefile() const override { return m_settings.statefile; }
  void saveNow() override;

  // The state manager thread's body.
  void run();

 private:
  const Settings m_settings;
  RelayLog &m_log;
};
