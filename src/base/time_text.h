// The texts of times that the relay's messages carry, made with the time
// library and released at once (the library's texts are malloc'ed).
#pragma once

#include <string>

// "%D %T %Z": "12/07/26 10:00:00 UTC".
std::string dateText(double epoch);
// The time library's own text of a time (strtime).
std::string timeText(double epoch);
// A duration as the time library writes it (strtdelta), without the blanks
// around it.
std::string durationText(double seconds);
