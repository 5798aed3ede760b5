// RelayConfigInspector: the tests' way into RelayConfig's settings and
// registries, which only the command line and the parameter file set
// otherwise (RelayConfig names it a friend).
//
// An inspector made with a configuration reads that one; the static setters
// change the process's configuration (RelayCnf), which must exist. Not for
// use while other threads read the configuration.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/relay_config.h"

class RelayConfigInspector {
 public:
  explicit RelayConfigInspector(RelayConfig &c) : config(c) {}

  // ---- What the command line set ----
  double legacyStart() const { return config.m_legacyStart; }
  double legacyEnd() const { return config.m_legacyEnd; }
  std::string tarnin() const { return config.m_tarnin ? config.m_tarnin : "(none)"; }
  std::string tarnout() const { return config.m_tarnout ? config.m_tarnout : "(none)"; }
  std::string match() const { return config.m_match ? config.m_match : "(none)"; }
  std::string pfname() const { return config.m_pfname; }
  int verbosity() const { return config.m_verbosity; }

  // ---- The registries ----
  bool hasQueue(const std::string &name) const { return config.m_queues.count(name) > 0; }
  std::size_t queueCount() const { return config.m_queues.size(); }
  std::vector<std::string> namesUsed() const { return config.m_namesUsed; }

  // ---- Settings of RelayCnf ----
  static void setInternalTimeout(double seconds) { RelayCnf->m_internalTimeout = seconds; }
  static void setTargetName(const std::string &name) { RelayCnf->m_targetName = name; }
  // Makes the registered queue `name` the log queue ("": none), as the
  // parameter file's log_create does.
  static void setLogQueueName(const std::string &name) {
    RelayCnf->m_logQueueName = name;
    RelayCnf->updateLogSink();
  }

 private:
  RelayConfig &config;
};
