// DroppedPackets: a writer's record of the packets its destination dropped.
// The first packet of each source name and cause is logged with its name,
// time and size and why; later ones of the same name and cause are only
// counted. The writer's end report gives the counts by cause; the
// connection's counters (which the status manager reads) count them by
// cause word too.
//
// Thread-safety: used by the writer's thread alone (the counters guard
// themselves).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "connection/connection_counters.h"
#include "connection/endpoint.h"

class RelayLog;

class DroppedPackets : public DropReport {
 public:
  DroppedPackets(std::string connection, RelayLog &log, ConnectionCounters &counters)
      : m_connection(std::move(connection)), m_log(log), m_counters(counters) {}

  void dropped(const std::string &srcname, double time, long bytes, const std::string &cause,
               const std::string &detail) override;

  uint64_t total() const { return m_total; }
  // The counts by cause: "2 too large for ..., 1 not miniSEED"; empty when
  // none was dropped.
  std::string summary() const;

 private:
  const std::string m_connection;
  RelayLog &m_log;
  ConnectionCounters &m_counters;
  std::map<std::string, uint64_t> m_byCause;
  std::set<std::pair<std::string, std::string>> m_said;  // (source name, cause)
  uint64_t m_total = 0;
};
