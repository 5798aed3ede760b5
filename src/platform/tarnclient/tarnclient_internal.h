// What other platform libraries (the state-file library's tarnresurrect)
// and the tarn tool need beyond the C interface: a descriptor's name and
// expressions, positioning at a saved (id, time) pair, and the server's
// figures. Thread-safety as tarnclient.h: calls on one descriptor are
// serialised with the C calls on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnclient {

// The tarn name the descriptor was opened with; false for an unknown one.
bool descriptorName(int fd, std::string &name);
// The select and reject expressions in force ("" when none).
bool descriptorExpressions(int fd, std::string &select, std::string &reject);

// Positions just after the packet with this id and exactly this time, as a
// reader resuming after it would. Returns 0 when found; -2 when that packet
// is gone and the descriptor now stands at the oldest delivered packet with
// a time >= `time`; -3 when the server holds no packet; -1 otherwise (the
// descriptor then waits for new packets). tarntell afterwards gives the
// id the next reap starts from.
int resumeAt(int fd, int32_t id, double time);

struct SourceFigures {
  std::string name;
  uint64_t packets = 0;
  double newestTime = 0.0;
};
struct RingFigures {
  std::vector<SourceFigures> sources;
  bool sourcesTruncated = false;
  uint64_t ringBytes = 0, usedBytes = 0, packets = 0, dropped = 0, instance = 0;
  int32_t oldestId = -1, newestId = -1;
  double oldestTime = 0.0, newestTime = 0.0;
  uint32_t clients = 0, maxPacket = 0;
  bool inFile = false;
};
// Asks the server for its sources and ring figures; false when unreachable.
bool stat(int fd, RingFigures &out);

}  // namespace tarnclient
