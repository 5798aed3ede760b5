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
// So does a hello from an address that may not connect, and a put (or a
// hello announcing puts) from one that may not write that source.
//
// The work one consume() call does is bounded: it stops after the frame
// that brings the output to SessionLimits::outputLimit bytes or its work
// (sources, blocks and packets looked at, bytes stored) to workBudget, and
// leaves the other frames for the next call, so that one client's burst of
// requests neither piles up answers nor holds up the other clients.
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/tarnclient/tarn_frames.h"
#include "tarnserver/access_control.h"
#include "tarnserver/packet_filter.h"
#include "tarnserver/ring.h"
#include "tarnserver/session.h"

namespace tarnserver {

struct SessionLimits {
  uint32_t maxPacket = 1 << 20;   // bytes of one packet
  size_t maxStatSources = 65536;  // sources listed by one stat answer
  size_t maxListedClients = 4096;  // clients listed by one clients answer
  size_t outputLimit = 8 << 20;   // consume() reads no frame past this output
  uint64_t workBudget = 1 << 16;  // work of one consume() call
};

// Figures that only the server knows, for stat and clients answers.
struct ServerFigures {
  uint32_t clients = 0;
  // Every client but those being dropped; unset: none listed.
  std::function<std::vector<ClientListing>()> listClients;
};

// What the client may do, and the names its refusals give.
struct ClientAccess {
  bool mayConnect = true;
  WritePermit write;  // default: nothing
  std::string host;   // the client's address
  std::string tarn;   // the server's tarn name
};

class ClientSession : public Session {
 public:
  ClientSession(Ring &ring, const SessionLimits &limits, const ServerFigures &figures,
                ClientAccess access = {});

  // Handles the complete frames at the start of data[0..n), within the
  // limits above; returns the bytes used (a partial frame at the end, and
  // frames past the limits, are left), or -1 when the client broke the
  // protocol or was refused and must be dropped (an error frame is in out()).
  ssize_t consume(const char *data, size_t n) override;
  // The largest frame the client may send.
  size_t maxFrame() const;
  // Whether data[0..n) starts with a whole frame.
  static bool frameComplete(const char *data, size_t n);
  bool backlog(const char *data, size_t n) const override { return frameComplete(data, n); }
  // A frame's size once the client has greeted, when its type takes that
  // length from this client (puts only from a writer).
  size_t requestSize(const char *data, size_t n) const override;

  // Appends streamed packets while the output holds less than `limit`
  // bytes; returns true when packets remain to be sent.
  bool pump(size_t limit) override;
  // Whether the client streams and the ring holds packets past its cursor.
  bool wantsPackets() const override { return streaming_ && cursor_ < ring_.nextSeq(); }

  // Output waiting to be written: out().data() + outHead(), outSize() bytes.
  const char *outData() const override { return out_.data() + outHead_; }
  size_t outSize() const override { return out_.size() - outHead_; }
  void consumed(size_t n) override;

  // Ends the conversation on the server's side: an error frame with this
  // code and text goes out last; the caller drops the client.
  void refuse(int32_t code, const std::string &text) override { fail(code, text); }
  // Whether the client has asked for packets and waits for them.
  bool streaming() const override { return streaming_; }
  const WritePermit &writePermit() const { return access_.write; }
  bool writer() const override { return !access_.write.none(); }

  uint64_t putsStored() const override { return putsStored_; }
  uint64_t packetsSent() const override { return packetsSent_; }
  bool helloDone() const override { return hello_; }
  // Why consume() last returned -1, and the code of its error frame.
  const std::string &error() const override { return error_; }
  int32_t errorCode() const override { return errorCode_; }
  // Bytes of memory the session holds for its output.
  size_t memoryHeld() const override { return out_.capacity(); }
  SessionInfo info() const override;

 private:
  // The longest body a frame of this type may have.
  size_t bodyLimit(tarnwire::Type type) const;
  bool handle(tarnwire::Type type, std::string_view body);
  bool onHello(std::string_view body);
  bool onExpression(tarnwire::Type type, std::string_view body);
  bool onPosition(std::string_view body);
  bool onStart(std::string_view body);
  bool onPut(std::string_view body);
  bool onIdentifiedPut(std::string_view body);
  bool store(const tarnwire::Put &put, const PacketIdentity *identity);
  bool mayWrite(const std::string &src);
  void onStat();
  void onClients();
  tarnwire::StatEnd ringFigures(bool sourcesCut) const;
  void positionAt(uint8_t kind, int32_t id, double time, int32_t &result);
  void resume(uint8_t kind, int32_t id, double time, int32_t &result);
  bool seqOfId(int32_t id, uint64_t &seq) const;
  void fail(int32_t code, const std::string &text);
  void acknowledge();
  void writePacket(uint64_t seq);

  Ring &ring_;
  const SessionLimits limits_;
  const ServerFigures &figures_;
  const ClientAccess access_;
  PacketFilter filter_;
  std::unordered_map<std::string, bool> writeVerdicts_;  // per source name, when
                                                         // the permit has patterns
  uint64_t work_ = 0;                                    // of the current consume() call
  bool hello_ = false;
  bool streaming_ = false;
  uint64_t cursor_ = 0;  // next packet the client may be sent
  uint64_t putsStored_ = 0;
  uint64_t putsAcked_ = 0;  // the count the last ack frame carried
  uint64_t packetsSent_ = 0;
  std::string error_;
  int32_t errorCode_ = 0;
  std::vector<char> out_;
  size_t outHead_ = 0;
  std::string select_, reject_;  // the expressions in force, as the client sent them
};

}  // namespace tarnserver
