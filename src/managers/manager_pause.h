// The pause between two rounds of a manager loop (log, state and status
// managers).
//
// A manager pauses for the internal time-out truncated to whole seconds
// (1.9 pauses one second). A time-out below one second pauses for itself,
// and never for less than kMinimumManagerPause, so that a small setting
// makes a loop quick but never spins on a processor core.
//
// The pause ends within a tenth of a second once the stop flag is set, and at
// once when a signal handler runs in the calling thread, so that no stop
// waits for the rest of a long pause.
#pragma once

#include <atomic>

constexpr double kMinimumManagerPause = 0.05;
constexpr double kMaximumManagerPause = 86400.0;  // a day: bounds absurd settings

// The length of the pause for an internal time-out, in seconds.
double managerPauseSeconds(double internalTimeout);

// Pauses the calling thread managerPauseSeconds(interval), or until `stop`
// is set or a signal handler runs in it.
void pauseUntilStop(double interval, const std::atomic<int> &stop);
