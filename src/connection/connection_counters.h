// ConnectionCounters: what one connection has done since the relay started,
// for the status packets: packets and bytes relayed (a reader's taken from
// its source and queued; a writer's delivered, that is acknowledged where
// its server acknowledges), its writer's dropped packets by cause and its
// reader's rejected packets by cause. The reconnections are the adapter's to
// count (Endpoint::reconnections). Every count only grows.
//
// It also keeps the latest refusal of a writer's packets by its server (a
// tarn server's writers rule, a JetStream stream): while refusals keep
// coming (the last less than kRefusalFaultSeconds ago) the connection is
// faulty, with the reason and the time of the first refusal of the episode.
//
// Thread-safety: the connection's thread counts, the status manager reads at
// any time. The packet and byte counts are atomics; the drops and rejects by
// cause and the refusals are guarded by m_mutex, a leaf lock (nothing is
// taken while it is held).
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

  // One packet a reader refused for `cause` (rejectKey()).
  void rejected(const std::string &cause) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_rejects[cause];
  }
  // The server refused a packet at `now` (epoch seconds), saying `why`.
  void refused(const std::string &why, double now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_refusedWhy.empty() || now - m_lastRefusal >= kRefusalFaultSeconds) m_firstRefusal = now;
    m_refusedWhy = why;
    m_lastRefusal = now;
  }
  // The refusal fault at `now`: its reason ("" when there is none) and since
  // when.
  std::string refusalFault(double now, double &since) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_refusedWhy.empty() || now - m_lastRefusal >= kRefusalFaultSeconds) return "";
    since = m_firstRefusal;
    return m_refusedWhy;
  }

  uint64_t packets() const { return m_packets.load(std::memory_order_relaxed); }
  uint64_t bytes() const { return m_bytes.load(std::memory_order_relaxed); }
  std::map<std::string, uint64_t> drops() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drops;
  }
  std::map<std::string, uint64_t> rejects() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rejects;
  }

  // The word a drop's reason is counted under in the status packets and
  // metrics: "too_large", "refused", "not_miniseed", "bad_records",
  // "bad_source_name", "put_failed", or "other" for a reason none of these
  // fits. The reasons destinations give (endpoint.h, DropReport) begin with
  // the words these are named after.
  static std::string causeKey(const std::string &cause);

  static constexpr double kRefusalFaultSeconds = 60.0;

 private:
  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  mutable std::mutex m_mutex;
  std::map<std::string, uint64_t> m_drops;
  std::map<std::string, uint64_t> m_rejects;
  std::string m_refusedWhy;  // the latest refusal's reason
  double m_firstRefusal = 0.0, m_lastRefusal = 0.0;
};
