#include "tarn_test_server.h"

#include <signal.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/tarnclient/tarnclient.h"

namespace tarntest {

using namespace std::chrono_literals;

TarnTestServer::TarnTestServer(std::vector<std::string> args) : args_(std::move(args)) {
  start("0");
}

TarnTestServer::~TarnTestServer() {
  if (proc_ && proc_->running()) stop();
}

void TarnTestServer::start(const std::string &port) {
  std::string ready = dir_.file("ready");
  std::remove(ready.c_str());
  std::vector<std::string> argv = {testsupport::programPath("tarnserver"), "-p", port, "-R", ready};
  argv.insert(argv.end(), args_.begin(), args_.end());
  proc_ = std::make_unique<testsupport::ChildProcess>(argv);
  bool up = testsupport::waitUntil(
      [&] { return !testsupport::readFile(ready).empty() || !proc_->running(); }, 20s);
  // The tarn name, then "seedlink HOST:PORT" with --seedlink and
  // "datalink HOST:PORT" with --datalink.
  std::istringstream lines(testsupport::readFile(ready));
  std::string line;
  name_.clear();
  while (std::getline(lines, line)) {
    if (line.rfind("seedlink ", 0) == 0) {
      seedlinkName_ = line.substr(9);
    } else if (line.rfind("datalink ", 0) == 0) {
      datalinkName_ = line.substr(9);
    } else if (name_.empty()) {
      name_ = line;
    }
  }
  if (!up || name_.empty()) throw std::runtime_error("tarnserver did not start: " + proc_->err());
}

int TarnTestServer::stop() {
  proc_->signal(SIGTERM);
  return proc_->wait(20s);
}

void TarnTestServer::kill() {
  proc_->signal(SIGKILL);
  proc_->wait(20s);
}

void TarnTestServer::restart() {
  std::string port = name_.substr(name_.rfind(':') + 1);
  for (size_t i = 0; i + 1 < args_.size(); ++i) {  // the same SeedLink and DataLink ports too
    if (args_[i] == "--seedlink" && !seedlinkName_.empty())
      args_[i + 1] = seedlinkName_.substr(seedlinkName_.rfind(':') + 1);
    if (args_[i] == "--datalink" && !datalinkName_.empty())
      args_[i + 1] = datalinkName_.substr(datalinkName_.rfind(':') + 1);
  }
  // The old port may linger for a moment after a kill; retry briefly.
  for (int attempt = 0;; ++attempt) {
    try {
      start(port);
      return;
    } catch (const std::exception &) {
      if (attempt == 50) throw;
      std::this_thread::sleep_for(100ms);
    }
  }
}

bool putPackets(const std::string &tarn, const std::string &src, int n, double base, int size) {
  int fd = tarnopen(tarn.c_str(), "w&");
  if (fd < 0) return false;
  std::string bytes(static_cast<size_t>(size), 'x');
  bool ok = true;
  for (int i = 0; i < n && ok; ++i)
    ok = tarnput(fd, src.c_str(), base + i, bytes.data(), size) == 0;
  return tarnclose(fd) == 0 && ok;
}

}  // namespace tarntest
