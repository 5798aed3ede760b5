// Helpers for tests that run the relay between real tarn servers: the relay
// as a child process with its parameter file, and the packets a server holds
// as `tarn tail --json` reports them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "relay_pf.h"
#include "tarn_test_server.h"

namespace e2e {

// One packet as `tarn tail --json [--unstuff]` prints it.
struct Packet {
  long pktid = -1;
  std::string srcname;
  double time = 0;
  long nbytes = 0;
  std::string crc32;
  bool unstuffs = true;  // only meaningful when read with --unstuff

  // What a relay must carry unchanged: everything but the id, which the
  // destination assigns.
  std::string identity() const;
};

// Every packet the server holds, oldest first; extra arguments go to
// `tarn tail` (e.g. {"--unstuff"} or {"-m", "A.*"}).
std::vector<Packet> packetsOn(const std::string &tarn, const std::vector<std::string> &extra = {});

// The identities of the packets, in order.
std::vector<std::string> identities(const std::vector<Packet> &packets);

// Only the packets whose source name starts with `prefix`.
std::vector<Packet> withPrefix(const std::vector<Packet> &packets, const std::string &prefix);

// Runs `tarn gen TARN` with the arguments to its end; true on exit status 0.
bool gen(const std::string &tarn, const std::vector<std::string> &args);

// A port on 127.0.0.1 that nothing listens on just now.
int freePort();

// Number of times `needle` occurs in `text`.
int countOf(const std::string &text, const std::string &needle);

// The relay run with a parameter file written into a temporary folder.
class Relay {
 public:
  // `flags` go after "-p PF" (e.g. {"-v"}).
  Relay(const testsupport::RelayPf &pf, const std::vector<std::string> &flags = {"-v"});
  ~Relay();

  // Standard output and standard error together.
  std::string output() const;
  // Waits until `needle` appears at least `count` times in the output.
  bool waitFor(const std::string &needle, int count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  // SIGTERM, then waits for the end; the exit status (-1 if it did not end).
  int terminate(std::chrono::milliseconds limit = std::chrono::seconds(60));
  testsupport::ChildProcess &process() { return *proc_; }

 private:
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ChildProcess> proc_;
};

// Connection entries.
std::string reader(const std::string &name, const std::string &tarn, const std::string &queue,
                   const std::string &extra = "");
std::string writer(const std::string &name, const std::string &tarn, const std::string &queue,
                   const std::string &extra = "");

// Waits until `tarn` holds at least `count` packets (by a tail of it).
bool waitForCount(const std::string &tarn, size_t count,
                  std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace e2e

namespace e2e {

// The id of the newest packet on the server, or a negative value when it
// holds none (or cannot be reached).
int newestId(const std::string &tarn);

// The times first, first + 1, ... (n of them).
std::vector<double> timesFrom(double first, int n);

// Puts one packet of `size` bytes named `src` at each of the times.
bool putAt(const std::string &tarn, const std::string &src, const std::vector<double> &times,
           int size = 32);

// Waits until the relay has opened `connections` tags and positioned
// `readers` of them.
bool relayReady(const Relay &relay, int connections, int readers);

}  // namespace e2e
