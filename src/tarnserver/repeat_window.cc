#include "tarnserver/repeat_window.h"

#include <algorithm>
#include <cstring>

namespace tarnserver {

namespace {
constexpr uint64_t kWords = RepeatWindow::kSpan / 64;
}  // namespace

bool RepeatWindow::bit(const Origin &o, uint64_t seq) {
  uint64_t i = seq % kSpan;
  return (o.bits[i / 64] >> (i % 64)) & 1;
}

void RepeatWindow::set(Origin &o, uint64_t seq) {
  uint64_t i = seq % kSpan;
  o.bits[i / 64] |= uint64_t{1} << (i % 64);
}

void RepeatWindow::startAt(Origin &o, uint64_t seq) {
  std::memset(o.bits.get(), 0, kWords * sizeof(uint64_t));
  o.high = seq;
  set(o, seq);
}

RepeatWindow::Origin &RepeatWindow::find(uint64_t origin, bool &fresh) {
  auto it = origins_.find(origin);
  fresh = it == origins_.end();
  if (!fresh) {
    uses_.splice(uses_.begin(), uses_, it->second.use);
    return it->second;
  }
  std::unique_ptr<uint64_t[]> bits;
  if (origins_.size() >= maxOrigins_ && !uses_.empty()) {
    auto last = origins_.find(uses_.back());
    bits = std::move(last->second.bits);  // reused: startAt clears it
    origins_.erase(last);
    uses_.pop_back();
  } else {
    bits = std::make_unique<uint64_t[]>(kWords);
  }
  uses_.push_front(origin);
  Origin &o = origins_[origin];
  o.bits = std::move(bits);
  o.use = uses_.begin();
  return o;
}

bool RepeatWindow::seen(uint64_t origin, uint64_t seq) {
  bool fresh;
  Origin &o = find(origin, fresh);
  if (fresh) {
    startAt(o, seq);
    return false;
  }
  if (seq > o.high) {
    uint64_t ahead = seq - o.high;
    if (ahead >= kSpan) {
      startAt(o, seq);
      return false;
    }
    // Clear the numbers the window moves over: (high, seq].
    for (uint64_t s = o.high + 1; s <= seq;) {
      uint64_t i = s % kSpan;
      if (i % 64 == 0 && seq - s >= 63) {
        o.bits[i / 64] = 0;
        s += 64;
      } else {
        o.bits[i / 64] &= ~(uint64_t{1} << (i % 64));
        ++s;
      }
    }
    o.high = seq;
    set(o, seq);
    return false;
  }
  uint64_t behind = o.high - seq;
  if (behind < kSpan) {
    if (bit(o, seq)) return true;
    set(o, seq);
    return false;
  }
  if (behind > kRestartDistance) startAt(o, seq);
  return false;
}

size_t RepeatWindow::memoryHeld() const {
  constexpr size_t kPerOrigin = kWords * sizeof(uint64_t) + sizeof(Origin) + 4 * sizeof(void *) +
                                3 * sizeof(void *) + sizeof(uint64_t);
  return origins_.size() * kPerOrigin;
}

}  // namespace tarnserver
