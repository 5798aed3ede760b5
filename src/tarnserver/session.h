// What the server's loop needs of a client's conversation, whichever
// protocol its port speaks: the tarn protocol (ClientSession), SeedLink
// (SeedlinkSession) or DataLink (DatalinkSession). A session takes the
// bytes the client sent and appends what goes back to an output buffer the
// server writes out; it streams packets when pump() is called; it never
// touches the socket.
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnserver {

// The wall clock in epoch seconds: what arrival times and listings use.
inline double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What a client's listing shows of its session (tarn stat --clients, SeedLink
// INFO CONNECTIONS).
struct SessionInfo {
  std::string protocol;  // "tarn", "seedlink 3.1", "seedlink 4.0"
  std::string identity;  // what the client says it is; "" when it says nothing
  std::string activity;  // what it reads or writes, in a few words
};

// One client as a clients answer lists it.
struct ClientListing {
  std::string peer;  // address:port
  std::string port;  // the port it came through: "tarn", "SeedLink" or "DataLink"
  SessionInfo info;
  double since = 0.0;  // connected, epoch seconds
  uint64_t bytesIn = 0, bytesOut = 0, packetsIn = 0, packetsOut = 0;
  bool streaming = false;  // it waits for packets
  size_t queuedBytes = 0;  // output waiting for it
};

class Session {
 public:
  virtual ~Session() = default;

  // Handles what it can of data[0..n) within its limits; returns the bytes
  // used (the rest is offered again), or -1 when the client must be dropped
  // (an answer saying why is in the output).
  virtual ssize_t consume(const char *data, size_t n) = 0;
  // Whether the bytes left over (data[0..n)) or those the session keeps
  // hold a whole request for a later turn.
  virtual bool backlog(const char *data, size_t n) const = 0;
  // The bytes of the whole request that data[0..n) starts, when the session
  // knows them and will take a request that long from this client; 0
  // otherwise. The server then reads the rest of a large request into one
  // buffer of its size.
  virtual size_t requestSize(const char *, size_t) const { return 0; }

  // Appends streamed packets while the output holds less than `limit`
  // bytes; returns true when packets remain to be sent.
  virtual bool pump(size_t limit) = 0;
  // Whether the client streams and the ring holds packets it has not seen.
  virtual bool wantsPackets() const = 0;
  // Whether the session has said its last: drop the client once its output
  // is written.
  virtual bool finished() const { return false; }

  virtual const char *outData() const = 0;
  virtual size_t outSize() const = 0;
  virtual void consumed(size_t n) = 0;

  // Ends the conversation on the server's side: an answer with this code
  // and text goes out last (where the protocol has room for one).
  virtual void refuse(int32_t code, const std::string &text) = 0;

  // Whether the client has asked for packets and waits for them.
  virtual bool streaming() const = 0;
  // Whether the client may write (such clients have no idle time-out).
  virtual bool writer() const = 0;
  // Whether the client has introduced itself (hello, or a first command).
  virtual bool helloDone() const = 0;
  virtual uint64_t putsStored() const = 0;
  virtual uint64_t packetsSent() const = 0;
  // Why consume() last returned -1, and the code of the answer.
  virtual const std::string &error() const = 0;
  virtual int32_t errorCode() const = 0;
  // Bytes of memory the session holds for its input and output.
  virtual size_t memoryHeld() const = 0;
  // What the client is and does, as client listings show it.
  virtual SessionInfo info() const = 0;
};

}  // namespace tarnserver
