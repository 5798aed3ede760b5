// RelayLogMgr: the process's RelayLog, through which every thread writes its
// messages, and the log manager thread's body.
//
// Each message becomes one line, built whole and written under one mutex so
// that lines of different threads never interleave: the calling thread's
// label (ThreadNames), ": " and the message. notify, verbose and
// elog_complain also offer their line to the line sink, which the
// configuration installs while there is a log queue (it makes each line a
// log packet and queues it); the log manager itself knows neither packets
// nor queues.
//
//   operation         written when     stream   line
//   notify            always           stdout   label: msg
//   verbose           verbosity >= 1   stdout   label: msg
//   veryVerbose       verbosity >= 2   stdout   label: msg
//   elog_complain     always           stderr   label: msg
//   SCAFFOLD_FEATURE  always           stdout   SCAFFOLD: label: msg <plea to e-mail support>
//   elog_die          always           stderr   \nFatal: label: msg\n\n, then exit 255
//   die_initializing  always           stderr   as elog_die, without the mutex
//
// The fatal operations first write, as a complaint, the messages that the
// platform libraries left in the log library, so that the reason behind a
// fatal error (a parameter file's line number, say) is not lost.
//
// The thread body (run) drains the log library's messages every internal
// time-out until the stop flag is set.
//
// Thread-safety: every message operation may be called from any thread.
// The line sink is set while configuring, before other threads start, and
// is called after the output mutex is released. Lock order: the output
// mutex, then the thread-name registry's lock.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "base/relay_log.h"
#include "base/thread_names.h"

class RelayLogMgr : public RelayLog {
 public:
  // Takes one written line (without its newline); may throw RelayException,
  // which the log manager reports as a complaint.
  using LineSink = std::function<void(const std::string &line)>;

  RelayLogMgr() = default;
  RelayLogMgr(const RelayLogMgr &) = delete;
  RelayLogMgr &operator=(const RelayLogMgr &) = delete;

  void nameThread(const std::string &name) override { m_threadNames.name(name); }
  ThreadNames &threadNames() { return m_threadNames; }

  void setVerbose(int level) { m_verbosity.store(level); }
  int getVerbose() const override { return m_verbosity.load(); }

  void notify(std::string msg) override;
  void verbose(std::string msg) override;
  void veryVerbose(std::string msg) override;
  void elog_complain(std::string msg) override;
  void SCAFFOLD_FEATURE(std::string msg);
  // For a keyed accessor asked for a key it does not know: elog_die with
  // "Unexpected internal error: no key '<key>' in <operation>()".
  [[noreturn]] void dieNoKey(const std::string &key, const std::string &operation);

  // Where notify, verbose and elog_complain send their lines besides the
  // streams; empty (the default): nowhere.
  void setLineSink(LineSink sink) { m_lineSink = std::move(sink); }
  // Offers one written line (without its newline) to the line sink.
  void msgToLogQueue(std::string msg);

  // Reports the log library's waiting messages, if any, as one complaint.
  void drainLibraryMessages();

  // The log manager thread's body, draining every `internalTimeout` seconds.
  void run(double internalTimeout);

 protected:
  [[noreturn]] void fatal(std::string msg, bool lock) override;

 private:
  // Builds head + label + ": " + msg, writes it and a newline to `stream`
  // and flushes, all under the output mutex. Returns the line.
  std::string writeLine(FILE *stream, const std::string &head, const std::string &msg);
  // Writes the library's waiting messages and the fatal line, and ends the
  // process; the caller holds the output mutex or, while configuring, needs
  // none.
  [[noreturn]] void writeFatalAndExit(const std::string &msg);

  ThreadNames m_threadNames;
  std::mutex m_outputMutex;         // serialises the writing of lines
  std::atomic<int> m_verbosity{0};  // set while configuring; read by every thread
  LineSink m_lineSink;              // set while configuring; called by every thread
};
