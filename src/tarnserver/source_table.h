// The sources present in a ring: one entry per source name with its packet
// count and newest time, so that select/reject can count sources and stat
// can list them without walking the ring.
//
// A source whose last packet leaves the ring frees its slot, and a later new
// source may take that slot; every such reuse bumps generation(), so that
// per-client caches keyed by slot (PacketFilter) know to start again.
// Not thread-safe: the server uses it from its one event thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnserver {

struct Source {
  std::string name;
  uint64_t count = 0;        // packets of this source in the ring; 0 = slot free
  double newestTime = 0.0;   // the latest packet time seen while it had packets
};

class SourceTable {
 public:
  // The slot of `name`, created if needed; counts one more packet.
  uint32_t add(std::string_view name, double time);
  // Counts one packet of slot `idx` less; frees the slot at zero.
  void release(uint32_t idx);

  const Source &at(uint32_t idx) const { return slots_[idx]; }
  uint32_t slotCount() const { return static_cast<uint32_t>(slots_.size()); }
  bool live(uint32_t idx) const { return slots_[idx].count > 0; }
  size_t liveCount() const { return index_.size(); }
  uint64_t generation() const { return generation_; }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<Source> slots_;
  std::vector<uint32_t> free_;
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> index_;
  uint64_t generation_ = 0;
};

}  // namespace tarnserver
