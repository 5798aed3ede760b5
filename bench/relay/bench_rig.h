// The processes of one benchmark case: the tarn servers on 127.0.0.1 (each
// with a free port and a ring in memory) and the relay between them, with a
// parameter file as a user would write it (every reader with check_unstuff
// true, no max_queue, no status or log packets). A Rig stops everything it
// started when it ends: the relay first, with SIGTERM so that it drains, then
// the servers; every wait is bounded.
//
// Failures: the operations return false (or an empty name) and failure()
// says what went wrong, for the case's row.
// Thread-safety: one thread at a time.
#ifndef BENCH_RELAY_BENCH_RIG_H
#define BENCH_RELAY_BENCH_RIG_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_process.h"

namespace relaybench {

// The relay of a case: every reader pushes onto one queue, every writer
// empties it (so each destination receives every packet).
struct RelayPlan {
  std::vector<std::string> sources;       // tarn names to read
  std::vector<std::string> destinations;  // tarn names to write
  std::string match;                      // readers' match; empty: all
  std::string starttime;                  // readers' starttime; empty: newest
  // JetStream: with natsUrl set, the relay publishes onto the stream
  // instead of writing to `destinations` (toJetStream), or reads the stream
  // instead of `sources` (fromJetStream).
  std::string natsUrl{};
  std::string stream = "BENCH";
  bool toJetStream = false;
  bool fromJetStream = false;
  // With sdsRoot set, one writer puts the packets into an SDS archive there
  // instead of writing to `destinations`.
  std::string sdsRoot{};
  bool checkUnstuff = true;  // the readers'
  // With seedlink set (HOST:PORT), one reader reads that SeedLink server
  // (protocol 4.0, the stations seedlinkSelect) instead of `sources`.
  std::string seedlink{};
  std::string seedlinkSelect{};
};

// The relay's parameter file for a plan.
std::string relayParameterText(const RelayPlan &plan);

class Rig {
 public:
  explicit Rig(std::string label);
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  // Starts a tarnserver whose ring holds `ringBytes` and which takes packets
  // up to `maxPacket` bytes; returns its tarn name once it listens, or "".
  // `extra` arguments go after the others (e.g. --seedlink 127.0.0.1:PORT).
  std::string startServer(uint64_t ringBytes, uint64_t maxPacket,
                          const std::vector<std::string> &extra = {});
  // Starts nats-server with JetStream (its store in the work folder); its
  // URL once it is ready, or "". Counted with the servers.
  std::string startNats();

  // Starts the relay; false when it cannot be started.
  bool startRelay(const RelayPlan &plan);

  // Waits until the relay says that every connection is connected and every
  // reader positioned; false after `limit` seconds or when it ended.
  bool waitRelayReady(double limit);

  // Stops the relay with SIGTERM and waits for its drain (at most a minute).
  Ending stopRelay();

  // The relay's pid while it runs or until stopRelay(), else -1.
  pid_t relayPid() const { return m_relay ? m_relay->pid() : -1; }
  // True while the relay runs (it may have ended by itself).
  bool relayRunning() const;
  // CPU seconds the servers have used so far, all of them together.
  double serversCpuSeconds() const;
  const std::string &failure() const { return m_failure; }
  void fail(const std::string &why);

 private:
  std::string m_label;
  std::vector<std::unique_ptr<ChildProcess>> m_servers;
  std::unique_ptr<ChildProcess> m_relay;
  size_t m_readers = 0, m_writers = 0;
  std::string m_failure;  // the first failure, for the case's row
};

// Waits until each server in `tarns` holds packet id `lastId` (ids count
// from 0). Returns for each the seconds from `start` until it did, or -1 for
// one that did not before `limit` seconds in all, `stall` seconds without a
// new packet on any of them, or `alive` saying false (the relay ended).
std::vector<double> waitForLastIds(const std::vector<std::string> &tarns, int lastId,
                                   Clock::time_point start, double stall, double limit,
                                   const std::function<bool()> &alive);

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_RIG_H
