#include "base/config_values.h"

#include <strings.h>

#include <charconv>
#include <cmath>
#include <string_view>

#include "platform/hostname/host_name.h"

namespace configvalues {

namespace {

// from_chars takes no leading '+'; a number may have one.
std::string_view withoutPlus(const std::string &text) {
  std::string_view view(text);
  if (!view.empty() && view.front() == '+') view.remove_prefix(1);
  return view;
}

}  // namespace

bool readBoolean(const std::string &text, bool &out) {
  for (const char *yes : {"true", "yes", "y", "on", "1"}) {
    if (strcasecmp(text.c_str(), yes) == 0) {
      out = true;
      return true;
    }
  }
  for (const char *no : {"false", "no", "n", "off", "0"}) {
    if (strcasecmp(text.c_str(), no) == 0) {
      out = false;
      return true;
    }
  }
  return false;
}

bool readNumber(const std::string &text, double &out) {
  std::string_view number = withoutPlus(text);
  if (number.empty() || (number.front() == '-' && text.front() == '+')) return false;
  double value = 0;
  auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), value,
                                    std::chars_format::general);
  if (err != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

bool readInteger(const std::string &text, long min, long max, long &out) {
  std::string_view digits = withoutPlus(text);
  if (digits.empty() || (digits.front() == '-' && text.front() == '+')) return false;
  long value = 0;
  auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (err != std::errc() || end != digits.data() + digits.size() || value < min || value > max) {
    return false;
  }
  out = value;
  return true;
}

bool readSize(const std::string &text, long &out) {
  if (text.empty()) return false;
  long unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'k':
    case 'K':
      unit = 1L << 10;
      break;
    case 'm':
    case 'M':
      unit = 1L << 20;
      break;
    case 'g':
    case 'G':
      unit = 1L << 30;
      break;
    default:
      break;
  }
  if (unit != 1) digits.pop_back();
  const long kMax = 1L << 40;
  long value = 0;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
      !readInteger(digits, 0, kMax / unit, value)) {
    return false;
  }
  out = value * unit;
  return true;
}

std::string tarnNameProblem(const std::string &name) {
  if (name.empty()) return "it is empty";
  if (name.find_first_not_of("0123456789") == std::string::npos) {
    return "it is a bare number, which names no host: for port " + name +
           " on this machine write ':" + name + "'";
  }
  size_t colon = name.rfind(':');
  std::string host = colon == std::string::npos ? name : name.substr(0, colon);
  if (colon != std::string::npos) {
    std::string port = name.substr(colon + 1);
    long number = 0;
    bool digits = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || !readInteger(port, 1, 65535, number)) {
      return "its port '" + port + "' is not a number from 1 to 65535";
    }
    if (host.empty()) return "";  // ":port" is 127.0.0.1
  }
  if (hostname::namesAHost(host)) return "";
  return "its host '" + host +
         "' is neither a dotted address such as 127.0.0.1 nor a host name such as "
         "station.example.org";
}

std::string targetNameProblem(const std::string &name, size_t maxSourceName) {
  if (name.empty()) return "it is empty";
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f) return "it may not hold blanks or control characters";
  }
  const std::string longest = name + "/pf/st";
  if (longest.size() > maxSourceName) {
    return "it is too long: the source name of its status packets, '" + longest +
           "', would have more than " + std::to_string(maxSourceName) + " characters";
  }
  return "";
}

}  // namespace configvalues
