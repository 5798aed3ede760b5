// A tarnserver run for one test: started on 127.0.0.1 with a free port,
// waited for through its ready file, stopped (or killed) at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace tarntest {

class TarnTestServer {
 public:
  // Extra arguments go after "-p 0 -R READYFILE" (e.g. {"-s", "64k"}).
  explicit TarnTestServer(std::vector<std::string> args = {});
  ~TarnTestServer();

  const std::string &name() const { return name_; }
  // HOST:PORT of the SeedLink port (with {"--seedlink", "0"}), else "".
  const std::string &seedlinkName() const { return seedlinkName_; }
  // HOST:PORT of the DataLink port (with {"--datalink", "0"}), else "".
  const std::string &datalinkName() const { return datalinkName_; }
  bool running() { return proc_ && proc_->running(); }
  // Ends the server with SIGTERM and waits; its exit status.
  int stop();
  void kill();  // SIGKILL, as a crash would
  // Starts it again with the same arguments on the same ports.
  void restart();
  // The same, with these extra arguments instead.
  void restart(std::vector<std::string> args) {
    args_ = std::move(args);
    restart();
  }
  std::string log() const { return proc_ ? proc_->err() : ""; }
  int pid() const { return proc_ ? proc_->pid() : -1; }

 private:
  void start(const std::string &port);
  testsupport::TempDir dir_;
  std::vector<std::string> args_;
  std::unique_ptr<testsupport::ChildProcess> proc_;
  std::string name_;
  std::string seedlinkName_;
  std::string datalinkName_;
};

// Puts `n` packets of `size` bytes named src with times base, base+1, ...
// and waits until the server has them all; false on any failure.
bool putPackets(const std::string &tarn, const std::string &src, int n, double base, int size = 16);

}  // namespace tarntest
