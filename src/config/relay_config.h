// RelayConfig: the one configuration object of the process (RelayCnf).
//
// The main thread creates it before any other thread exists and calls
// configure() once; from then on every thread reads its settings through the
// typed getters, and logs through the log manager that the constructor
// creates. The object also holds the thread-name registry, which gives each
// thread its name and the label that starts every log line.
//
// Thread-safety: configure() runs on the main thread alone, before the
// other threads start; the settings are never written afterwards, so the
// getters need no lock. The thread-name registry is used by every thread at
// any time and has a lock of its own. Lock order: the log manager's output
// mutex, then the registry lock; nothing logs while holding the registry
// lock.
//
// Failures: a getter asked for a key it does not know ends the process
// through the log manager's elog_die.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class RelayLogMgr;
class RelayStateMgr;

class RelayConfig {
 public:
  // Sets the defaults and creates the log manager (verbosity 0), so that
  // logging works before the command line is read.
  RelayConfig();
  ~RelayConfig();
  RelayConfig(const RelayConfig &) = delete;
  RelayConfig &operator=(const RelayConfig &) = delete;

  // The whole configuration of the process, from its command line.
  void configure(int argc, char **argv);

  // ---- The managers ----
  RelayLogMgr *omlog() const { return logMgr.get(); }
  // Null until configure() has run.
  RelayStateMgr *omstate() const { return stateMgr.get(); }

  // ---- Global settings by key ----
  // "shutdown_grace_period_sec".
  int getInt(const std::string &key);
  // "internal_timeout_sec", "starttime".
  double getDouble(const std::string &key);

  // ---- Thread-name registry ----
  // Registers `name` for the calling thread (a thread keeps its first name)
  // and widens the label width to the name's length when it is longer.
  void nameThread(const std::string &name);
  // The calling thread's name, or "" when it has none.
  std::string getMyThreadName();
  // "Thread ", spaces up to the label width, and the name in single quotes.
  std::string getMyThreadLabel();

 private:
  // ---- Managers: created by the constructor and configure(), live as long as this object ----
  std::unique_ptr<RelayLogMgr> logMgr;
  std::unique_ptr<RelayStateMgr> stateMgr;

  // ---- Global settings: written by the constructor and configure() only ----
  double starttime = 0.0;                // epoch seconds at which configure() began
  double internal_timeout_sec = 1.0;     // polling and waiting time-out of every loop
  int shutdown_grace_period_sec = 15;    // grace period of the shutdown

  // ---- Thread-name registry: guarded by threadNamesMutex ----
  std::mutex threadNamesMutex;
  int threadLabelWidth = 0;  // length of the longest name registered so far; only grows
  std::unordered_map<std::thread::id, std::string> threadNames;
};

// The process's one configuration, created by main before any other thread
// and never deleted.
extern RelayConfig *RelayCnf;
