// The pause between two rounds of a manager loop (log and state managers).
//
// A manager pauses for the internal time-out truncated to whole seconds
// (1.9 pauses one second). A time-out below one second pauses for itself,
// and never for less than kMinimumManagerPause, so that a small setting
// makes a loop quick but never spins on a processor core.
//
// The pause is one nanosleep: a signal handled by the calling thread cuts it
// short, so that the thread that receives termination signals sees the stop
// flag at once.
#pragma once

#include <atomic>

constexpr double kMinimumManagerPause = 0.05;
constexpr double kMaximumManagerPause = 86400.0;  // a day: bounds absurd settings

// The length of the pause for an internal time-out, in seconds.
double managerPauseSeconds(double internalTimeout);

// Pauses the calling thread that long, or until a signal handler runs in it.
void pauseForInternalTimeout(double internalTimeout);

// Pauses as long as pauseForInternalTimeout, but ends within a tenth of a
// second once `stop` is set: for a thread with the signals blocked whose
// interval may be long (the status manager's report interval), so that a
// stop request never waits for the rest of it.
void pauseUntilStop(double interval, const std::atomic<int> &stop);
