// One tarn server as `tarn status` and `tarn monitor` watch it: its ring
// figures, its packets per second (from two of its answers), and the newest
// report of every relay whose status packets it holds.
//
// Each round (poll) asks the server for its figures and its clients (a
// server that does not list them says so), and reads the status
// packets that arrived since the last round. The first round that reaches
// the server also reads, for each relay, its reports from `lookback` seconds
// before its newest one: so a relay that stopped long ago still shows, with
// its last report, and a monitor starts with the last hour's history. A
// server that cannot be reached is marked down with the reason, and the next
// round tries again (the tarn library mends a lost connection). Status
// packets come on a descriptor of their own, which the server streams to
// between rounds, so that a round takes what arrived without waiting.
//
// A relay's report interval is not in its status packets: it is the
// difference of the run times of its two newest reports of one run.
//
// Thread-safety: a ServerWatch is used by one thread at a time; snapshot()
// returns a copy that may go anywhere.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/tarnclient/tarnclient_internal.h"
#include "tools/status_packet.h"

namespace tarntool {

struct ServerState {
  std::string tarn;                        // the tarn name as given
  bool up = false;                         // its last round reached it
  std::string error;                       // why it is down ("" while up)
  tarnclient::RingFigures figures;         // from its last answer
  std::optional<double> packetsPerSecond;  // from its last two answers
  double answeredAt = 0.0;                 // epoch time of its last answer; 0: never
  tarnclient::ClientList clients;          // its clients, from its last answer (when it lists them)
};

struct RelayState {
  std::string target;
  std::string server;                 // the tarn its reports were read from
  std::optional<RelayReport> report;  // the newest report that reads
  std::optional<double> interval;     // seconds between its two newest reports
  std::string problem;                // why its newest status packet does not read
  double newestTime = 0.0;            // time of its newest status packet, read or not
};

struct WatchSnapshot {
  ServerState server;
  std::vector<RelayState> relays;  // by target
};

// Packets per second between two answers of one server taken `seconds`
// apart: from the packet ids, which go on past restarts of a ring file and
// wrap at 2^31. None when the ring is another one (a server that came back
// without its ring file) or holds nothing.
std::optional<double> packetRate(const tarnclient::RingFigures &before,
                                 const tarnclient::RingFigures &after, double seconds);

class ServerWatch {
 public:
  ServerWatch(std::string tarn, double lookback);
  ~ServerWatch();
  ServerWatch(const ServerWatch &) = delete;
  ServerWatch &operator=(const ServerWatch &) = delete;

  // One round. The reports read in it that are newer than those known are
  // appended to `fresh` (when given), oldest first for each relay.
  void poll(std::vector<RelayReport> *fresh = nullptr);

  const ServerState &server() const { return state_; }
  WatchSnapshot snapshot() const;

 private:
  using Clock = std::chrono::steady_clock;

  void markDown(const std::string &why);
  void takeFigures(const tarnclient::RingFigures &f);
  bool catchUp(const tarnclient::RingFigures &f, std::vector<RelayReport> *fresh);
  bool readSource(const tarnclient::SourceFigures &s, std::vector<RelayReport> *fresh);
  bool startFollowing(const tarnclient::RingFigures &f);
  void closeFollow();
  void follow(std::vector<RelayReport> *fresh);
  bool reapOne(std::vector<RelayReport> *fresh, int *id);
  void take(const char *srcname, double time, const char *bytes, int nbytes,
            std::vector<RelayReport> *fresh);

  const std::string tarn_;
  const double lookback_;
  int fd_ = -1;        // figures and the first reading of each relay's reports
  int followFd_ = -1;  // streams every status packet after those, between rounds too
  bool caughtUp_ = false;
  ServerState state_;
  Clock::time_point answeredAt_;  // when state_.figures came (state_.answeredAt != 0)
  std::map<std::string, RelayState> relays_;
  char *buf_ = nullptr;  // reap buffer, grown by the library
  int bufsize_ = 0;
};

}  // namespace tarntool
