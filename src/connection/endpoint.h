// The two sides of a connection: a PacketSource that a reader takes packets
// from, and a PacketDestination that a writer puts them onto. Each kind of
// server the relay reaches (a tarn server, a JetStream stream, ...) is one
// adapter of each (endpoints/); the reader and writer loops
// (relay_connection.h) are the same for every kind.
//
// What every adapter promises:
//  - open() makes one attempt to reach its server and never blocks for much
//    longer than the internal time-out; the loop retries with back-off.
//  - A source hands out packets in the order its server holds them. Each
//    packet carries its read record, held once for the reader; the source's
//    saved place passes a packet only once it is done (read_position.h).
//  - A destination counts a packet as written (releases its record) only
//    once its server acknowledged it; what it cannot know to be stored stays
//    held, so that a restart reads it again.
//  - A lost link is the adapter's to mend, quietly but for one complaint per
//    loss and one per recovery; the loops only see waits, and the status
//    manager sees linkLost() until the link is back.
//  - A packet a destination can never store is done at once and told to its
//    DropReport with the reason; the writer names and counts it.
//
//  - A destination tells each relayed packet its server stored (acknowledged,
//    where it acknowledges) to the connection's counters (delivered()).
//  - A packet a source refuses to hand out (it is not what the source
//    carries) is told to its RejectReport, which names and counts it.
//  - An adapter that cannot move packets for a reason an operator must fix
//    (a full disk, a permission) says so in fault() until it can again.
//
// Threads: an adapter is used by its connection's thread alone, except
// linkLost(), reconnections(), fault() and freeBytes(), which any thread may
// call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ConnectionCounters;
class TarnPacket;

// What keeps an adapter from moving packets: why ("" when nothing does) and
// since when (epoch seconds).
struct EndpointFault {
  std::string why;
  double since = 0.0;
};

// Where a reader tells each packet it refuses: `cause` is the word it is
// counted under ("too_old", "too_new", "no_unstuff", "not_miniseed"),
// `line` the complaint naming the packet and why; `quiet`: count it only.
class RejectReport {
 public:
  virtual ~RejectReport() = default;
  virtual void rejected(const std::string &srcname, const std::string &cause,
                        const std::string &line, bool quiet) = 0;
};

// How log lines, descriptions and status packets name an adapter's server.
struct EndpointNames {
  std::string where;     // "tarn <t ='srv:1'>": connecting, positioning, room
  std::string named;     // "tarn 'srv:1'": a failed put, what a writer leaves
  std::string awaited;   // "tarn 't' ('srv:1')": waiting for it to become available
  std::string lineName;  // "Tarn 't'": the very verbose read and wrote lines
  std::string server;    // "srv:1": the server of the connection in status packets
  // A destination's: "put to tarn 'srv:1'", and how what it leaves comes
  // back (": they will be read again when the relay restarts ...").
  std::string handedTo;
  std::string readAgain;
};

enum class OpenResult {
  kOpened,       // connected now
  kWasOpen,      // already connected (a tag another connection opened)
  kUnavailable,  // not reached; try again later
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual const EndpointNames &names() const = 0;
  // The description lines of the adapter's own keys ("\t\tkey\tvalue").
  virtual std::vector<std::string> describe() const = 0;
  // One attempt to reach the server; on kUnavailable `why` may say why.
  virtual OpenResult open(std::string &why) = 0;
  // Whether a link to the server, once made, is lost now and being mended.
  virtual bool linkLost() const { return false; }
  // How often a lost link was mended so far (monotonic); 0 for an adapter
  // that never loses one or cannot tell.
  virtual uint64_t reconnections() const { return 0; }
  // What keeps it from moving packets now; an empty why when nothing does.
  virtual EndpointFault fault() const { return {}; }
  // Bytes free where it stores packets; -1 where that means nothing.
  virtual long long freeBytes() const { return -1; }
};

using PacketBatch = std::vector<std::shared_ptr<TarnPacket>>;

// The newest packet present when reading begins (end time "last").
struct LastPacket {
  enum class State { kNone, kPassed, kAhead } state = State::kNone;
  long long id = -1;  // in the source's own numbering (idName)
};

enum class ReadResult { kMore, kEnd };

