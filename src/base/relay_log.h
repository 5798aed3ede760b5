// RelayLog: where the relay's objects write their messages. Every object
// that reports anything is handed one when it is made; the process's is the
// log manager (managers/relay_log_mgr.h), tests may hand in their own.
//
//   operation         written when      stream
//   notify            always            standard output
//   verbose           verbosity >= 1    standard output
//   veryVerbose       verbosity >= 2    standard output
//   elog_complain     always            standard error
//   elog_die          always            standard error, then the process ends (255)
//   die_initializing  always            as elog_die, for configuration errors
//
// Each line carries the label of the thread that wrote it, so a thread names
// itself first (nameThread). Building a very verbose line costs more than
// writing it: callers on the packet path ask getVerbose() first.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdlib>
#include <string>

class RelayLog {
 public:
  virtual ~RelayLog() = default;

  // Names the calling thread; a thread keeps its first name.
  virtual void nameThread(const std::string &name) = 0;
  // The number of -v options: 0 quiet, 1 verbose, 2 or more very verbose.
  virtual int getVerbose() const = 0;

  virtual void notify(std::string msg) = 0;
  virtual void verbose(std::string msg) = 0;
  virtual void veryVerbose(std::string msg) = 0;
  virtual void elog_complain(std::string msg) = 0;
  [[noreturn]] void elog_die(std::string msg) {
    fatal(std::move(msg), true);
    std::abort();  // fatal() does not return
  }
  // For configuration errors, while no other thread runs.
  [[noreturn]] void die_initializing(std::string msg) {
    fatal(std::move(msg), false);
    std::abort();
  }

 protected:
  // Writes the fatal line (under the lock of the lines when `lock`) and ends
  // the process; never returns.
  virtual void fatal(std::string msg, bool lock) = 0;
};
