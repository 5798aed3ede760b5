// The sources present in a ring: one entry per source name with its packet
// count, newest time and the sequence numbers of its oldest and newest
// packets and when its newest packet arrived, so that select/reject can
// count sources, stat can list them (with their latencies) and
// positioning can find a source's packets without walking the ring.
//
// A source whose last packet leaves the ring frees its slot, and a later new
// source may take that slot; every such reuse bumps generation(), so that
// per-client caches keyed by slot (PacketFilter) know to start again.
// Not thread-safe: the server uses it from its one event thread.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnserver {

constexpr uint64_t kNoSeq = UINT64_MAX;

struct Source {
  std::string name;
  uint64_t count = 0;       // packets of this source in the ring; 0 = slot free
  double newestTime = 0.0;  // the latest packet time seen while it had packets
  // The same, never NaN (-inf while every time was NaN): no packet of the
  // source in the ring has a later time.
  double maxTime = -std::numeric_limits<double>::infinity();
  uint64_t oldestSeq = kNoSeq;  // its oldest packet in the ring
  uint64_t newestSeq = kNoSeq;  // its newest packet in the ring
  double arrival = 0.0;         // when its newest packet came (epoch seconds); 0: not known
};

class SourceTable {
 public:
  // The slot of `name`, created if needed; counts packet `seq` (newer than
  // every packet counted before). `previous` receives the source's newest
  // packet before this one, or kNoSeq.
  uint32_t add(std::string_view name, double time, uint64_t seq, uint64_t &previous);
  // Counts the source's oldest packet out; `next` is its next packet (kNoSeq
  // when it was the last). Frees the slot at zero.
  void release(uint32_t idx, uint64_t next);

  const Source &at(uint32_t idx) const { return slots_[idx]; }
  uint32_t slotCount() const { return static_cast<uint32_t>(slots_.size()); }
  bool live(uint32_t idx) const { return slots_[idx].count > 0; }
  size_t liveCount() const { return index_.size(); }
  uint64_t generation() const { return generation_; }
  // The time add() notes as a packet's arrival (the server sets it once per
  // turn of its loop; 0, the default, while a ring file is read back).
  void setArrivalTime(double now) { arrivalTime_ = now; }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<Source> slots_;
  std::vector<uint32_t> free_;
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> index_;
  uint64_t generation_ = 0;
  double arrivalTime_ = 0.0;
};

}  // namespace tarnserver
