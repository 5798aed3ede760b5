#include "tools/trace_reader.h"

#include <regex.h>

#include <cstdlib>
#include <utility>

#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/time/epochtime.h"

namespace tarntool {
namespace {

// Whether the server, which matches "^(expression)$", takes it.
bool compiles(const std::string &expression, std::string &why) {
  regex_t re;
  int rc = regcomp(&re, ("^(" + expression + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char text[256];
    regerror(rc, &re, text, sizeof text);
    why = text;
    return false;
  }
  regfree(&re);
  return true;
}

}  // namespace

std::string traceExpression(const std::vector<std::string> &patterns, std::string &why) {
  std::string all;
  for (const std::string &p : patterns) {
    if (p.empty() || !compiles(p, why)) {
      if (p.empty()) why = "empty expression";
      why = "'" + p + "': " + why;
      return "";
    }
    all += (all.empty() ? "(" : "|(") + p + ")";
  }
  if (!compiles(all, why)) return "";  // a pattern that opens what another closes
  return all;
}

TraceReader::TraceReader(std::string tarn, std::string expression, TraceStore &store)
    : tarn_(std::move(tarn)), expression_(std::move(expression)), store_(store) {}

TraceReader::~TraceReader() {
  if (fd_ >= 0) tarnclose(fd_);
  std::free(buf_);
}

bool TraceReader::connect() {
  fd_ = tarnopen(tarn_.c_str(), "r&");
  if (fd_ < 0) return false;
  tarnselect(fd_, expression_.c_str());  // applied once connected again, when it failed
  // With nothing from then on, the next packet that arrives comes first.
  tarnafter(fd_, std_now() - store_.limits().windowSeconds - kLookbackMargin);
  return true;
}

bool TraceReader::step(double wait) {
  if (fd_ < 0 && !connect()) return false;
  char src[64];
  int id, n;
  double t;
  for (int i = 0; i < kMaxBatch; ++i) {
    if (tarnreap_timeout(fd_, i == 0 ? wait : 0.0, &id, src, &t, &buf_, &n, &bufsize_) != 0) break;
    if (mseed::isMseedSourceName(src))
      store_.addPacket(src, buf_, static_cast<size_t>(n), std_now());
  }
  return true;
}

}  // namespace tarntool
