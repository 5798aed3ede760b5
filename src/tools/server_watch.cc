#include "tools/server_watch.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/elog/elog.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/time/epochtime.h"

namespace tarntool {
namespace {

constexpr double kReapWait = 5.0;   // for a packet the server said it holds
constexpr int kMaxCatchUp = 20000;  // older reports read per relay at most
constexpr int kMaxFollow = 100000;  // status packets taken in one round at most
const char kAllStatus[] = ".+/pf/st";

// The source name as an extended regular expression that matches only it.
std::string exactly(const std::string &name) {
  std::string expr;
  for (char c : name) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) expr += '\\';
    expr += c;
  }
  return expr;
}

int nextId(int id) { return id == 2147483647 ? 0 : id + 1; }

}  // namespace

std::optional<double> packetRate(const tarnclient::RingFigures &before,
                                 const tarnclient::RingFigures &after, double seconds) {
  if (seconds <= 0 || before.instance != after.instance || after.newestId < 0) return std::nullopt;
  uint64_t arrived = after.packets;  // a ring that was empty: all it holds is new
  if (before.newestId >= 0) {
    arrived = (static_cast<uint32_t>(after.newestId) - static_cast<uint32_t>(before.newestId)) &
              0x7fffffffu;
    if (arrived >= (1u << 30)) return std::nullopt;  // ids went back: not the ring it was
  }
  return static_cast<double>(arrived) / seconds;
}

ServerWatch::ServerWatch(std::string tarn, double lookback)
    : tarn_(std::move(tarn)), lookback_(lookback) {
  state_.tarn = tarn_;
  state_.error = "not asked yet";
}

ServerWatch::~ServerWatch() {
  if (fd_ >= 0) tarnclose(fd_);
  closeFollow();
  std::free(buf_);
}

WatchSnapshot ServerWatch::snapshot() const {
  WatchSnapshot s{state_, {}};
  for (const auto &entry : relays_) s.relays.push_back(entry.second);
  return s;
}

void ServerWatch::poll(std::vector<RelayReport> *fresh) {
  if (fd_ < 0) fd_ = tarnopen(tarn_.c_str(), "r&");
  if (fd_ < 0) return markDown("cannot be reached");
  tarnclient::RingFigures f;
  if (!tarnclient::stat(fd_, f)) return markDown("does not answer");
  takeFigures(f);
  if (!tarnclient::clients(fd_, state_.clients)) return markDown("does not answer");
  if (!caughtUp_) caughtUp_ = catchUp(f, fresh) && startFollowing(f);
  if (caughtUp_) follow(fresh);
}

void ServerWatch::markDown(const std::string &why) {
  state_.up = false;
  state_.error = why;
  state_.packetsPerSecond.reset();
  elog_flush(0, 0);  // the library's own account of it: this state says it once
}

void ServerWatch::takeFigures(const tarnclient::RingFigures &f) {
  Clock::time_point now = Clock::now();
  state_.packetsPerSecond.reset();
  if (state_.answeredAt != 0.0) {
    state_.packetsPerSecond =
        packetRate(state_.figures, f, std::chrono::duration<double>(now - answeredAt_).count());
  }
  state_.figures = f;
  state_.up = true;
  state_.error.clear();
  state_.answeredAt = std_now();
  answeredAt_ = now;
}

// Reads each relay's reports from `lookback_` before its newest one, a
// source at a time. A relay missing from a list the server cut short is
// found once it reports again.
bool ServerWatch::catchUp(const tarnclient::RingFigures &f, std::vector<RelayReport> *fresh) {
  for (const tarnclient::SourceFigures &s : f.sources) {
    if (!statusTarget(s.name).empty() && !readSource(s, fresh)) return false;
  }
  return true;
}

bool ServerWatch::readSource(const tarnclient::SourceFigures &s, std::vector<RelayReport> *fresh) {
  if (tarnselect(fd_, exactly(s.name).c_str()) < 0) return false;
  int newest = tarnposition(fd_, "newest");
  if (newest < 0) return true;  // gone from the ring since the answer
  tarnafter(fd_, s.newestTime - lookback_);
  int id = -1;
  for (int n = 0; n < kMaxCatchUp && id != newest; ++n) {
    if (!reapOne(fresh, &id)) return false;
  }
  if (id == newest) return true;
  // Too many to read them all: the newest one is what matters.
  return tarnseek(fd_, newest) == newest && reapOne(fresh, &id);
}

// From here on every status packet after the ring's newest packet when the
// figures were taken; those read already are told apart by their time.
bool ServerWatch::startFollowing(const tarnclient::RingFigures &f) {
  followFd_ = tarnopen(tarn_.c_str(), "r&");
  if (followFd_ < 0 || tarnselect(followFd_, kAllStatus) < 0) {
    closeFollow();
    return false;
  }
  if (f.newestId < 0 || tarnseek(followFd_, nextId(f.newestId)) < 0)
    tarnposition(followFd_, "oldest");
  return true;
}

void ServerWatch::closeFollow() {
  if (followFd_ >= 0) tarnclose(followFd_);
  followFd_ = -1;
}

void ServerWatch::follow(std::vector<RelayReport> *fresh) {
  char src[64];
  int id, n;
  double t;
  for (int i = 0; i < kMaxFollow; ++i) {
    if (tarnreap_timeout(followFd_, 0.0, &id, src, &t, &buf_, &n, &bufsize_) != 0) return;
    take(src, t, buf_, n, fresh);
  }
}

bool ServerWatch::reapOne(std::vector<RelayReport> *fresh, int *id) {
  char src[64];
  int n;
  double t;
  if (tarnreap_timeout(fd_, kReapWait, id, src, &t, &buf_, &n, &bufsize_) != 0) return false;
  take(src, t, buf_, n, fresh);
  return true;
}

void ServerWatch::take(const char *srcname, double time, const char *bytes, int nbytes,
                       std::vector<RelayReport> *fresh) {
  std::string target = statusTarget(srcname);
  if (target.empty() || !std::isfinite(time)) return;
  RelayState &r = relays_[target];
  if (r.target.empty()) {
    r.target = target;
    r.server = tarn_;
  } else if (time <= r.newestTime) {
    return;  // read already, or older than what is known
  }
  r.newestTime = time;
  RelayReport report;
  if (!parseStatusPacket(srcname, time, bytes, nbytes, report, r.problem)) return;
  r.problem.clear();
  if (r.report && !report.isFinal() && report.runTime > r.report->runTime) {
    r.interval = report.runTime - r.report->runTime;
  }
  r.report = report;
  if (fresh) fresh->push_back(std::move(report));
}

}  // namespace tarntool
