// The four signals that ask the relay to stop: SIGHUP, SIGINT, SIGQUIT and
// SIGTERM. The main thread blocks them before any other thread exists, so
// every thread starts with them blocked; only the state manager unblocks
// them, so they are delivered to it alone. The block functions change the
// calling thread's signal mask only.
//
// recordTerminationSignals wraps the handlers installed for the four (the
// state-file library's) so that the first signal received is remembered
// before the handler runs; call it once, after those handlers are in place
// and before the signals are unblocked. firstTerminationSignal() is that
// signal, or 0 when none came; any thread may ask.
#pragma once

#include <signal.h>

#include <string>

// The set of the four termination signals.
sigset_t terminationSignals();

void blockTerminationSignals();
void unblockTerminationSignals();

void recordTerminationSignals();
int firstTerminationSignal();

// "SIGTERM" and so on for the four, "signal N" for any other.
std::string terminationSignalName(int sig);
