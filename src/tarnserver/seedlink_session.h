// One SeedLink client's conversation (protocol 3.1, or 4.0 after SLPROTO),
// apart from its socket and from how its bytes travel (SeedlinkTransport).
// docs/seedlink.md lists the commands served.
//
// Handshake: the client sends command lines (ended by CR, LF or both, at
// most kMaxLine bytes); each gets its answer (OK, ERROR, HELLO's two lines,
// INFO's packets). STATION opens a station selection (v3: one station and
// network, v4: a NET_STA pattern); SELECT adds stream selectors to it;
// DATA, FETCH and TIME arm it with a start (a sequence number and/or a
// time) and an optional end time. Without STATION one selection of every
// station is used; a v3 DATA, FETCH or TIME without STATION starts the
// transfer at once (3.1's uni-station mode). END (or v4's ENDFETCH)
// starts it for the armed selections.
//
// Transfer: the ring's miniSEED packets, in ring order from the earliest
// armed start, each record as one SeedLink packet numbered after its ring
// sequence: v4 gets the 64-bit sequence (whose low 31 bits are the packet
// id), v3 the sequence modulo 2^24. Other packets are never sent. A v3
// client is never sent a record larger than 512 bytes. FETCH ends the
// transfer (v3 with "END") once the ring's end is reached; so does a
// transfer whose every selection has an end time the ring has passed.
//
// Resuming: v3 "DATA n" names the last packet received: the transfer
// starts after the newest packet of the ring whose sequence has those 24
// low bits. v4 "DATA n" names the next packet wanted. A number the ring no
// longer holds starts with the oldest packet (or at the time, when one is
// given).
//
// Bounds: kMaxStations selections, kMaxSelectors selectors each and
// kMaxAllSelectors in all (their memory counts in memoryHeld()), lines of
// kMaxLine bytes (a longer one is answered with an error and the client
// dropped; so is one with kMaxErrors refused commands), and per consume()
// call at most kLinesPerTurn commands and SessionLimits::outputLimit bytes
// of output.
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarnserver/client_session.h"
#include "tarnserver/ring.h"
#include "tarnserver/seedlink_selection.h"
#include "tarnserver/session.h"
#include "tarnserver/session_transport.h"

namespace tarnserver {

// How a SeedLink session's bytes travel (plain, or WebSocket).
using SeedlinkTransport = SessionTransport;

class SeedlinkSession : public Session {
 public:
  static constexpr size_t kMaxLine = 256;
  static constexpr size_t kMaxStations = 1024;
  static constexpr size_t kMaxSelectors = 64;       // per station
  static constexpr size_t kMaxAllSelectors = 2048;  // per client
  static constexpr int kLinesPerTurn = 256;
  static constexpr int kMaxErrors = 16;  // error answers before the client is dropped

  // `figures` (the server's, perhaps null) lists the clients for INFO
  // CONNECTIONS.
  SeedlinkSession(Ring &ring, const SessionLimits &limits, ClientAccess access,
                  std::unique_ptr<SeedlinkTransport> transport,
                  const ServerFigures *figures = nullptr);

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
  bool writer() const override { return false; }
  bool helloDone() const override { return greeted_; }
  uint64_t putsStored() const override { return 0; }
  uint64_t packetsSent() const override { return packetsSent_; }
  const std::string &error() const override { return error_; }
  int32_t errorCode() const override { return errorCode_; }
  size_t memoryHeld() const override {
    return out_.capacity() + input_.capacity() + transport_->memoryHeld() +
           selections_.capacity() * sizeof(Selection) + selectorCount_ * sizeof(StreamSelector) +
           verdicts_.capacity() * sizeof(Verdict);
  }
  int version() const { return version_; }
  SessionInfo info() const override;

 private:
  struct Selection {
    std::string network, station;  // patterns
    std::vector<StreamSelector> selectors;
    bool armed = false;
    uint64_t startSeq = 0;
    double start = -std::numeric_limits<double>::infinity();
    double end = std::numeric_limits<double>::infinity();
  };
  enum class Start { kData, kFetch, kTime };
  // Per source slot: the selection that takes it (-1 none, -2 not looked
  // at yet), and what its packets' headers carry.
  struct Verdict {
    int32_t selection = -2;
    char type = 'D';
    std::string stationId;
  };

  bool handleLine(std::string_view line);
  bool command(const std::string &verb, const std::vector<std::string> &args);
  std::vector<std::string> capabilities() const;
  bool onHello();
  bool onSlproto(const std::vector<std::string> &args);
  bool onStation(const std::vector<std::string> &args);
  bool onSelect(const std::vector<std::string> &args);
  bool onStart(Start kind, const std::vector<std::string> &args);
  bool onEnd(bool fetch);
  bool onInfo(const std::vector<std::string> &args);
  bool arm(Selection &sel, Start kind, const std::vector<std::string> &args);
  uint64_t startOf(const std::vector<std::string> &args, bool &seqGiven, bool &ok);
  std::string tooLargeForV3(const Selection &sel);
  void beginTransfer(bool fetch);
  Selection &current();

  void ok();
  // v4: "ERROR CODE text"; v3: "ERROR text". Returns true (the session goes on).
  bool answerError(const char *code, const std::string &text);
  bool fatal(const char *code, const std::string &text);
  void message(std::string_view bytes);
  void sendPacket(uint64_t seq);
  const Verdict &verdictOf(uint32_t sourceIdx);
  bool takes(const Selection &sel, const StreamId &id) const;
  void checkEnd();

  Ring &ring_;
  const SessionLimits limits_;
  const ClientAccess access_;
  std::unique_ptr<SeedlinkTransport> transport_;
  const ServerFigures *figures_;
  std::string userAgent_;  // what USERAGENT said
  std::string input_;  // command bytes not handled yet
  std::string scratch_;
  int version_ = 3;
  bool greeted_ = false;    // a first command came
  bool committed_ = false;  // past SLPROTO's turn (a selection was made)
  bool streaming_ = false;
  bool fetch_ = false;
  bool finished_ = false;
  bool windowed_ = false;  // every armed selection has an end time
  std::vector<Selection> selections_;
  int current_ = -1;               // the selection STATION opened last
  bool implicit_ = false;          // current_ was opened without STATION
  int errors_ = 0;                 // error answers so far
  size_t selectorCount_ = 0;       // of every selection
  std::vector<Verdict> verdicts_;  // per source slot
  uint64_t verdictGeneration_ = UINT64_MAX;
  uint64_t cursor_ = 0;
  uint64_t packetsSent_ = 0;
  uint64_t work_ = 0;
  std::string error_;
  int32_t errorCode_ = 0;
  std::vector<char> out_;
  size_t outHead_ = 0;
};

}  // namespace tarnserver
