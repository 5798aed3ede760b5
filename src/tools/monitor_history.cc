#include "tools/monitor_history.h"

#include <algorithm>
#include <cmath>

namespace tarntool {

History::History(double spanSeconds, double bucketSeconds)
    : span_(spanSeconds), bucket_(bucketSeconds) {}

void History::add(const std::string &series, double time, double value) {
  if (!std::isfinite(time) || !std::isfinite(value)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Points &p = series_[series];
  double slot = std::floor(time / bucket_);
  if (!p.empty()) {
    double last = std::floor(p.back().first / bucket_);
    if (slot < last) return;
    if (slot == last) {
      p.back().first = std::max(p.back().first, time);
      p.back().second = std::max(p.back().second, value);
      return;
    }
  }
  p.emplace_back(time, value);
  size_t most = static_cast<size_t>(span_ / bucket_) + 1;
  while (!p.empty() && (p.size() > most || p.front().first < time - span_)) p.pop_front();
}

nlohmann::json History::points(const std::string &series, double now) const {
  nlohmann::json out = nlohmann::json::array();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = series_.find(series);
  if (it == series_.end()) return out;
  for (const auto &[time, value] : it->second) {
    if (time >= now - span_) out.push_back({time, value});
  }
  return out;
}

void History::prune(double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = series_.begin(); it != series_.end();) {
    if (it->second.empty() || it->second.back().first < now - span_)
      it = series_.erase(it);
    else
      ++it;
  }
}

size_t History::seriesCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return series_.size();
}

}  // namespace tarntool
