// DroppedPackets: a writer's record of the packets its destination dropped.
// The first packet of each source name and cause is logged with its name,
// time and size and why; later ones of the same name and cause are only
// counted. The writer's end report gives the counts by cause.
//
// Thread-safety: used by the writer's thread alone.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "connection/endpoint.h"

class RelayLog;

class DroppedPackets : public DropReport {
 public:
  DroppedPackets(std::string connection, RelayLog &log)
      : m_connection(std::move(connection)), m_log(log) {}

  void dropped(const std::string &srcname, double time, long bytes, const std::string &cause,
               const std::string &detail) override;

  uint64_t total() const { return m_total; }
  // The counts by cause: "2 too large for ..., 1 not miniSEED"; empty when
  // none was dropped.
  std::string summary() const;

 private:
  const std::string m_connection;
  RelayLog &m_log;
  std::map<std::string, uint64_t> m_byCause;
  std::set<std::pair<std::string, std::string>> m_said;  // (source name, cause)
  uint64_t m_total = 0;
};
