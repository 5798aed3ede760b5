// RelayContext: what every relay object needs from the process around it,
// handed in when the object is made instead of looked up: where it logs, the
// internal time-out every loop polls with, the target name that starts the
// source names of the relay's own packets, and who keeps read positions.
//
// The configuration fills one context once the command line and the timing
// settings are read, before it makes any connection or queue; objects copy
// it and never change it. What it points at lives until the process ends.
#pragma once

#include <string>

class RelayLog;

// Who keeps the read positions of tarn readers: the state manager, with the
// statefile named on the command line.
class PositionSaver {
 public:
  virtual ~PositionSaver() = default;
  // The statefile's name; empty when the relay keeps no statefile.
  virtual const std::string &statefile() const = 0;
  // Saves every registered position now (nothing without a statefile).
  // Safe from any thread.
  virtual void saveNow() = 0;
};

struct RelayContext {
  RelayLog *log = nullptr;
  // Seconds: how long a loop waits for anything before it looks at the stop
  // flag again, and the unit of the back-off between attempts to connect.
  double internalTimeout = 1.0;
  // The relay's own packets are named "<target>/log" and "<target>/pf/st".
  std::string targetName = "tarn2tarn_pre";
  // Null when nobody keeps positions (a test, say).
  PositionSaver *positions = nullptr;
};
