// The four signals that ask the relay to stop: SIGHUP, SIGINT, SIGQUIT and
// SIGTERM. The main thread blocks them before any other thread exists, so
// every thread starts with them blocked; only the state manager unblocks
// them, so they are delivered to it alone. Each function changes the
// calling thread's signal mask only.
#pragma once

#include <signal.h>

// The set of the four termination signals.
sigset_t terminationSignals();

void blockTerminationSignals();
void unblockTerminationSignals();
