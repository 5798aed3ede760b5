#include "tarnserver/packet_finder.h"

#include <algorithm>

namespace tarnserver {

namespace {
// Following each source's packets is chosen when they number at most this
// fraction of the ring; past it, walking by blocks costs less.
constexpr uint64_t kFollowShare = 16;
}  // namespace

bool PacketFinder::passes(uint32_t idx) {
  ++work_;
  return ring_.sources().live(idx) && filter_.passes(ring_.sources(), idx);
}

uint64_t PacketFinder::newest() {
  if (ring_.empty()) return kNoSeq;
  if (filter_.all()) return ring_.newestSeq();
  uint64_t best = kNoSeq;
  const SourceTable &sources = ring_.sources();
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (!passes(i)) continue;
    uint64_t seq = sources.at(i).newestSeq;
    if (best == kNoSeq || seq > best) best = seq;
  }
  return best;
}

uint64_t PacketFinder::oldest() {
  if (ring_.empty()) return kNoSeq;
  if (filter_.all()) return ring_.oldestSeq();
  uint64_t best = kNoSeq;
  const SourceTable &sources = ring_.sources();
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (passes(i)) best = std::min(best, sources.at(i).oldestSeq);
  }
  return best;
}

uint64_t PacketFinder::firstAtOrAfter(double time) {
  if (ring_.empty() || time != time) return kNoSeq;
  if (filter_.all()) return walkBlocks(time);
  uint64_t candidates = 0;
  const SourceTable &sources = ring_.sources();
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (passes(i) && sources.at(i).maxTime >= time) candidates += sources.at(i).count;
  }
  if (candidates == 0) return kNoSeq;
  return candidates <= ring_.count() / kFollowShare ? followSources(time) : walkBlocks(time);
}

// The first packet at or after `time` of each source that may have one; the
// earliest of them. A source's packets are followed only while they come
// before the best found so far.
uint64_t PacketFinder::followSources(double time) {
  uint64_t best = kNoSeq;
  const SourceTable &sources = ring_.sources();
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (!sources.live(i) || !(sources.at(i).maxTime >= time) || !filter_.passes(sources, i))
      continue;
    for (uint64_t seq = sources.at(i).oldestSeq; seq != kNoSeq && seq < best;
         seq = ring_.nextOfSource(seq)) {
      ++work_;
      if (ring_.timeOf(seq) >= time) {
        best = seq;
        break;
      }
    }
  }
  return best;
}

uint64_t PacketFinder::walkBlocks(double time) {
  const uint64_t next = ring_.nextSeq();
  uint64_t seq = ring_.oldestSeq();
  while (seq < next) {
    ++work_;
    uint64_t blockEnd = std::min(next, (seq / Ring::kTimeBlock + 1) * Ring::kTimeBlock);
    if (ring_.blockMaxTime(seq) < time) {
      seq = blockEnd;
      continue;
    }
    for (; seq < blockEnd; ++seq) {
      ++work_;
      if (ring_.timeOf(seq) >= time && filter_.passes(ring_.sources(), ring_.sourceOf(seq)))
        return seq;
    }
  }
  return kNoSeq;
}

}  // namespace tarnserver
