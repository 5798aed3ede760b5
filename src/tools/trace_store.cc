#include "tools/trace_store.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "platform/mseed/mseed_record.h"

namespace tarntool {
namespace {

using Json = nlohmann::ordered_json;

constexpr double kGapIntervals = 1.5;      // a longer step between samples is a gap
constexpr double kOverlapIntervals = 0.5;  // records closer than this overlap
constexpr double kRateTolerance = 1e-6;    // relative: rates closer than this are one rate

// Integral values as integers (counts are), others as numbers.
Json sampleJson(float v) {
  double d = v;
  if (std::floor(d) == d && std::fabs(d) < 9e15) return static_cast<int64_t>(d);
  return d;
}

bool sameRate(double a, double b) { return std::fabs(a - b) <= kRateTolerance * std::max(a, b); }

std::string codesOf(const mseed::Record &r) {
  return r.network + "." + r.station + "." + r.location + "." + r.channel;
}

// Whether the packet's source name names the record's stream.
bool namesRecord(const std::string &srcname, const mseed::Record &r) {
  std::string net, sta, loc, chan;
  return mseed::parseSourceName(srcname, net, sta, loc, chan) && net == r.network &&
         sta == r.station && loc == r.location && chan == r.channel;
}

}  // namespace

TraceStore::TraceStore(TraceLimits limits) : limits_(limits) {}

void TraceStore::addPacket(const std::string &srcname, const char *bytes, size_t n, double now) {
  // The records one at a time, so that one that does not check leaves the
  // others to be drawn.
  for (size_t offset = 0; offset < n;) {
    int length = mseed::recordLength(bytes + offset, n - offset);
    size_t size = length > 0 ? std::min(static_cast<size_t>(length), n - offset) : n - offset;
    std::vector<double> samples;
    std::vector<mseed::Record> records;
    std::string why = mseed::decode(bytes + offset, size, samples, &records);
    if (why.empty() && !namesRecord(srcname, records.at(0)))
      why = "a record of " + codesOf(records[0]);
    if (!why.empty()) {
      // The decoder names the record by its offset in what it was given.
      std::string at = "record at byte ";
      if (why.compare(0, at.size(), at) == 0) why = why.substr(why.find(": ") + 2);
      addBad(srcname, "record at byte " + std::to_string(offset) + ": " + why);
    } else {
      const mseed::Record &r = records[0];
      addRecord(srcname, r.start, r.sampleRate, std::vector<float>(samples.begin(), samples.end()),
                now);
    }
    if (length <= 0) break;  // no record header: the rest cannot be told apart
    offset += size;
  }
}

TraceStore::Stream *TraceStore::stream(const std::string &name) {
  auto it = streams_.find(name);
  if (it != streams_.end()) return &it->second;
  if (streams_.size() >= limits_.maxStreams) {
    if (leftOut_.size() < kMaxLeftOut) leftOut_.insert(name);
    return nullptr;
  }
  return &streams_[name];
}

void TraceStore::addRecord(const std::string &name, double start, double rate,
                           std::vector<float> samples, double now) {
  if (samples.empty() || !std::isfinite(start) || !std::isfinite(rate) || rate <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Stream *s = stream(name);
  if (!s) return;
  Block b{start, rate, std::move(samples)};
  double last = b.last();
  if (!s->seen || last > s->newest) {
    s->seen = true;
    s->newest = last;
    s->rate = rate;
  }
  double from = std::max(now, s->newest) - limits_.windowSeconds;
  if (last < from) return trim(*s, now);  // only its time counts
  double margin = kOverlapIntervals / rate;
  auto next = s->blocks.lower_bound(start);
  bool repeat = next != s->blocks.end() && next->second.start - margin <= last;
  if (next != s->blocks.begin() && std::prev(next)->second.last() + margin > start) repeat = true;
  if (repeat) {
    ++s->repeated;
    return;
  }
  ++s->records;
  s->samples += b.samples.size();
  s->blocks.emplace_hint(next, start, std::move(b));
  trim(*s, now);
}

void TraceStore::addBad(const std::string &name, const std::string &why) {
  std::lock_guard<std::mutex> lock(mutex_);
  Stream *s = stream(name);
  if (!s) return;
  ++s->bad;
  s->problem = why;
}

void TraceStore::trim(Stream &s, double now) const {
  double from = std::max(now, s.newest) - limits_.windowSeconds;
  while (!s.blocks.empty()) {
    const Block &first = s.blocks.begin()->second;
    if (first.last() >= from && s.samples <= limits_.maxSamplesPerStream) break;
    s.samples -= first.samples.size();
    s.blocks.erase(s.blocks.begin());
  }
}

size_t TraceStore::sampleCount(const std::string &name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = streams_.find(name);
  return it == streams_.end() ? 0 : it->second.samples;
}

Json TraceStore::toJson(double now, int columns, const std::vector<std::string> &patterns) const {
  columns = std::clamp(columns, kMinColumns, kMaxColumns);
  double from = now - limits_.windowSeconds;
  double step = limits_.windowSeconds / columns;
  Json doc;
  doc["time"] = now;
  doc["patterns"] = patterns;
  doc["window_seconds"] = limits_.windowSeconds;
  doc["from"] = from;
  doc["columns"] = columns;
  doc["column_seconds"] = step;
  doc["streams"] = Json::array();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &[name, s] : streams_)
    doc["streams"].push_back(streamJson(name, s, now, from, step, columns));
  doc["streams_left_out"] = leftOut_.size();
  return doc;
}

Json TraceStore::streamJson(const std::string &name, const Stream &s, double now, double from,
                            double step, int columns) const {
  Json j;
  j["name"] = name;
  j["sample_rate"] = s.seen ? Json(s.rate) : Json(nullptr);
  j["newest_sample_time"] = s.seen ? Json(s.newest) : Json(nullptr);
  j["newest_sample_age_seconds"] = s.seen ? Json(now - s.newest) : Json(nullptr);
  j["records"] = s.records;
  j["repeated_records"] = s.repeated;
  j["bad_records"] = s.bad;
  j["problem"] = s.problem.empty() ? Json(nullptr) : Json(s.problem);
  j["segments"] = Json::array();

  // The samples on the axis, a segment at a time.
  std::vector<double> times;
  std::vector<float> values;
  double rate = 0;
  auto column = [&](double t) {
    return std::clamp(static_cast<int>(std::floor((t - from) / step)), 0, columns - 1);
  };
  auto flush = [&] {
    if (values.empty()) return;
    Json seg;
    seg["start"] = times.front();
    seg["end"] = times.back();
    seg["sample_rate"] = rate;
    seg["sample_count"] = values.size();
    int first = column(times.front()), spanned = column(times.back()) - first + 1;
    if (values.size() <= 2 * static_cast<size_t>(spanned)) {
      Json samples = Json::array();
      for (float v : values) samples.push_back(sampleJson(v));
      seg["samples"] = std::move(samples);
    } else {
      std::vector<std::pair<float, float>> range(
          spanned,
          {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()});
      for (size_t i = 0; i < values.size(); ++i) {
        auto &[lo, hi] = range[column(times[i]) - first];
        lo = std::min(lo, values[i]);
        hi = std::max(hi, values[i]);
      }
      Json pairs = Json::array();
      for (const auto &[lo, hi] : range) {
        if (lo > hi)
          pairs.push_back(nullptr);  // a column between two of its samples
        else
          pairs.push_back(Json::array({sampleJson(lo), sampleJson(hi)}));
      }
      seg["column"] = first;
      seg["minmax"] = std::move(pairs);
    }
    j["segments"].push_back(std::move(seg));
    times.clear();
    values.clear();
  };

  double previousLast = 0;
  bool any = false;
  for (const auto &[start, b] : s.blocks) {
    if (any && (!sameRate(b.rate, rate) || b.start - previousLast > kGapIntervals / rate)) flush();
    any = true;
    rate = b.rate;
    previousLast = b.last();
    double firstIndex = std::max(0.0, std::ceil((from - b.start) * b.rate));
    double lastIndex =
        std::min(static_cast<double>(b.samples.size() - 1), std::floor((now - b.start) * b.rate));
    for (double i = firstIndex; i <= lastIndex; ++i) {
      times.push_back(b.start + i / b.rate);
      values.push_back(b.samples[static_cast<size_t>(i)]);
    }
  }
  flush();
  return j;
}

}  // namespace tarntool
