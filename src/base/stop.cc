#include "base/stop.h"

StopFlag Stop{0};
