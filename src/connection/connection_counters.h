// ConnectionCounters: what one connection has done since the relay started,
// for the status packets: packets and bytes relayed (a reader's taken from
// its source and queued; a writer's delivered, that is acknowledged where
// its server acknowledges), and its writer's dropped packets by cause. The
// reconnections are the adapter's to count (Endpoint::reconnections).
// Every count only grows.
//
// Thread-safety: the connection's thread counts, the status manager reads at
// any time. The packet and byte counts are atomics; the drops by cause are
// guarded by m_mutex, a leaf lock (nothing is taken while it is held).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class ConnectionCounters {
 public:
  void relayed(uint64_t packets, uint64_t bytes) {
    m_packets.fetch_add(packets, std::memory_order_relaxed);
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  }
  // One packet dropped for `cause` (a short word, causeKey()).
  void dropped(const std::string &cause) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_drops[cause];
  }

  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t bytes() const { return m_bytes.load(std::memory_order_relaxed); }
  std::map<std::string, uint64_t> drops() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drops;
  }

  // The word a drop's reason is counted under in the status packets and
  // metrics: "too_large", "refused", "not_miniseed", "bad_records",
  // "bad_source_name", "put_failed", or "other" for a reason none of these
  // fits. The reasons destinations give (endpoint.h, DropReport) begin with
  // the words these are named after.
  static std::string causeKey(const std::string &cause);

 private:
  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  mutable std::mutex m_mutex;
  std::map<std::string, uint64_t> m_drops;
};
