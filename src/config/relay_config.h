// RelayConfig: the one configuration object of the process (RelayCnf).
//
// The main thread creates it before any other thread exists and calls
// configure() once: it reads the command line and the parameter file and
// creates everything else (the managers, the queues, the connections and
// their sources and destinations), handing each what it needs (the
// RelayContext: the log, the internal time-out, the target name, the state
// manager). Nothing below the configuration looks it up; main starts the
// threads it created. The log manager, which the constructor creates, also
// holds the thread-name registry that labels every log line.
//
// Thread-safety: configure() runs on the main thread alone, before the
// other threads start; the settings are never written afterwards, so the
// getters need no lock. The thread-name registry is used by every thread at
// any time and has a lock of its own.
//
// Failures: a getter asked for a key it does not know ends the process
// through the log manager's elog_die.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/relay_context.h"
#include "base/relay_times.h"
#include "platform/pf/pf.h"

class ConnectionEntry;
class RelayConnection;
struct ReaderSettings;
struct WriterSettings;
class RelayLogMgr;
class RelayQueue;
class RelayStateMgr;
class RelayStatusMgr;

class RelayConfig {
 public:
  // Sets the defaults and creates the log manager (verbosity 0), so that
  // logging works before the command line is read.
  RelayConfig();
  ~RelayConfig();
  RelayConfig(const RelayConfig &) = delete;
  RelayConfig &operator=(const RelayConfig &) = delete;

  // The whole configuration of the process, from its command line and its
  // parameter file. Ends the process through die_initializing on any
  // configuration error; returns only with everything registered.
  void configure(int argc, char **argv);
  // Writes the usage text through die_initializing; never returns.
  [[noreturn]] void usage();
  // The second pass over the command line of each syntax.
  void configureFinishLegacyCmd(int argc, char **argv);
  void configureFinishCurrentCmd(int argc, char **argv);
  // The reader of the current parameter-file form: every connection of
  // "connections" with the defaults layered under it, the status and log
  // queues, and the timing settings. Returns only on success.
  void configureFinishCurrentPf(Pf *pf);
  // The legacy form: one reader from tarnin and one writer to tarnout joined
  // by the queue "mainq", with the file's three filters; status and log
  // packets go into "mainq" too.
  void configureFinishLegacyPf(Pf *pf);
  // "read" or "write" for one entry of "connections", judged from the
  // entry's own keys that name its server; none of them ends the process.
  std::string determineConnectionDirection(Pf *entry);

  // True when the command line was taken as the legacy syntax.
  bool isLegacy() const { return m_legacy != 0; }
  std::string getStateFile() const { return m_statefile; }
  std::string getTargetName() const { return m_targetName; }
  // What every object the configuration makes is handed; complete once the
  // timing settings are read.
  const RelayContext &context() const { return m_context; }

  // ---- Registries ----
  // Checks one complete connection object against the schema; the first
  // violation ends the process.
  void vetConnectionPf(Pf *connection);
  // Vets the object and creates and registers its connection (with the
  // source or destination its kind makes) and queue; a writer becomes a
  // consumer of its queue at once. Empty when the entry's "run" is false
  // (its name stays reserved).
  std::shared_ptr<RelayConnection> addConnection(Pf *connection);
  // Every registered connection, in no particular order.
  std::vector<std::shared_ptr<RelayConnection>> getConnections();
  // Registers a tarn tag for a tarn name: an empty tag asks for a tag named
  // after the tarn name (the first one configured for it, or a generated
  // one); a tag that is registered already keeps its tarn name.
  void addTarn(std::string tarnname, std::string tag);
  // Creates and registers the queue `name` unless it exists; "" does nothing.
  void addQueue(std::string name);
  // The registered queue; an unknown name ends the process.
  std::shared_ptr<RelayQueue> getRelayQueue(std::string name);
  // The queues of the log and status packets; empty when they are off.
  std::shared_ptr<RelayQueue> getRelayLogQueue();
  std::shared_ptr<RelayQueue> getRelayStatusQueue();

  // ---- The managers ----
  RelayLogMgr *omlog() const { return m_logMgr.get(); }
  // Null until configure() has run.
  RelayStateMgr *omstate() const { return m_stateMgr.get(); }
  RelayStatusMgr *omstatus() const { return m_statusMgr.get(); }

  // ---- Global settings by key ----
  // "shutdown_grace_period_sec".
  int getInt(const std::string &key);
  // "internal_timeout_sec", "pfstatusreport_interval_sec", "starttime",
  // "unclaimed_position_lifetime_sec".
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
  friend class RelayConfigInspector;  // tests look at the settings themselves

  // ---- Managers: created by the constructor and configure(), live as long as this object ----
  std::unique_ptr<RelayLogMgr> m_logMgr;
  std::unique_ptr<RelayStateMgr> m_stateMgr;
  std::unique_ptr<RelayStatusMgr> m_statusMgr;

