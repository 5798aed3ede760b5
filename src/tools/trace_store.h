// The waveforms `tarn monitor` draws: the last minutes of each chosen
// miniSEED stream, decoded from its packets, and the document /api/traces
// serves them as.
//
// A stream is named by its packets' source name (XX_STA_HHZ_00/MSEED). Each
// record is kept as a block of samples (single-precision floats: exact for
// counts up to 2^24, and only ever drawn) with its start time and sample
// rate, in time order, so that records read out of order, or from two
// servers that both hold the stream, fall into place. A record that
// overlaps one already kept by more than half a sample is a repeat (a
// packet read again after a reconnection, or the copy on a second server):
// it is counted and left out. A record that does not check (mseed::decode)
// is not drawn: it is counted against its stream with the reason, and the
// packet's other records still are drawn.
//
// Memory is bounded: a stream keeps the samples of the window (its
// `windowSeconds` before the later of now and its newest sample) plus the
// record that straddles its start, and never more than
// `maxSamplesPerStream` (the oldest records go first); at most `maxStreams`
// streams are kept, and those found past that are only counted. A stream
// that stops keeps its name, counts and newest time, so that its silence
// shows.
//
// The document's time axis is the window up to now, cut into `columns`
// equal columns (the page asks for one per pixel). Each stream's samples
// come in segments: a new one begins after a gap of more than 1.5 sample
// intervals or where the sample rate changes. A segment with at most two
// samples per column it spans gives its samples; a denser one gives the
// least and the largest sample of each column, so that what is sent does
// not grow with the sample rate.
//
// Thread-safety: safe for concurrent use; one mutex guards everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace tarntool {

struct TraceLimits {
  double windowSeconds = 600.0;
  size_t maxStreams = 64;
  size_t maxSamplesPerStream = size_t{1} << 19;  // 2 MiB of samples
};

class TraceStore {
 public:
  static constexpr int kMinColumns = 10;
  static constexpr int kMaxColumns = 5000;
  static constexpr size_t kMaxLeftOut = 1000;

  explicit TraceStore(TraceLimits limits = {});

  const TraceLimits &limits() const { return limits_; }

  // Takes the records of one packet of `srcname` read at `now`.
  void addPacket(const std::string &srcname, const char *bytes, size_t n, double now);

  // Takes one record's samples: the first at `start`, `rate` a second.
  // Records without samples or without a rate draw nothing.
  void addRecord(const std::string &stream, double start, double rate, std::vector<float> samples,
                 double now);
  // Counts a record of `stream` that does not check.
  void addBad(const std::string &stream, const std::string &why);

  // The document of /api/traces at `now`, the axis cut into `columns`
  // columns (kept between kMinColumns and kMaxColumns). `patterns` are the
  // expressions that chose the streams, shown as they are.
  nlohmann::ordered_json toJson(double now, int columns,
                                const std::vector<std::string> &patterns = {}) const;

  // The samples a stream holds now (0 for a stream it does not have).
  size_t sampleCount(const std::string &stream) const;

 private:
  struct Block {
    double start = 0;
    double rate = 0;
    std::vector<float> samples;
    double last() const { return start + static_cast<double>(samples.size() - 1) / rate; }
  };
  struct Stream {
    std::map<double, Block> blocks;  // by start time
    size_t samples = 0;
    bool seen = false;  // a record with samples was taken
    double newest = 0;  // time of the newest sample seen (when seen)
    double rate = 0;    // of the record with the newest sample
    uint64_t records = 0, repeated = 0, bad = 0;
    std::string problem;  // why the latest record that does not check does not
  };

  // The stream of that name, made when there is room; null when not.
  Stream *stream(const std::string &name);
  void trim(Stream &s, double now) const;
  nlohmann::ordered_json streamJson(const std::string &name, const Stream &s, double now,
                                    double from, double step, int columns) const;

  const TraceLimits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, Stream> streams_;  // guarded by mutex_
  std::set<std::string> leftOut_;  // guarded by mutex_: streams found past the limit, at most
                                   // kMaxLeftOut names
};

}  // namespace tarntool
