#include "managers/manager_pause.h"

#include <time.h>

#include <cmath>

double managerPauseSeconds(double internalTimeout) {
  if (!(internalTimeout >= kMinimumManagerPause)) return kMinimumManagerPause;  // also NaN
  if (internalTimeout < 1.0) return internalTimeout;
  return std::trunc(std::fmin(internalTimeout, kMaximumManagerPause));
}

void pauseUntilStop(double interval, const std::atomic<int> &stop) {
  const double kSlice = 0.1;
  double left = managerPauseSeconds(interval);
  while (left > 0 && stop.load() == 0) {
    double step = std::fmin(left, kSlice);
    struct timespec pause;
    pause.tv_sec = static_cast<time_t>(step);
    pause.tv_nsec = static_cast<long>((step - static_cast<double>(pause.tv_sec)) * 1e9);
    if (nanosleep(&pause, nullptr) != 0) return;  // a signal: let the caller look
    left -= step;
  }
}
