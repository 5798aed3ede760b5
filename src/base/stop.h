// The process-wide stop flag: 0 while the relay runs, non-zero (the relay
// only ever stores 1) once it is to stop. It is set from the signal handling
// of the state-file library (the state manager hands over its address) and,
// in legacy mode, by a reader that reached its end; every thread loop polls
// it. It is a lock-free atomic, safe to touch from a signal handler.
#pragma once

#include "platform/stopflag/stopflag.h"

extern StopFlag Stop;
