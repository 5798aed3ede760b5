// The recent past of the numbers `tarn monitor` plots: named series of
// (time, value) points over the last hour, in buckets of 15 seconds. A
// bucket keeps the largest value put into it, so that a short peak of
// latency or queue depth still shows; its time is the newest put into it.
// Memory is bounded: at most span / bucket points per series, and a series
// with nothing in the span is forgotten by prune().
//
// Thread-safety: safe for concurrent use; one mutex guards the series.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

namespace tarntool {

class History {
 public:
  explicit History(double spanSeconds = 3600.0, double bucketSeconds = 15.0);

  // Adds a point. A point older than the series' newest bucket, or not a
  // finite number, is left out.
  void add(const std::string &series, double time, double value);

  // The points of a series from `now` - span on, oldest first, as
  // [[time, value], ...]; an empty array for a series it does not have.
  nlohmann::json points(const std::string &series, double now) const;

  // Forgets the series with no point after `now` - span.
  void prune(double now);

  size_t seriesCount() const;

 private:
  using Points = std::deque<std::pair<double, double>>;

  const double span_;
  const double bucket_;
  mutable std::mutex mutex_;
  std::map<std::string, Points> series_;  // guarded by mutex_
};

}  // namespace tarntool