  // Reads the options of the first pass (-p, -S, -t, -v) and returns the
  // index of the first argument after them.
  int readGlobalOptions(int argc, char **argv);
  // Ends the process when the target name cannot start the source names of
  // the relay's own packets.
  void checkTargetName();
  // Decides the syntax from the arguments after the options.
  void decideSyntax(int nargs, char **args);
  // Reads the parameter file named by pfname into pf.
  void readParameterFile();
  // Steps of configureFinishCurrentPf and addConnection.
  void addCurrentConnection(int index, Pf *connections, const std::string &readDefaults,
                            const std::string &writeDefaults);
  void complainNoServerKey(Pf *entry, const std::string &connection);
  void readSpecialQueue(Pf *pf, const std::string &which, const std::string &offReport,
                        std::string &queueName);
  // The managers that need the settings, and the context they make up.
  void createStateManager();
  void createStatusManager();
  void readTimingSettings(Pf *pf);
  double readPositiveInterval(Pf *pf, const std::string &key, double current);
  [[noreturn]] void dieMissingParameter(const std::string &path);
  // A top-level array of the current form; not one ends the process.
  Pf *resolveArray(Pf *pf, const std::string &path);
  // The current form's boolean `path`, which must be present; a value that is
  // not a boolean ends the process.
  bool readTopLevelBoolean(Pf *pf, const std::string &path);
  // One warning per key of the parameter file the relay does not read.
  void warnAboutUnknownKeys();
  // Warns about a queue that is filled and never read, or read and never
  // filled: a typo in a queue name shows at start-up, not as lost packets.
  void warnAboutUnpairedQueues();
  // Warns about a writer that puts onto the server one of the readers of
  // its queue reads: each packet would come back to it, in a loop.
  void warnAboutLoops();
  // Gives the log manager a line sink that sends each line as a log packet
  // onto the log queue while that queue exists, and takes it away while it
  // does not; called whenever the log queue's name or the registry changes.
  void updateLogSink();
  std::string reserveConnectionName(Pf *connection);
  std::shared_ptr<RelayConnection> makeConnection(const ConnectionEntry &entry, Pf *pf);
  void readMaxQueueBytes(WriterSettings &settings, const ConnectionEntry &entry);
  void readPositionLifetime(Pf *pf);
  void warnAboutTimeouts();
  void checkReaderExpressions(Pf *connection, const std::string &name);
  // Ends the process when a key of the connection holds an array or a list.
  void checkPlainValues(Pf *connection, const std::string &name);
  // The connection's settings from its entry. A value that cannot be read
  // as what its key asks for ends the process rather than becoming zero.
  ReaderSettings readReaderSettings(const ConnectionEntry &entry);
  WriterSettings readWriterSettings(const ConnectionEntry &entry);

  // ---- Global settings: written by the constructor and configure() only ----
  int m_legacy = 0;                            // 1 when the legacy syntax was detected
  double m_startTime = 0.0;                    // epoch seconds at which configure() began
  double m_statusInterval = 2.0;               // interval between status packets
  double m_positionLifetime = 30 * 86400.0;    // of a statefile position no reader takes
  double m_internalTimeout = 1.0;              // polling and waiting time-out of every loop
  int m_gracePeriod = 15;                      // grace period of the shutdown
  int m_verbosity = 0;                         // number of -v options seen
  std::string m_pfname = "tarn2tarn_pre";      // parameter-file name (-p)
  std::string m_targetName = "tarn2tarn_pre";  // target name (-t)
  std::string m_statefile;                     // statefile name (-S); empty: none
  std::string m_statusQueueName;               // queue of the status packets; empty: none
  std::string m_logQueueName;                  // queue of the log packets; empty: none
  // Legacy syntax: these point into the process's argument vector, which
  // outlives this object; nothing copies or frees them.
  char *m_tarnin = nullptr;
  char *m_tarnout = nullptr;
  char *m_match = nullptr;
  char *m_reject = nullptr;
  double m_legacyStart = TIME_UNSET;
  double m_legacyEnd = TIME_UNSET;  // or TIME_LAST
  // The parameter file as pfread returned it; the library owns it.
  Pf *m_pf = nullptr;

  // ---- Registries: filled by configure() only, read by every thread after ----
  std::unordered_map<std::string, std::shared_ptr<RelayQueue>> m_queues;
  // Only the connections whose "run" is true.
  std::unordered_map<std::string, std::shared_ptr<RelayConnection>> m_connections;
  // Kept by addConnection: every accepted name in order (skipped and
  // generated ones too), and the counter of generated names.
  std::vector<std::string> m_namesUsed;
  // The kind of server of each connection made ("tarn", "SeedLink", ...).
  std::unordered_map<std::string, std::string> m_kindOf;
  int m_connectionNumber = 0;
  RelayContext m_context;
};

// The process's one configuration, created by main before any other thread
// and never deleted.
extern RelayConfig *RelayCnf;

// The process's log manager, through which every thread logs (the
// configuration must exist).
inline RelayLogMgr *relayLog() { return RelayCnf->omlog(); }
