#include "app/stop.h"

StopFlag Stop{0};
