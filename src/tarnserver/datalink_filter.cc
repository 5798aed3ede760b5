#include "tarnserver/datalink_filter.h"

#include "platform/datalink/datalink_streams.h"
#include "tarnserver/packet_filter.h"

namespace tarnserver {

DatalinkFilter::~DatalinkFilter() {
  if (match_.set) regfree(&match_.re);
  if (reject_.set) regfree(&reject_.re);
}

bool DatalinkFilter::compile(Expr &e, const std::string &expr, std::string &err) {
  if (expr.empty()) {
    if (e.set) regfree(&e.re);
    e.set = false;
    return true;
  }
  std::string why;
  if (expressionTooCostly(expr, why)) {
    err = "bad expression '" + expr + "': " + why;
    return false;
  }
  regex_t re;
  int rc = regcomp(&re, expr.c_str(), REG_EXTENDED | REG_NOSUB);
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

void DatalinkFilter::forgetVerdicts() {
  for (Slot &s : slots_) s.verdict = -1;
}

bool DatalinkFilter::setMatch(const std::string &expr, std::string &err) {
  if (!compile(match_, expr, err)) return false;
  forgetVerdicts();
  return true;
}

bool DatalinkFilter::setReject(const std::string &expr, std::string &err) {
  if (!compile(reject_, expr, err)) return false;
  forgetVerdicts();
  return true;
}

DatalinkFilter::Slot &DatalinkFilter::slot(const SourceTable &sources, uint32_t idx) {
  if (generation_ != sources.generation()) {  // a slot was given to another source
    slots_.clear();
    generation_ = sources.generation();
  }
  if (idx >= slots_.size()) slots_.resize(sources.slotCount());
  Slot &s = slots_[idx];
  if (!s.named) {
    s.id = datalink::streamIdOf(sources.at(idx).name);
    s.named = true;
    ++work_;
  }
  return s;
}

bool DatalinkFilter::found(const Expr &e, const std::string &id) {
  ++work_;
  return regexec(&e.re, id.c_str(), 0, nullptr, 0) == 0;
}

const std::string &DatalinkFilter::streamId(const SourceTable &sources, uint32_t idx) {
  return slot(sources, idx).id;
}

bool DatalinkFilter::passes(const SourceTable &sources, uint32_t idx) {
  if (idx >= sources.slotCount()) return false;
  Slot &s = slot(sources, idx);
  if (s.verdict < 0) {
    bool ok = !s.id.empty();
    if (ok && match_.set) ok = found(match_, s.id);
    if (ok && reject_.set) ok = !found(reject_, s.id);
    s.verdict = ok ? 1 : 0;
  }
  return s.verdict == 1;
}

int32_t DatalinkFilter::countPassing(const SourceTable &sources) {
  int32_t n = 0;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (sources.live(i) && passes(sources, i)) ++n;
  }
  return n;
}

}  // namespace tarnserver
