#include "tarnserver/source_table.h"

namespace tarnserver {

uint32_t SourceTable::add(std::string_view name, double time) {
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
  if (++s.count == 1 || time > s.newestTime) s.newestTime = time;
  return idx;
}

void SourceTable::release(uint32_t idx) {
  Source &s = slots_[idx];
  if (s.count == 0) return;
  if (--s.count > 0) return;
  index_.erase(s.name);
  s.name.clear();
  s.newestTime = 0.0;
  free_.push_back(idx);
}

}  // namespace tarnserver
