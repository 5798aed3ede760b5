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
  double legacyStart() const { return config.legacy_starttime; }
  double legacyEnd() const { return config.legacy_endtime; }
  std::string tarnin() const { return config.tarnin ? config.tarnin : "(none)"; }
  std::string tarnout() const { return config.tarnout ? config.tarnout : "(none)"; }
  std::string match() const { return config.match ? config.match : "(none)"; }
  std::string pfname() const { return config.pfname; }
  int verbosity() const { return config.verbosity; }

  // ---- The registries ----
  bool hasQueue(const std::string &name) const { return config.queues.count(name) > 0; }
  std::size_t queueCount() const { return config.queues.size(); }
  std::vector<std::string> namesUsed() const { return config.names_used; }

  // ---- Settings of RelayCnf ----
  static void setInternalTimeout(double seconds) { RelayCnf->internal_timeout_sec = seconds; }
  static void setTargetName(const std::string &name) { RelayCnf->targetname = name; }
  // Makes the registered queue `name` the log queue ("": none), as the
  // parameter file's log_create does.
  static void setLogQueueName(const std::string &name) {
    RelayCnf->log_queue_name = name;
    RelayCnf->updateLogSink();
  }

 private:
  RelayConfig &config;
};
