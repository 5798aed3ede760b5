/*
 * What a long-running program tells the service manager that started it
 * (systemd, with Type=notify): that it serves (ready), that it still turns
 * its main loop (alive, for WatchdogSec=), and that it stops. Outside such
 * a manager ($NOTIFY_SOCKET unset) every call does nothing and costs a
 * check of a flag.
 *
 * alive() may be called as often as a loop turns: it sends at most one ping
 * per half of the watchdog interval that the manager asked for
 * ($WATCHDOG_USEC), and none when it asked for none.
 *
 * Thread-safety: every function may be called from any thread.
 */
#pragma once

#include <string>

namespace service {

// READY=1 with a status line ("serving tarn on 127.0.0.1:6510").
void ready(const std::string &status);
// WATCHDOG=1, at most every half watchdog interval.
void alive();
// STOPPING=1 with a status line.
void stopping(const std::string &status);
// The watchdog interval the manager asked for, in seconds; 0 for none.
double watchdogSeconds();

}  // namespace service
