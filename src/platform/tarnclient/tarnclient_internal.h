// What other platform libraries (the state-file library's tarnresurrect)
// and the tarn tool need beyond the C interface: a descriptor's name and
// expressions, positioning at a saved (id, time) pair, and the server's
// figures. Thread-safety as tarnclient.h: calls on one descriptor are
// serialised with the C calls on it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarnclient {

// The tarn name the descriptor was opened with; false for an unknown one.
bool descriptorName(int fd, std::string &name);
// The address of the descriptor's server as first connected
// ("127.0.0.1:6510"): the same for every way of writing the server's name.
bool descriptorAddress(int fd, std::string &address);
// The select and reject expressions in force ("" when none).
bool descriptorExpressions(int fd, std::string &select, std::string &reject);

// Positions just after the packet with this id and exactly this time, as a
// reader resuming after it would (with `inclusive`, at the packet itself).
// Returns 0 when found; -2 when that packet is gone and the descriptor now
// stands at the oldest delivered packet with a time >= `time`; -3 when the
// server holds no packet; -1 otherwise (the descriptor then waits for new
// packets). tarntell afterwards gives the id the next reap starts from.
int resumeAt(int fd, int32_t id, double time, bool inclusive = false);

// Numbered puts. putNumbered is tarnput that also tells the put's number
// (1, 2, ... for the life of the descriptor) and the number of puts the
// server has acknowledged so far (puts are acknowledged in order, so every
// put numbered up to it is stored on the server). With `windowWait` not
// negative it waits at most that many seconds for room in the window of
// unacknowledged puts and returns kPutWindowFull, having put nothing, when
// there was none.
// `refusals` says whether refused puts wait for takeRefusedPuts, read with
// `acknowledged`: when false, no put up to that count waits as refused.
struct PutReceipt {
  uint64_t number = 0;
  uint64_t acknowledged = 0;
  bool refusals = false;
  // The largest packet the server takes as it stands after the put (as
  // maxPacketBytes gives it), so that a writer need not ask before each put.
  uint32_t maxPacket = 0;
};
constexpr int kPutWindowFull = 1;
// Which packet a put is: `origin` names where the writer got it (one
// reader of one source ring), `sequence` its number there. A server that
// takes identities stores a packet once per identity within its window and
// acknowledges a repeat without storing it; to other servers the put goes
// as a plain one.
struct PutIdentity {
  uint64_t origin = 0;
  uint64_t sequence = 0;
};
int putNumbered(int fd, const char *srcname, double time, const char *bytes, int nbytes,
                double windowWait, PutReceipt *receipt, const PutIdentity *identity = nullptr);
// The ring instance of the descriptor's server as its latest welcome gave
// it; 0 for an unknown descriptor or before the first connection.
uint64_t ringInstance(int fd);
// tarnreap_timeout, also giving the ring instance of the server the packet
// came from (as ringInstance does after it) in the same call.
int reapWithInstance(int fd, double timeout, int *pktid, char *srcname, double *time, char **buf,
                     int *nbytes, int *bufsize, uint64_t *instance);
// The puts acknowledged so far, after taking in what has arrived without
// waiting; 0 for an unknown descriptor.
uint64_t collectAcknowledgements(int fd);
// Waits until put `number` is acknowledged, at most `seconds`: 0; -2 when
// the time ran out; -3 when the program is stopping and the server does not
// answer; -1 for an unknown descriptor.
int awaitAcknowledged(int fd, uint64_t number, double seconds);

// A descriptor's puts as they stand; read without waiting for the
// descriptor, so it may be asked while a put waits.
struct PutWindow {
  uint64_t accepted = 0;      // puts taken so far
  uint64_t acknowledged = 0;  // of them, acknowledged by the server
  uint64_t bytes = 0;         // bytes not yet acknowledged
  uint64_t limit = 0;         // the bytes past which a put waits
};
bool putWindow(int fd, PutWindow &out);

// The attempts to reconnect that have failed so far on this descriptor (0
// for an unknown one); read without waiting for the descriptor. Once it
// grows, the descriptor has noticed that its server is away and waits for
// it: what a test watches before it brings the server back.
uint64_t reconnectFailures(int fd);

// Whether the descriptor lost its server and has not reconnected yet (false
// for an unknown one); read without waiting for the descriptor.
bool linkLost(int fd);

// How often the descriptor's lost connection was restored so far (0 for an
// unknown one); read without waiting for the descriptor.
uint64_t reconnections(int fd);

// Puts the server refused (its writers rule does not allow the source from
// this address): each counts as acknowledged, is never sent again, and is
// kept here until taken (at most kMaxRefusedKept; later ones are only
// logged).
struct RefusedPut {
  uint64_t number = 0;  // the put's number
  std::string srcname;
  double time = 0.0;
  uint32_t nbytes = 0;
  std::string why;  // the server's words
  // The largest packet the server takes, when it refused the put as larger
  // than that (it came back with a lower limit while the put waited); else 0.
  uint32_t limit = 0;
};
constexpr size_t kMaxRefusedKept = 4096;
std::vector<RefusedPut> takeRefusedPuts(int fd);
// The caller says every refused put it takes with takeRefusedPuts itself:
// the library then logs only those it could not keep.
void callerSaysRefusals(int fd);

// How a packet too large for a tarn server is said, by every program alike:
// "packet of N bytes is larger than the M bytes WHERE takes per packet,
// source name and frame not counted". The server's limit (its -m) counts a
// packet's bytes alone; a packet of exactly the limit is taken.
std::string tooLargeText(uint64_t nbytes, uint64_t limit, const std::string &where);

// The largest packet (bytes) the descriptor's server takes, as it said when
// it was last reached; 0 when unknown.
uint32_t maxPacketBytes(int fd);

// The tarn names of the descriptors with puts not acknowledged and how many;
// read without waiting, so that a program ending at once may report them.
std::vector<std::pair<std::string, uint64_t>> unacknowledgedPuts();

struct SourceFigures {
  std::string name;
  uint64_t packets = 0;
  double newestTime = 0.0;
  double arrival = 0.0;  // when its newest packet arrived (server's clock); 0: not known
};
struct RingFigures {
  std::vector<SourceFigures> sources;
  bool sourcesTruncated = false;
  uint64_t ringBytes = 0, usedBytes = 0, packets = 0, dropped = 0, instance = 0;
  uint64_t repeats = 0;  // identified puts acknowledged as repeats since the server started
  double serverTime = 0.0;  // the server's clock when it answered; 0 from older servers
  int32_t oldestId = -1, newestId = -1;
  double oldestTime = 0.0, newestTime = 0.0;
  uint32_t clients = 0, maxPacket = 0;
  bool inFile = false;
};
// Asks the server for its sources and ring figures; false when unreachable.
bool stat(int fd, RingFigures &out);

// One client of a server (tarn_frames.h, Client).
struct ClientFigures {
  std::string peer, protocol, identity, activity;
  double since = 0.0;
  uint64_t bytesIn = 0, bytesOut = 0, packetsIn = 0, packetsOut = 0;
};
struct ClientList {
  bool served = false;  // false: the server does not list its clients (an older version)
  std::vector<ClientFigures> clients;
  uint32_t total = 0;  // clients the server has; more than listed: cut short
};
// Asks the server for its clients; false when unreachable.
bool clients(int fd, ClientList &out);

}  // namespace tarnclient
