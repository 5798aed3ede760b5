#include "platform/time/epochtime.h"

#include <sys/stat.h>
#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Times further than this from the epoch (about three million years) are
// not formatted: the calendar year would not fit gmtime_r's int.
constexpr double kMaxFormattableSeconds = 1e14;
// Durations beyond this many seconds would overflow the millisecond count.
constexpr double kMaxDurationSeconds = 1e15;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// ---- Formatting ----

// Splits an epoch time into whole seconds and rounded milliseconds, carrying
// a rounding to 1000 ms into the seconds.
void splitMillis(double epoch, time_t *seconds, int *millis) {
  double whole = std::floor(epoch);
  long long ms = std::llround((epoch - whole) * 1000.0);
  if (ms >= 1000) {
    whole += 1.0;
    ms -= 1000;
  }
  *seconds = static_cast<time_t>(whole);
  *millis = static_cast<int>(ms);
}

// The format with the library's own conversions (%Z, %s) replaced, ready for
// strftime. A '%' at the very end is kept as a literal '%'.
std::string expandFormat(const char *format, int millis) {
  std::string out;
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    char next = p[1];
    if (next == '\0') {
      out += "%%";
      break;
    }
    ++p;
    if (next == 'Z') {
      out += "UTC";
    } else if (next == 's') {
      char digits[8];
      std::snprintf(digits, sizeof digits, "%03d", millis);
      out += digits;
    } else {
      out += '%';
      out += next;
    }
  }
  return out;
}

// strftime into a growing buffer. A sentinel character at the end of the
// format tells an empty result apart from a buffer that is too small.
char *formatTm(const struct tm &tm, std::string format) {
  format += '#';
  constexpr size_t kLimit = 16u << 20;
  for (size_t size = 2 * format.size() + 128; size <= kLimit; size *= 2) {
    char *buffer = static_cast<char *>(std::malloc(size));
    if (buffer == nullptr) return nullptr;
    size_t n = strftime(buffer, size, format.c_str(), &tm);
    if (n > 0) {
      buffer[n - 1] = '\0';  // drop the sentinel
      return buffer;
    }
    std::free(buffer);
  }
  return nullptr;
}

// ---- Parsing ----

// A cursor over the text being parsed; every reader advances it only when
// it succeeds.
struct Cursor {
  std::string_view rest;

  bool atEnd() const { return rest.empty(); }

  bool take(std::string_view literal) {
    if (rest.substr(0, literal.size()) != literal) return false;
    rest.remove_prefix(literal.size());
    return true;
  }

  // The length of the run of digits at the cursor.
  size_t digitRun() const {
    size_t n = 0;
    while (n < rest.size() && isDigit(rest[n])) ++n;
    return n;
  }

  // Reads between minCount and maxCount digits; fails when the run of digits
  // is shorter or longer.
  bool number(size_t minCount, size_t maxCount, int *value) {
    size_t n = digitRun();
    if (n < minCount || n > maxCount) return false;
    int v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + (rest[i] - '0');
    rest.remove_prefix(n);
    *value = v;
    return true;
  }
};

struct CivilTime {
  int year = 0;
  int month = 1;             // 1..12; unused with byDayOfYear
  int day = 1;               // 1..31; unused with byDayOfYear
  bool byDayOfYear = false;  // dayOfYear given instead of month and day
  int dayOfYear = 0;         // 1..366
  int hour = 0;
  int minute = 0;
  int second = 0;
  double fraction = 0.0;
};

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// "2026-12-07" or "2026-341".
bool parseIsoDate(Cursor &c, CivilTime *t) {
  Cursor saved = c;
  if (!c.number(4, 4, &t->year) || !c.take("-")) return (c = saved, false);
  if (c.digitRun() == 3) {
    if (!c.number(3, 3, &t->dayOfYear)) return (c = saved, false);
    t->byDayOfYear = true;
    return true;
  }
  if (c.number(1, 2, &t->month) && c.take("-") && c.number(1, 2, &t->day)) return true;
  c = saved;
  return false;
}

// "12/07/2026" (month, day, year).
bool parseUsDate(Cursor &c, CivilTime *t) {
  Cursor saved = c;
  if (c.number(1, 2, &t->month) && c.take("/") && c.number(1, 2, &t->day) && c.take("/") &&
      c.number(4, 4, &t->year)) {
    return true;
  }
  c = saved;
  return false;
}

// ".5", ".250": at least one digit after the point.
bool parseFraction(Cursor &c, double *fraction) {
  if (!c.take(".")) return true;
  size_t n = c.digitRun();
  if (n == 0) return false;
  std::string text = "0." + std::string(c.rest.substr(0, n));
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *fraction);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  c.rest.remove_prefix(n);
  return true;
}

