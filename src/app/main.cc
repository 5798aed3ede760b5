// tarn2tarn_pre: copies time-stamped packets between tarn servers.
//
// The main thread does no relaying: it blocks the termination signals (so
// every thread it starts inherits them blocked), creates the configuration,
// starts the manager threads, and waits for all of them to end. Shutdown is
// cooperative: a termination signal sets the stop flag and each thread ends
// by itself.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/termination_signals.h"
#include "base/thread_list.h"
#include "base/time_text.h"
#include "config/help_request.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "managers/relay_status_mgr.h"
#include "platform/elog/elog.h"
#include "platform/service/service_notify.h"
#include "platform/statefile/statefile.h"
#include "platform/time/epochtime.h"

namespace {

// Blocks the termination signals before anything else of the program runs:
// the executable's pre-initialisers come before the constructors of every
// library it loads and long before main (milliseconds, with the libraries
// the relay loads). A stop asked for meanwhile stays pending until the state
// manager takes it and ends the relay in order, instead of killing it with
// the default action. The raw system call, since no library (nor a
// sanitizer's wrapper of it) is ready this early; main blocks them again
// through the ordinary call.
void blockTerminationSignalsAtLoad(int, char **, char **) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&set, sig);
  syscall(SYS_rt_sigprocmask, SIG_BLOCK, &set, nullptr, _NSIG / 8);
}

}  // namespace

__attribute__((section(".preinit_array"), used)) void (*const g_blockTerminationSignalsAtLoad)(
    int, char **, char **) = blockTerminationSignalsAtLoad;

int main(int argc, char **argv) {
  // A request for help or the version starts nothing: it is answered on
  // standard output, and the relay ends with status 0.
  switch (helpRequest(argc, argv)) {
    case HelpRequest::kHelp:
      std::printf("%s\n", relayUsageText().c_str());
      return 0;
    case HelpRequest::kVersion:
      std::printf("tarn2tarn_pre (tarn2tarn_pre) %s\n", TARN2TARN_VERSION);
      return 0;
    case HelpRequest::kNone:
      break;
  }
  blockTerminationSignals();
  RelayCnf = new RelayConfig();
  RelayCnf->nameThread("master");
  std::string pid = std::to_string(getpid());
  relayLog()->notify("tarn2tarn_pre starting at " + dateText(std_now()) + " as pid " + pid);

  RelayCnf->configure(argc, argv);

  ThreadList threads;
  threads.start([] { RelayCnf->omstate()->run(); });
  threads.start([] { RelayCnf->omstatus()->run(); });
  threads.start([] { relayLog()->run(RelayCnf->getDouble("internal_timeout_sec")); });
  for (const std::shared_ptr<RelayConnection> &connection : RelayCnf->getConnections()) {
    threads.start([connection] { connection->run(); });
  }
  service::ready("relaying as " + RelayCnf->getTargetName());
  threads.joinAll();
  // The state manager's last save can come before a reader's last reap:
  // now that every reader has stopped, the positions are final.
  if (!RelayCnf->getStateFile().empty()) bury();

  // Messages the libraries recorded after the log manager ended; from now on
  // (the client library's last flush at exit) they go to standard error
  // straight away, since nothing drains them any more.
  relayLog()->drainLibraryMessages();
  elog_set_immediate(1);
  // With -v a line of its own names the signal that asked for the stop, if
  // one did: the stop line itself stays as log watchers know it.
  if (firstTerminationSignal() != 0) {
    relayLog()->verbose("Stop asked for by " + terminationSignalName(firstTerminationSignal()));
  }
  relayLog()->notify("tarn2tarn_pre (pid " + pid + ") shutting down at " + dateText(std_now()));
  return 0;
}
