// RelayStatusMgr: the status manager, which reports the health of the relay
// as status packets on the status queue.
//
// Every report interval (truncated to whole seconds; the pause ends early
// once the stop flag is set) its thread builds a parameter-file text
// describing the relay and each named connection, compiles it and pushes it
// as a status packet; after the stop flag it pushes one final report, in
// which every connection shows as stopped (it waits, a few internal time-outs
// and 5 seconds at most, for the connections other than the status queue's writers to end,
// so that its counts are their last), and the queue's end-of-data mark.
// Without a status queue the thread ends at once.
//
// Thread-safety: pfstatus may be called from any thread; it reads the
// connections' properties, which guard themselves.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/relay_context.h"

class RelayConnection;
class RelayQueue;
class TarnPacket;

class RelayStatusMgr {
 public:
  // `queue` may be null (no status packets); `startTime` is when the relay
  // began (epoch seconds), `interval` the seconds between reports.
  RelayStatusMgr(const RelayContext &context,
                 std::vector<std::shared_ptr<RelayConnection>> connections,
                 std::shared_ptr<RelayQueue> queue, double startTime, double interval);

  // One status packet describing the relay now. RelayException with
  // "RelayStatusMgr::pfstatus: pfcompile failed" when the text does not
  // compile, or from the packet when it cannot be made.
  std::shared_ptr<TarnPacket> pfstatus();

  // The text pfstatus compiles, for the run time `runtime` (seconds) and the
  // resident set size `rss`.
  std::string statusText(double runtime, long rss);

  // The status manager thread's body.
  void run();

 private:
  void awaitOthersEnding() const;

  const RelayContext m_context;
  const std::vector<std::shared_ptr<RelayConnection>> m_connections;
  const std::shared_ptr<RelayQueue> m_queue;
  const double m_startTime;
  const double m_interval;
};