// "10:00", "10:00:00", "10:00:00.5", each optionally followed by "Z" or " UTC".
bool parseTimeOfDay(Cursor &c, CivilTime *t) {
  if (!c.number(1, 2, &t->hour) || !c.take(":") || !c.number(1, 2, &t->minute)) return false;
  if (c.take(":")) {
    if (!c.number(1, 2, &t->second) || !parseFraction(c, &t->fraction)) return false;
  }
  if (!c.take("Z")) c.take(" UTC");
  return true;
}

bool inRange(const CivilTime &t) {
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  if (t.byDayOfYear) return t.dayOfYear >= 1 && t.dayOfYear <= (isLeapYear(t.year) ? 366 : 365);
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= daysInMonth(t.year, t.month);
}

double toEpoch(const CivilTime &t) {
  struct tm tm = {};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.byDayOfYear ? 0 : t.month - 1;
  tm.tm_mday = t.byDayOfYear ? t.dayOfYear : t.day;  // timegm carries days past January
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  return static_cast<double>(timegm(&tm)) + t.fraction;
}

bool parseCalendar(std::string_view text, double *epoch) {
  Cursor c{text};
  CivilTime t;
  if (!parseIsoDate(c, &t) && !parseUsDate(c, &t)) return false;
  if (!c.atEnd()) {
    if (!c.take(" ") && !c.take("T")) return false;
    if (!parseTimeOfDay(c, &t)) return false;
  }
  if (!c.atEnd() || !inRange(t)) return false;
  *epoch = toEpoch(t);
  return true;
}

// "-12", "1765101600.5", "5.", ".5": an optional minus, digits with an
// optional point; no exponent, no "inf" or "nan".
bool parseSeconds(std::string_view text, double *epoch) {
  std::string_view body = text.substr(text.size() > 0 && text[0] == '-' ? 1 : 0);
  size_t digits = 0, points = 0;
  for (char ch : body) {
    if (isDigit(ch)) {
      ++digits;
    } else if (ch == '.') {
      ++points;
    } else {
      return false;
    }
  }
  if (digits == 0 || points > 1) return false;
  double value = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
  *epoch = value;
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

extern "C" {

double std_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

char *epoch2str(double epoch, const char *format) {
  if (format == nullptr) return nullptr;
  if (!std::isfinite(epoch) || std::fabs(epoch) > kMaxFormattableSeconds)
    return strdup("(invalid time)");
  time_t seconds;
  int millis;
  splitMillis(epoch, &seconds, &millis);
  struct tm tm;
  if (gmtime_r(&seconds, &tm) == nullptr) return strdup("(invalid time)");
  return formatTm(tm, expandFormat(format, millis));
}

char *strtime(double epoch) { return epoch2str(epoch, "%Y-%m-%d %H:%M:%S.%s %Z"); }

char *strtdelta(double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDurationSeconds) {
    return strdup("(invalid duration)");
  }
  long long total = std::llround(std::fabs(seconds) * 1000.0);
  const char *sign = seconds < 0 && total != 0 ? "-" : "";
  long long days = total / 86400000;
  int hours = static_cast<int>(total / 3600000 % 24);
  int minutes = static_cast<int>(total / 60000 % 60);
  int secs = static_cast<int>(total / 1000 % 60);
  int millis = static_cast<int>(total % 1000);
  char body[64];
  if (days > 0) {
    std::snprintf(body, sizeof body, "%s%lld:%02d:%02d:%02d.%03d", sign, days, hours, minutes, secs,
                  millis);
  } else {
    std::snprintf(body, sizeof body, "%s%d:%02d:%02d.%03d", sign, hours, minutes, secs, millis);
  }
  char aligned[80];
  std::snprintf(aligned, sizeof aligned, "%14s", body);
  return strdup(aligned);
}

char *strtrim(char *text) {
  if (text == nullptr) return nullptr;
  size_t start = 0;
  while (text[start] != '\0' && isBlank(text[start])) ++start;
  size_t end = std::strlen(text);
  while (end > start && isBlank(text[end - 1])) --end;
  std::memmove(text, text + start, end - start);
  text[end - start] = '\0';
  return text;
}

int is_epoch_string(const char *text, double *epoch) {
  if (text == nullptr || epoch == nullptr) return 0;
  std::string_view view = trimmed(text);
  if (view.empty()) return 0;
  double value;
  if (!parseSeconds(view, &value) && !parseCalendar(view, &value)) return 0;
  *epoch = value;
  return 1;
}

int is_present(const char *path) {
  if (path == nullptr || path[0] == '\0') return 0;
  struct stat st;
  return stat(path, &st) == 0 ? 1 : 0;
}

}  // extern "C"
