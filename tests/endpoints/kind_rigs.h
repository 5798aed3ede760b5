// The servers of each kind of endpoint, for the conformance harness: one
// real server per test (a tarnserver with its ring in a file, or a
// nats-server with JetStream and its store in a folder), how a reader and a
// writer of the kind name it in a parameter file, and what the harness asks
// of it: to hold packets before a reader starts, to tell what it stored, to
// freeze (SIGSTOP) and thaw, and to be killed and started again on the same
// port with what it had stored.
//
// To check a new kind, add its rig here and to kindRigs(): every check of
// the harness then runs against it.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

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

class KindRig {
 public:
  virtual ~KindRig() = default;
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
  // SIGSTOP and SIGCONT: a server that answers nothing, and again.
  virtual void freeze() = 0;
  virtual void thaw() = 0;
  // SIGKILL, then a start on the same port and store.
  virtual void killAndRestart() = 0;
  // A second rig of the same kind whose server is not running: a
  // destination that can never be reached.
  virtual std::unique_ptr<KindRig> unreachable() const = 0;
};

struct RigMaker {
  const char *kind;
  std::function<std::unique_ptr<KindRig>()> make;
};
inline void PrintTo(const RigMaker &maker, std::ostream *out) { *out << maker.kind; }

// Every kind the relay has.
std::vector<RigMaker> kindRigs();

}  // namespace conformance
