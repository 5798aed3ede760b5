#include "tarnserver/connection_slots.h"

namespace tarnserver {

ConnectionSlots::Verdict ConnectionSlots::admit(uint32_t addr, bool writer) const {
  size_t limit = writer ? total_ : total_ - reserved_;
  if (count_ >= limit) return Verdict::kServerFull;
  auto it = byAddress_.find(addr);
  if (it != byAddress_.end() && it->second >= perAddress_) return Verdict::kAddressFull;
  return Verdict::kAdmit;
}

void ConnectionSlots::add(uint32_t addr) {
  ++byAddress_[addr];
  ++count_;
}

void ConnectionSlots::remove(uint32_t addr) {
  auto it = byAddress_.find(addr);
  if (it == byAddress_.end()) return;
  if (--it->second == 0) byAddress_.erase(it);
  --count_;
}

}  // namespace tarnserver
