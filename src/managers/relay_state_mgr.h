// RelayStateMgr: the state manager, the one thread that receives the
// termination signals, and the keeper of the statefile's name.
//
// Its thread installs the signal handling of the state-file library, so that
// SIGHUP, SIGINT, SIGQUIT or SIGTERM sets the stop flag (a second signal, or
// the shutdown grace period running out, ends the process at once), then
// waits, one internal time-out at a time, until the flag is set. A signal
// cuts the wait short. With a statefile it reads the saved read positions
// first (exhume; the readers wait for that before they position) and saves
// the registered positions after every wait and once more at the end (bury).
//
// Thread-safety: the name never changes after construction; getString and
// saveNow may be called from any thread.
#pragma once

#include <string>

class RelayStateMgr {
 public:
  // `statefile` empty: no statefile is used.
  explicit RelayStateMgr(std::string statefile);

  // "statefile": the statefile name, possibly empty. Any other key ends the
  // process.
  std::string getString(const std::string &key);

  // The state manager thread's body.
  void run();

  // Saves the read positions at once (with a statefile): for a reader that
  // had no saved position and has just begun, whose place would otherwise
  // be known only at the next save.
  void saveNow();

 private:
  const std::string statefile;
};
