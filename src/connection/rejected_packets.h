// RejectedPackets: a reader's record of the packets it refused to pass on
// (too old, too new, not unstuffing where the check is on, not miniSEED
// where miniSEED is required). The first packet of each source name and
// cause is logged with why; later ones of the same name and cause are only
// counted, in the connection's counters by cause (what status packets
// show). With `quiet` nothing is logged, and everything still counted.
//
// Thread-safety: used by the reader's thread alone (the counters guard
// themselves).
#pragma once

#include <set>
#include <string>
#include <utility>

#include "connection/connection_counters.h"
#include "connection/endpoint.h"

class RelayLog;

class RejectedPackets : public RejectReport {
 public:
  RejectedPackets(std::string connection, RelayLog &log, ConnectionCounters &counters)
      : m_connection(std::move(connection)), m_log(log), m_counters(counters) {}

  void rejected(const std::string &srcname, const std::string &cause, const std::string &line,
                bool quiet) override;

 private:
  const std::string m_connection;
  RelayLog &m_log;
  ConnectionCounters &m_counters;
  std::set<std::pair<std::string, std::string>> m_said;  // (source name, cause)
};
