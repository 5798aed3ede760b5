#include "tarnserver/packet_filter.h"

namespace tarnserver {

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
