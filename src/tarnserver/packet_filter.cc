#include "tarnserver/packet_filter.h"

#include <algorithm>
#include <cctype>

namespace tarnserver {

namespace {

// The regex compiler copies a sub-expression once per repetition, so
// bounds like "(a{200}){200}" cost memory multiplied out: refuse
// expressions whose bounds multiply past this, and back-references (not
// part of extended expressions, and exponential to match).
constexpr uint64_t kMaxRepetition = 1000;

size_t skipBracket(const std::string &e, size_t i) {  // i at '['; returns index of ']'
  size_t j = i + 1;
  if (j < e.size() && e[j] == '^') ++j;
  if (j < e.size() && e[j] == ']') ++j;
  for (; j < e.size() && e[j] != ']'; ++j) {
    if (e[j] == '[' && j + 1 < e.size() && (e[j + 1] == ':' || e[j + 1] == '.' || e[j + 1] == '=')) {
      size_t close = e.find(std::string(1, e[j + 1]) + "]", j + 2);
      if (close == std::string::npos) return e.size();
      j = close + 1;
    }
  }
  return j;
}

bool tooCostly(const std::string &e, std::string &why) {
  uint64_t product = 1;
  for (size_t i = 0; i < e.size(); ++i) {
    char c = e[i];
    if (c == '\\') {
      if (i + 1 < e.size() && e[i + 1] >= '1' && e[i + 1] <= '9') {
        why = "back-references are not allowed";
        return true;
      }
      ++i;
    } else if (c == '[') {
      i = skipBracket(e, i);
    } else if (c == '{') {
      uint64_t bound = 0;
      size_t j = i + 1;
      for (; j < e.size() && (std::isdigit(static_cast<unsigned char>(e[j])) || e[j] == ','); ++j) {
        if (e[j] == ',') continue;
        bound = std::min<uint64_t>(bound * 10 + static_cast<uint64_t>(e[j] - '0'), kMaxRepetition + 1);
      }
      product = std::min<uint64_t>(product * (bound + 1), kMaxRepetition + 1);
      if (product > kMaxRepetition) {
        why = "repetition counts multiply past " + std::to_string(kMaxRepetition);
        return true;
      }
      i = j;
    }
  }
  return false;
}

}  // namespace

PacketFilter::~PacketFilter() {
  if (select_.set) regfree(&select_.re);
  if (reject_.set) regfree(&reject_.re);
}

bool PacketFilter::compile(Expr &e, const std::string &expr, std::string &err) {
  if (expr.empty()) {
    if (e.set) regfree(&e.re);
    e.set = false;
    return true;
  }
  std::string why;
  if (tooCostly(expr, why)) {
    err = "bad expression '" + expr + "': " + why;
    return false;
  }
  // Anchored so that the expression must match the whole source name.
  regex_t re;
  int rc = regcomp(&re, ("^(" + expr + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char msg[256];
    regerror(rc, &re, msg, sizeof msg);
    err = "bad expression '" + expr + "': " + msg;
    return false;
  }
  if (e.set) regfree(&e.re);
  e.re = re;
  e.set = true;
  return true;
}

bool PacketFilter::setSelect(const std::string &expr, std::string &err) {
  if (!compile(select_, expr, err)) return false;
  clearCache();
  return true;
}

bool PacketFilter::setReject(const std::string &expr, std::string &err) {
  if (!compile(reject_, expr, err)) return false;
  clearCache();
  return true;
}

bool PacketFilter::matches(const Expr &e, const std::string &name) {
  return regexec(&e.re, name.c_str(), 0, nullptr, 0) == 0;
}

bool PacketFilter::passes(const SourceTable &sources, uint32_t idx) {
  if (!select_.set && !reject_.set) return true;
  if (cacheGeneration_ != sources.generation()) {
    cache_.clear();
    cacheGeneration_ = sources.generation();
  }
  if (idx >= cache_.size()) cache_.resize(sources.slotCount(), -1);
  int8_t &verdict = cache_[idx];
  if (verdict < 0) {
    const std::string &name = sources.at(idx).name;
    bool ok = (!select_.set || matches(select_, name)) && (!reject_.set || !matches(reject_, name));
    verdict = ok ? 1 : 0;
  }
  return verdict == 1;
}

int32_t PacketFilter::countPassing(const SourceTable &sources) {
  int32_t n = 0;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (sources.live(i) && passes(sources, i)) ++n;
  }
  return n;
}

}  // namespace tarnserver
