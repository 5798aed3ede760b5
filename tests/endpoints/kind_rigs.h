// The servers of each kind of endpoint, for the conformance harness: one
// real server per test (a tarnserver with its ring in a file, or a
// nats-server with JetStream and its store in a folder), how a reader and a
// writer of the kind name it in a parameter file, and what the harness asks
// of it: to hold packets before a reader starts, to tell what it stored, to
// freeze (SIGSTOP) and thaw, and to be killed and started again on the same
// port with what it had stored. A rig makes the packets its kind carries
// (any bytes for a tarn server or a stream, miniSEED records for an
// archive), and says whether its kind reads, writes or both.
//
// To check a new kind, add its rig to kind_rigs.cc: every check of the
// harness for what the kind does (read, write) then runs against it.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class PositionSaver;

namespace conformance {

// One packet as the harness sends and expects it.
struct Sent {
  std::string srcname;
  double time = 0;
  std::string bytes;
  bool operator==(const Sent &o) const {
    return srcname == o.srcname && time == o.time && bytes == o.bytes;
  }
};
inline void PrintTo(const Sent &p, std::ostream *out) {
  *out << p.srcname << " " << std::to_string(p.time) << " (" << p.bytes.size() << " bytes)";
}

class KindRig {
 public:
  virtual ~KindRig() = default;
  // Packets `from` .. `from + n - 1` of two sources, in order; `size` asks
  // for bytes of about that size (0: small ones).
  virtual std::vector<Sent> packets(int n, int from = 0, size_t size = 0) const;
  // The parameter-file lines of a reader and of a writer on the server.
  virtual std::string readerLines() const = 0;
  virtual std::string writerLines() const = 0;
  // Stores the packets on the server, in order; false on any failure.
  virtual bool feed(const std::vector<Sent> &packets) = 0;
  // Every packet the server holds, oldest first.
  virtual std::vector<Sent> stored() = 0;
  // How many of the packets fed since the start the reader `connection`'s
  // saved place has passed (the server's own place for it, or its read
  // position).
  virtual long passed(const std::string &connection) = 0;
  // A server that answers nothing (SIGSTOP; a full disk), and again.
  virtual void freeze() = 0;
  virtual void thaw() = 0;
  // SIGKILL, then a start on the same port and store (a failure that
  // passes, for a kind without a server).
  virtual void killAndRestart() = 0;
  // A second rig of the same kind whose server is not running: a
  // destination that can never be reached.
  virtual std::unique_ptr<KindRig> unreachable() const = 0;
  // Who keeps read positions for the connections the harness makes: null,
  // or a statefile of the rig's (a kind whose places live there).
  virtual PositionSaver *positions() { return nullptr; }
};

struct RigMaker {
  const char *kind;
  bool reads;   // the kind has sources
  bool writes;  // the kind has destinations
  std::function<std::unique_ptr<KindRig>()> make;
  bool knowsLast = true;  // its server says which packet is its newest (endtime last)
};
inline void PrintTo(const RigMaker &maker, std::ostream *out) { *out << maker.kind; }

// Every kind the relay has that reads, and every one that writes.
std::vector<RigMaker> sourceRigs();
std::vector<RigMaker> destinationRigs();

}  // namespace conformance
