// One client's conversation with the server, apart from its socket: it
// decodes the client's frames, acts on the ring, and appends answers and
// streamed packets to an output buffer that the server writes out.
//
// A reading client's position is a cursor: the sequence number of the next
// packet it may be sent. After a start request the session streams every
// delivered packet from the cursor on (pump), as far as the output limit
// allows; positioning and select/reject stop the stream until the next start,
// so the client knows that nothing streamed after its request's answer
// predates it. A cursor that the ring has dropped past is moved to the
// oldest packet with a skipped notice.
//
// Every input is checked before use: a frame longer than its type allows,
// a truncated body, an unknown type or a bad source name appends an error
// frame and makes consume() return -1; the caller then drops the client.
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tarnclient/tarn_wire.h"
#include "tarnserver/packet_filter.h"
#include "tarnserver/ring.h"

namespace tarnserver {

struct SessionLimits {
  uint32_t maxPacket = 1 << 20;  // bytes of one packet
  size_t maxStatSources = 65536; // sources listed by one stat answer
};

// Figures that only the server knows, for stat answers.
struct ServerFigures {
  uint32_t clients = 0;
};

class ClientSession {
 public:
  ClientSession(Ring &ring, const SessionLimits &limits, const ServerFigures &figures);

  // Handles the complete frames at the start of data[0..n); returns the
  // bytes used (a partial frame at the end is left), or -1 when the client
  // broke the protocol and must be dropped (an error frame is in out()).
  ssize_t consume(const char *data, size_t n);
  // The largest frame the client may send: how much input to buffer.
  size_t maxFrame() const;

  // Appends streamed packets while the output holds less than `limit`
  // bytes; returns true when packets remain to be sent.
  bool pump(size_t limit);
  // Whether the client streams and the ring holds packets past its cursor.
  bool wantsPackets() const { return streaming_ && cursor_ < ring_.nextSeq(); }

  // Output waiting to be written: out().data() + outHead(), outSize() bytes.
  const char *outData() const { return out_.data() + outHead_; }
  size_t outSize() const { return out_.size() - outHead_; }
  void consumed(size_t n);

  uint64_t putsStored() const { return putsStored_; }
  uint64_t packetsSent() const { return packetsSent_; }
  bool helloDone() const { return hello_; }
  // Why consume() last returned -1.
  const std::string &error() const { return error_; }

 private:
  bool handle(tarnwire::Type type, const char *body, size_t len);
  bool onHello(tarnwire::FrameReader &r);
  bool onExpression(tarnwire::Type type, tarnwire::FrameReader &r);
  bool onPosition(tarnwire::FrameReader &r);
  bool onStart(tarnwire::FrameReader &r);
  bool onPut(tarnwire::FrameReader &r);
  void onStat();
  void positionAt(uint8_t kind, int32_t id, double time, int32_t &result);
  bool seqOfId(int32_t id, uint64_t &seq) const;
  uint64_t firstPassingFrom(uint64_t seq, double minTime, bool useTime);
  void fail(int32_t code, const std::string &text);
  void writePacket(uint64_t seq);

  Ring &ring_;
  const SessionLimits limits_;
  const ServerFigures &figures_;
  PacketFilter filter_;
  bool hello_ = false;
  bool streaming_ = false;
  uint64_t cursor_ = 0;          // next packet the client may be sent
  uint64_t putsStored_ = 0;
  uint64_t packetsSent_ = 0;
  std::string error_;
  std::vector<char> out_;
  size_t outHead_ = 0;
};

}  // namespace tarnserver
