// What tests of the relay's objects hand them: a RelayContext whose log is a
// real log manager (never deleted, as the program's), so that the lines the
// objects write can be captured from the standard streams (output_capture.h)
// exactly as the program writes them.
#pragma once

#include <string>

#include "base/relay_context.h"
#include "managers/relay_log_mgr.h"

namespace testsupport {

inline RelayLogMgr &testLog() {
  static RelayLogMgr *log = new RelayLogMgr();
  return *log;
}

inline RelayContext testContext(double internalTimeout = 1.0, const std::string &target = "relay1",
                                PositionSaver *positions = nullptr) {
  RelayContext context;
  context.log = &testLog();
  context.internalTimeout = internalTimeout;
  context.targetName = target;
  context.positions = positions;
  return context;
}

}  // namespace testsupport
