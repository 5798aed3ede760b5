#include "tarnserver/datalink_times.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/mseed/mseed_record.h"

namespace tarnserver {

int64_t hptimeOf(double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > 9.0e12) return 0;
  return std::llround(seconds * 1e6);
}

PacketTimes packetTimes(const Ring &ring, uint64_t seq) {
  PacketRef p = ring.packet(seq);
  PacketTimes t;
  t.dataStart = t.dataEnd = hptimeOf(p.time);
  if (mseed::isMseedSourceName(std::string(p.src).c_str())) {
    thread_local std::vector<mseed::Record> records;
    records.clear();
    if (mseed::headers(p.data, p.nbytes, &records).empty())
      t.dataEnd = hptimeOf(records.back().end);
  }
  int64_t arrival = ring.arrivalOf(seq);
  t.packetTime = arrival != 0 ? arrival : t.dataStart;
  return t;
}

std::string hptimeText(int64_t hptime) {
  int64_t seconds = hptime / 1000000, micros = hptime % 1000000;
  if (micros < 0) micros += 1000000, seconds -= 1;
  time_t s = static_cast<time_t>(seconds);
  tm utc{};
  gmtime_r(&s, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long long>(micros));
  return text;
}

}  // namespace tarnserver
