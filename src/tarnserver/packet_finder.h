// Finding the packet a position request names (the newest or oldest packet a
// client's expressions deliver, or the oldest whose time is at or after a
// given time) from the ring's indexes instead of walking its packets:
//  - newest and oldest look at each source's newest or oldest packet;
//  - "at or after a time" leaves out the sources whose latest time is too
//    early, then either follows the packets of the remaining sources one by
//    one (when they are few) or walks the ring by blocks, skipping every
//    block whose latest time is too early.
// Every answer is the one a walk over the whole ring would give. work()
// counts the sources, blocks and packets looked at, so that the caller can
// share its time fairly between clients.
// Not thread-safe: made for one request, on the server's event thread.
#pragma once

#include <cstdint>

#include "tarnserver/packet_filter.h"
#include "tarnserver/ring.h"

namespace tarnserver {

class PacketFinder {
 public:
  PacketFinder(const Ring &ring, PacketFilter &filter) : ring_(ring), filter_(filter) {}

  // Each returns a sequence number, or kNoSeq when there is no such packet.
  uint64_t newest();
  uint64_t oldest();
  // NaN matches no packet, as no time compares >= NaN.
  uint64_t firstAtOrAfter(double time);

  uint64_t work() const { return work_; }

 private:
  bool passes(uint32_t idx);
  uint64_t followSources(double time);
  uint64_t walkBlocks(double time);

  const Ring &ring_;
  PacketFilter &filter_;
  uint64_t work_ = 0;
};

}  // namespace tarnserver
