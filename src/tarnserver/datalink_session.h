// One DataLink 1.0 client's conversation, apart from its socket and from
// how its bytes travel (SessionTransport: plain TCP, or WebSocket with the
// subprotocol DataLink1.0). docs/datalink.md says what is served; the wire
// format is platform/datalink.
//
// Writing: WRITE carries miniSEED records of one stream, checked whole
// (mseed::check, as a reader's check_unstuff checks them) and against the
// stream id; each record becomes one packet named NET_STA_CHAN[_LOC]/MSEED
// whose time is the record's start. With flag A the answer "OK pktid"
// (the last record's packet id) goes out once every record is in the ring;
// with N a stored write is not answered. A refused write is always
// answered with ERROR and the reason, and nothing of it is stored. Only a
// client whose address may write (ClientAccess::write) writes; a WRITE
// from any other is answered with ERROR and the client dropped.
//
// Reading: the read position is the next packet the client may be sent;
// it starts at the next packet to arrive. POSITION SET id puts it just
// after packet id (EARLIEST: at the oldest packet; LATEST: after the
// newest), POSITION AFTER t at the first packet whose data start after t.
// READ sends one packet and leaves the position. STREAM sends every packet
// from the position on whose stream id passes MATCH and REJECT (datalink
// filter), current and future, until ENDSTREAM, answered "ENDSTREAM" after
// the last packet sent; while streaming only ID and ENDSTREAM are taken.
// Packet ids are the ring's; a packet's time is its arrival in the ring
// (its data start for packets recovered from a ring file).
//
// Bounds: headers of 255 bytes (the format's), WRITE data up to
// SessionLimits::maxPacket, patterns of kMaxPattern bytes, at most
// kMaxErrors refused commands (past them, and on bytes that are not
// DataLink, the client is dropped), and per consume() call at most
// kCommandsPerTurn commands, SessionLimits::workBudget work and
// SessionLimits::outputLimit bytes of output.
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnserver/client_session.h"
#include "tarnserver/datalink_filter.h"
#include "tarnserver/ring.h"
#include "tarnserver/server_view.h"
#include "tarnserver/session.h"
#include "tarnserver/session_transport.h"
#include "tarnserver/websocket.h"

namespace tarnserver {

class DatalinkSession : public Session {
 public:
  static constexpr size_t kMaxPattern = 4096;  // bytes of a MATCH or REJECT pattern
  static constexpr int kCommandsPerTurn = 256;
  static constexpr int kMaxErrors = 16;        // refused commands before the client is dropped
  static constexpr size_t kMaxListed = 20000;  // streams or connections one INFO lists

  DatalinkSession(Ring &ring, const SessionLimits &limits, const ServerView &server,
                  ClientAccess access, std::unique_ptr<SessionTransport> transport);

  // What the DataLink port's WebSocket takes: the subprotocol DataLink1.0
  // and frames that hold one WRITE of the largest packet.
  static WebSocketLimits webSocketLimits(uint32_t maxPacket);

  ssize_t consume(const char *data, size_t n) override;
  bool backlog(const char *data, size_t n) const override;
  bool pump(size_t limit) override;
  bool wantsPackets() const override {
    return streaming_ && !finished() && cursor_ < ring_.nextSeq();
  }
  bool finished() const override { return finished_ || transport_->closing(); }
  const char *outData() const override { return out_.data() + outHead_; }
  size_t outSize() const override { return out_.size() - outHead_; }
  void consumed(size_t n) override;
  void refuse(int32_t code, const std::string &text) override;
  bool streaming() const override { return streaming_; }
  bool writer() const override { return !access_.write.none(); }
  bool helloDone() const override { return greeted_; }
  uint64_t putsStored() const override { return putsStored_; }
  uint64_t packetsSent() const override { return packetsSent_; }
  const std::string &error() const override { return error_; }
  int32_t errorCode() const override { return errorCode_; }
  size_t memoryHeld() const override {
    return out_.capacity() + input_.capacity() + scratch_.capacity() + transport_->memoryHeld();
  }
  SessionInfo info() const override;

 private:
  bool handle(std::string_view header, std::string_view data);
  bool command(const std::vector<std::string_view> &words, std::string_view header,
               std::string_view data);
  // Whether a message whose header has come may have its data: refuses a
  // WRITE from a client that may not write, and patterns past kMaxPattern.
  bool admissible(std::string_view header, size_t dataSize);
  bool onId(std::string_view header);
  bool onWrite(std::string_view header, std::string_view data);
  bool mayWrite(const std::string &src);
  bool onPosition(const std::vector<std::string_view> &words);
  bool onPositionSet(std::string_view id, std::string_view time);
  bool onPositionAfter(std::string_view time);
  bool onPattern(bool match, std::string_view header, std::string_view data);
  bool onRead(const std::vector<std::string_view> &words);
  bool onInfo(const std::vector<std::string_view> &words);
  bool seqOfId(int64_t id, uint64_t &seq) const;
  void writePacket(uint64_t seq, const std::string &streamId);
  std::string capabilities() const;

  void ok(int64_t value, std::string_view text);
  // Answers ERROR; returns true (the session goes on) until kMaxErrors.
  bool refused(const std::string &text);
  // Answers ERROR to a write, which does not count towards kMaxErrors (a
  // writer's bad record is its station's fault, not a broken client).
  bool writeRefused(const std::string &text);
  // Answers ERROR and ends the session; returns false.
  bool fatal(int32_t code, const std::string &text);
  void message(std::string_view bytes);

  Ring &ring_;
  const SessionLimits limits_;
  const ServerView &server_;
  const ClientAccess access_;
  std::unique_ptr<SessionTransport> transport_;
  DatalinkFilter filter_;
  std::unordered_map<std::string, bool> writeVerdicts_;  // per source name, with patterns
  std::string input_;                                    // DataLink bytes not handled yet
  std::string scratch_;                                  // the message being built
  std::string client_;                                   // what ID said
  bool greeted_ = false;
  bool streaming_ = false;
  bool finished_ = false;
  int errors_ = 0;
  uint64_t cursor_ = 0;  // the next packet the client may be sent
  uint64_t work_ = 0;
  uint64_t putsStored_ = 0;
  uint64_t packetsSent_ = 0;
  std::string error_;
  int32_t errorCode_ = 0;
  std::vector<char> out_;
  size_t outHead_ = 0;
};

}  // namespace tarnserver
