#include "tarnserver/source_table.h"

#include <limits>

namespace tarnserver {

uint32_t SourceTable::add(std::string_view name, double time, uint64_t seq, uint64_t &previous) {
  auto it = index_.find(name);
  uint32_t idx;
  if (it != index_.end()) {
    idx = it->second;
  } else {
    if (!free_.empty()) {
      idx = free_.back();
      free_.pop_back();
      ++generation_;
    } else {
      idx = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    }
    slots_[idx].name.assign(name);
    index_.emplace(slots_[idx].name, idx);
  }
  Source &s = slots_[idx];
  previous = s.count == 0 ? kNoSeq : s.newestSeq;
  if (++s.count == 1) {
    s.newestTime = time;
    s.maxTime = -std::numeric_limits<double>::infinity();
    s.oldestSeq = seq;
  } else if (time > s.newestTime || s.newestTime != s.newestTime) {
    s.newestTime = time;
  }
  if (time > s.maxTime) s.maxTime = time;
  s.newestSeq = seq;
  s.arrival = arrivalTime_;
  return idx;
}

void SourceTable::release(uint32_t idx, uint64_t next) {
  Source &s = slots_[idx];
  if (s.count == 0) return;
  s.oldestSeq = next;
  if (--s.count > 0) return;
  index_.erase(s.name);
  s.name.clear();
  s.newestTime = 0.0;
  s.oldestSeq = s.newestSeq = kNoSeq;
  free_.push_back(idx);
}

}  // namespace tarnserver
