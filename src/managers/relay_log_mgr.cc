#include "managers/relay_log_mgr.h"

#include <unistd.h>

#include <cstdlib>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "base/termination_signals.h"
#include "managers/manager_pause.h"
#include "platform/elog/elog.h"

namespace {

void writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The log library's waiting messages, taken out of it; "" when none wait.
std::string takeLibraryMessages() {
  if (elog_mark() <= 0) return "";
  char *text = elog_string(0);
  std::string messages = text ? text : "";
  std::free(text);
  elog_flush(0, 0);
  return messages;
}

}  // namespace

std::string RelayLogMgr::writeLine(FILE *stream, const std::string &head, const std::string &msg) {
  std::lock_guard<std::mutex> lock(m_outputMutex);
  std::string line = head + m_threadNames.labelOfThisThread() + ": " + msg;
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stream);
  std::fflush(stream);
  return line;
}

void RelayLogMgr::notify(std::string msg) { msgToLogQueue(writeLine(stdout, "", msg)); }

void RelayLogMgr::verbose(std::string msg) {
  if (m_verbosity.load() < 1) return;
  msgToLogQueue(writeLine(stdout, "", msg));
}

void RelayLogMgr::veryVerbose(std::string msg) {
  if (m_verbosity.load() < 2) return;
  writeLine(stdout, "", msg);
}

void RelayLogMgr::elog_complain(std::string msg) { msgToLogQueue(writeLine(stderr, "", msg)); }

void RelayLogMgr::SCAFFOLD_FEATURE(std::string msg) {
  writeLine(stdout, "SCAFFOLD: ",
            msg +
                " If you are actively using this feature, please e-mail "
                "support@tarn2tarn.example so that it can be kept.");
}

void RelayLogMgr::fatal(std::string msg, bool lock) {
  if (lock) m_outputMutex.lock();  // held until the end: no other line may follow the fatal one
  writeFatalAndExit(msg);
}

void RelayLogMgr::dieNoKey(const std::string &key, const std::string &operation) {
  elog_die("Unexpected internal error: no key '" + key + "' in " + operation + "()");
}

void RelayLogMgr::writeFatalAndExit(const std::string &msg) {
  std::string label = m_threadNames.labelOfThisThread();
  std::string out;
  std::string pending = takeLibraryMessages();
  if (!pending.empty()) out += label + ": " + pending + "\n";
  out += "\nFatal: " + label + ": " + msg + "\n\n";
  writeAll(2, out);
  // Other threads may still run: end at once, without running destructors
  // under their feet.
  _exit(255);
}

void RelayLogMgr::msgToLogQueue(std::string msg) {
  if (!m_lineSink) return;
  // A line written while this thread is already offering one (the complaint
  // about a failed push, above all) stays on the streams: a failing log
  // queue must not make its own reports recurse.
  thread_local bool offering = false;
  if (offering) return;
  struct Offering {
    bool &flag;
    ~Offering() { flag = false; }
  } guard{offering = true};
  try {
    m_lineSink(msg);
  } catch (const RelayException &e) {
    elog_complain(e.what());
  }
}

void RelayLogMgr::drainLibraryMessages() {
  std::string messages = takeLibraryMessages();
  if (!messages.empty()) elog_complain(messages);
}

void RelayLogMgr::run(double internalTimeout) {
  blockTerminationSignals();
  nameThread("log_manager");
  verbose("Thread starting");
  while (Stop.load() == 0) {
    drainLibraryMessages();
    pauseUntilStop(internalTimeout, Stop);
  }
  // Messages recorded during the last pause would otherwise be lost.
  drainLibraryMessages();
  verbose("Thread finished");
}
