// The times DataLink gives the ring's packets, as hptimes (integer
// microseconds since the epoch): a packet's time is its arrival in the ring
// (its data start when the ring does not know it: a packet recovered from a
// ring file); its data start is the tarn packet time; its data end is its
// last record's last sample for miniSEED, else the data start.
// Thread-safety: free functions; the ring is read on the server's thread.
#pragma once

#include <cstdint>
#include <string>

#include "tarnserver/ring.h"

namespace tarnserver {

struct PacketTimes {
  int64_t packetTime = 0;
  int64_t dataStart = 0;
  int64_t dataEnd = 0;
};

// Seconds as an hptime, rounded; 0 for a time that has none (NaN, or out
// of range).
int64_t hptimeOf(double seconds);
// The times of packet `seq`, which the ring holds and is not a hole.
PacketTimes packetTimes(const Ring &ring, uint64_t seq);
// "YYYY-MM-DD hh:mm:ss.ffffff" (UTC), as DataLink's INFO answers write times.
std::string hptimeText(int64_t hptime);

}  // namespace tarnserver
