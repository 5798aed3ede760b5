#include "base/time_text.h"

#include <cstdlib>

#include "platform/time/epochtime.h"

namespace {

// Takes a text of the time library and releases it.
std::string take(char *text) {
  std::string result = text ? text : "";
  std::free(text);
  return result;
}

}  // namespace

std::string dateText(double epoch) { return take(epoch2str(epoch, "%D %T %Z")); }

std::string timeText(double epoch) { return take(strtime(epoch)); }

std::string durationText(double seconds) {
  char *text = strtdelta(seconds);
  if (text) strtrim(text);
  return take(text);
}
