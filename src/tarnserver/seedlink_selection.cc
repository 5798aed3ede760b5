#include "tarnserver/seedlink_selection.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace tarnserver {

bool wildcardMatch(std::string_view pattern, std::string_view text) {
  // Iterative match with one backtrack point: linear in practice, never
  // exponential whatever the pattern.
  size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string StreamId::v4StreamId() const {
  std::string id = location + "_";
  for (size_t i = 0; i < channel.size(); ++i) {
    if (i > 0 && i < 3) id += '_';
    id += channel[i];
  }
  return id;
}

namespace {

bool patternChars(std::string_view s) {
  for (char c : s) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '?' || c == '*' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool parseSelector(std::string_view text, StreamSelector &out, std::string &err) {
  StreamSelector sel;
  if (!text.empty() && text[0] == '!') {
    sel.exclude = true;
    text.remove_prefix(1);
  }
  size_t dot = text.find('.');
  if (dot != std::string_view::npos) {
    std::string_view type = text.substr(dot + 1);
    if (type.size() != 1 || std::string_view("DECTLO").find(type[0]) == std::string_view::npos) {
      err = "selector type '" + std::string(type) + "' is not one of D, E, C, T, L, O";
      return false;
    }
    sel.type = type[0];
    text = text.substr(0, dot);
  }
  if (text.empty() || text.size() > 32 || !patternChars(text)) {
    err = "selector '" + std::string(text) + "' is not a stream pattern";
    return false;
  }
  if (text.find('_') != std::string_view::npos || text == "*") {
    sel.v4 = true;
    sel.stream = text;
  } else if (text.size() <= 3) {
    sel.channel = text;
  } else {
    sel.location = text.substr(0, text.size() - 3);
    sel.channel = text.substr(text.size() - 3);
  }
  out = sel;
  return true;
}

bool selectorMatches(const StreamSelector &sel, const StreamId &id) {
  if (sel.type != 0 && sel.type != id.type) return false;
  if (sel.v4) return wildcardMatch(sel.stream, id.v4StreamId());
  if (!sel.location.empty()) {
    std::string loc = id.location.empty() ? "--" : id.location;
    if (!wildcardMatch(sel.location, loc)) return false;
  }
  return wildcardMatch(sel.channel, id.channel);
}

bool selectorsTake(const std::vector<StreamSelector> &sels, const StreamId &id) {
  bool anyPositive = false, taken = false;
  for (const StreamSelector &sel : sels) {
    if (sel.exclude) {
      if (selectorMatches(sel, id)) return false;
    } else {
      anyPositive = true;
      taken = taken || selectorMatches(sel, id);
    }
  }
  return taken || !anyPositive;
}

namespace {

bool civilToEpoch(int y, int mo, int d, int h, int mi, double s, double &out) {
  if (y < 1900 || y > 2500 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || s < 0 || s >= 61)
    return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  out = static_cast<double>(timegm(&tm)) + s;
  return true;
}

}  // namespace

bool parseSeedlinkTime(std::string_view text, double &out) {
  std::string t(text);
  int y, mo, d, h, mi, sec, n = 0;
  double s = 0;
  if (std::sscanf(t.c_str(), "%4d,%2d,%2d,%2d,%2d,%2d%n", &y, &mo, &d, &h, &mi, &sec, &n) == 6) {
    std::string_view rest = std::string_view(t).substr(static_cast<size_t>(n));
    int micro = 0, m = 0;
    if (!rest.empty() && (std::sscanf(t.c_str() + n, ",%6d%n", &micro, &m) != 1 ||
                          static_cast<size_t>(m) != rest.size() || micro < 0))
      return false;
    return civilToEpoch(y, mo, d, h, mi, sec + (m > 1 ? micro / std::pow(10.0, m - 1) : 0), out);
  }
  char sep = 0;
  n = 0;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2d%c%2d:%2d:%lf%n", &y, &mo, &d, &sep, &h, &mi, &s, &n) !=
          7 ||
      (sep != 'T' && sep != ' '))
    return false;
  std::string_view zone = std::string_view(t).substr(static_cast<size_t>(n));
  double offset = 0;
  if (zone == "Z" || zone.empty()) {
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int zh = 0, zm = 0;
    if (std::sscanf(std::string(zone.substr(1)).c_str(), "%2d:%2d", &zh, &zm) != 2) return false;
    offset = (zone[0] == '+' ? 1 : -1) * (zh * 3600.0 + zm * 60.0);
  } else {
    return false;
  }
  if (!civilToEpoch(y, mo, d, h, mi, s, out)) return false;
  out -= offset;
  return true;
}

namespace {
std::string formatTime(double t, const char *dateTime, int digits) {
  if (!std::isfinite(t)) t = 0;
  double whole = std::floor(t);
  auto secs = static_cast<time_t>(whole);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, dateTime, &tm);
  double scale = std::pow(10.0, digits);
  auto frac = static_cast<long>(std::min(scale - 1, std::floor((t - whole) * scale + 0.5)));
  char out[96];
  std::snprintf(out, sizeof out, "%s.%0*ld", buf, digits, frac);
  return out;
}
}  // namespace

std::string isoTime(double t) { return formatTime(t, "%Y-%m-%dT%H:%M:%S", 6) + "Z"; }
std::string v3InfoTime(double t) { return formatTime(t, "%Y/%m/%d %H:%M:%S", 4); }

}  // namespace tarnserver