class PacketSource : public Endpoint {
 public:
  // Applies the reader's expressions and finds where reading starts, saying
  // so at verbose level; false, having complained, when reading cannot
  // begin.
  virtual bool position() = 0;
  // What the source's packet numbers are called in messages ("pktid").
  virtual const char *idName() const = 0;
  // The newest packet present now, and whether reading has passed it.
  // RelayException when it cannot be found.
  virtual LastPacket findLast() = 0;
  // Whether `packet` is the last packet found, or comes after it.
  virtual bool isLast(const TarnPacket &packet) const = 0;
  // Appends what arrives within `timeout` seconds (perhaps nothing) to
  // `batch`; kEnd when the source has ended, said at very verbose level.
  virtual ReadResult next(double timeout, PacketBatch &batch) = 0;
  // The reader has judged every packet of the last batch (and pushed those
  // it passed on).
  virtual void handled() {}
  // The reader stops at `packet`: what came after it in its batch was not
  // looked at and is to be read again.
  virtual void stoppedAt(const TarnPacket &) {}
  // The reader ends: waits, as long as that makes progress, for what it
  // passed on to be done, and says what it leaves.
  virtual void finish() {}

  // Set once, by the connection the source is made for.
  void reportRejectsTo(RejectReport *report) { m_rejectReport = report; }

 protected:
  void reject(const std::string &srcname, const std::string &cause, const std::string &line,
              bool quiet) {
    if (m_rejectReport) m_rejectReport->rejected(srcname, cause, line, quiet);
  }

 private:
  RejectReport *m_rejectReport = nullptr;
};

enum class PutResult {
  kTaken,    // in the server's hands; done once acknowledged
  kNoRoom,   // the window of unacknowledged packets stayed full
  kDropped,  // can never be stored; told to the DropReport, and done
  kFailed,   // not put; the writer says so
};

// Where a destination tells each packet it drops: `cause` is a short reason
// that packets are counted under ("too large for tarn 'srv:1'"); `detail`,
// perhaps empty, what is particular to this packet (its size against the
// limit).
class DropReport {
 public:
  virtual ~DropReport() = default;
  virtual void dropped(const std::string &srcname, double time, long bytes,
                       const std::string &cause, const std::string &detail) = 0;
};

// What a writer leaves when it ends: packets handed on and not
// acknowledged, and of them those that were relayed (the rest are the
// relay's own log and status packets).
struct LeftBehind {
  size_t unacknowledged = 0;
  size_t relayed = 0;
};

class PacketDestination : public Endpoint {
 public:
  // Hands the packet on, waiting at most `roomWait` seconds for room.
  virtual PutResult put(const std::shared_ptr<TarnPacket> &packet, double roomWait) = 0;
  // Acknowledgements taken in so far (progress, for a writer that waits).
  virtual uint64_t acknowledgedSoFar() = 0;
  // The verbose line of a writer that waits for room.
  virtual std::string waitingForRoom() = 0;
  // Takes in acknowledgements (and mends a lost link) while the queue gives
  // nothing to put.
  virtual void service() = 0;
  // Waits for the acknowledgements of what was put (unless `abandoned`), as
  // long as the server answers once the stop flag is set.
  virtual LeftBehind finish(bool abandoned) = 0;

  // Set once, by the connection the destination is made for.
  void reportDropsTo(DropReport *report) { m_dropReport = report; }
  void countDeliveredTo(ConnectionCounters *counters) { m_counters = counters; }

 protected:
  // Tells the DropReport (if any) that `packet` is dropped; the caller then
  // lets it go (done()).
  void drop(TarnPacket &packet, const std::string &cause, const std::string &detail = "");
  // The same for a packet known by its name, time and size alone.
  void drop(const std::string &srcname, double time, long bytes, const std::string &cause,
            const std::string &detail) {
    if (m_dropReport) m_dropReport->dropped(srcname, time, bytes, cause, detail);
  }
  // Counts `packet` as delivered (unless it is the relay's own log or status
  // packet): its server stored it.
  void delivered(const TarnPacket &packet);
  // The same for packets already counted up by the adapter (relayed ones).
  void delivered(uint64_t packets, uint64_t bytes);

 private:
  DropReport *m_dropReport = nullptr;
  ConnectionCounters *m_counters = nullptr;
};
