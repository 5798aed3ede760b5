#include "config/relay_config.h"

#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "platform/elog/elog.h"
#include "platform/time/epochtime.h"

RelayConfig *RelayCnf = nullptr;

RelayConfig::RelayConfig() : logMgr(std::make_unique<RelayLogMgr>()) {}

RelayConfig::~RelayConfig() = default;

void RelayConfig::configure(int argc, char **argv) {
  starttime = std_now();
  elog_init(argc, argv);
  // The command line and the parameter file are read here next; until then
  // the relay runs with the defaults and without a statefile.
  stateMgr = std::make_unique<RelayStateMgr>("");
}

// ---- Global settings ----

int RelayConfig::getInt(const std::string &key) {
  if (key == "shutdown_grace_period_sec") return shutdown_grace_period_sec;
  logMgr->elog_die("Unexpected internal error: no key '" + key + "' in RelayConfig::getInt()");
}

double RelayConfig::getDouble(const std::string &key) {
  if (key == "internal_timeout_sec") return internal_timeout_sec;
  if (key == "starttime") return starttime;
  logMgr->elog_die("Unexpected internal error: no key '" + key + "' in RelayConfig::getDouble()");
}

// ---- Thread-name registry ----

void RelayConfig::nameThread(const std::string &name) {
  std::lock_guard<std::mutex> lock(threadNamesMutex);
  threadNames.emplace(std::this_thread::get_id(), name);
  int length = static_cast<int>(name.size());
  if (threadLabelWidth < length) threadLabelWidth = length;
}

std::string RelayConfig::getMyThreadName() {
  std::lock_guard<std::mutex> lock(threadNamesMutex);
  auto found = threadNames.find(std::this_thread::get_id());
  return found == threadNames.end() ? std::string() : found->second;
}

std::string RelayConfig::getMyThreadLabel() {
  std::lock_guard<std::mutex> lock(threadNamesMutex);
  auto found = threadNames.find(std::this_thread::get_id());
  std::string name = found == threadNames.end() ? std::string() : found->second;
  int padding = threadLabelWidth - static_cast<int>(name.size());
  return "Thread " + std::string(padding > 0 ? padding : 0, ' ') + "'" + name + "'";
}
