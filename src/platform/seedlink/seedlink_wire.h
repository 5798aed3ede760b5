// The SeedLink wire format, both versions, without sockets: the headers a
// server writes before each packet, and an incremental reader a client feeds
// with the bytes it receives (docs/seedlink.md says what is served).
//
// Protocol 3.1 sends every packet as an 8-byte header and one 512-byte
// miniSEED record: "SL" and the sequence number as six upper-case hex digits
// (the sequence modulo 2^24), or "SLINFO *" (more INFO packets follow) /
// "SLINFO  " (the last one) for the answers to INFO.
//
// Protocol 4.0 sends a 17-byte fixed header, the station id and the payload:
//   "SE", format (char), subformat (char), payload length (uint32, little
//   endian), sequence number (uint64, little endian), station id length
//   (uint8), station id ("NET_STA"), payload.
// Formats are '2' (miniSEED 2), '3' (miniSEED 3) and 'J' (JSON); subformats
// 'D' data, 'E' event, 'C' calibration, 'T' timing, 'L' log, 'O' opaque,
// and, with format 'J', 'I' for an INFO answer and 'E' for an error one.
//
// Before data flows, a server answers commands with lines ending in CR LF.
//
// Thread-safety: free functions may be called from any thread; a
// PacketReader belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seedlink {

inline constexpr size_t kV3HeaderLength = 8;
inline constexpr size_t kV3RecordLength = 512;
inline constexpr uint64_t kV3SequenceModulo = uint64_t{1} << 24;
inline constexpr size_t kV4FixedHeaderLength = 17;
// The sequence number of a v4 packet that has none (INFO answers).
inline constexpr uint64_t kNoSequence = UINT64_MAX;

inline constexpr char kFormatMseed2 = '2';
inline constexpr char kFormatMseed3 = '3';
inline constexpr char kFormatJson = 'J';
inline constexpr char kSubformatData = 'D';
inline constexpr char kSubformatInfo = 'I';
inline constexpr char kSubformatInfoError = 'E';  // with format 'J'

// Appends "SL" and the sequence's low 24 bits as six upper-case hex digits.
void appendV3DataHeader(std::string &out, uint64_t sequence);
// Appends "SLINFO *" when more INFO packets follow, else "SLINFO  ".
void appendV3InfoHeader(std::string &out, bool more);
// Appends a v4 header announcing `payloadLength` bytes of payload. The
// station id is cut to 255 bytes (no "NET_STA" comes near).
void appendV4Header(std::string &out, char format, char subformat, uint32_t payloadLength,
                    uint64_t sequence, std::string_view stationId);

// The 24-bit number a v3 client sees for a sequence.
inline uint64_t v3Sequence(uint64_t sequence) { return sequence % kV3SequenceModulo; }

// One packet as read off the wire.
struct Packet {
  int version = 0;                  // 3 or 4
  bool info = false;                // an INFO answer (v3 "SLINFO", v4 subformat I or R)
  bool infoMore = false;            // v3: more INFO packets follow
  char format = 0;                  // v4's format; '2' for v3 packets
  char subformat = 0;               // v4's subformat; 'D' for v3 data, 'I' for v3 INFO
  uint64_t sequence = kNoSequence;  // v3: the 24-bit number; kNoSequence for v3 INFO
  std::string stationId;            // v4 only
  std::string payload;
};

// Reads packets and answer lines from a stream fed in pieces of any size.
// Holds at most one packet (or line) more than the caller has taken.
class PacketReader {
 public:
  // kEnd: a v3 server's "END" in place of a packet: the transfer (FETCH, or
  // a time window) is complete and the server closes the connection.
  enum class Status { kReady, kNeedMore, kBad, kEnd };

  // `maxPayload` bounds a v4 payload length; `maxLine` an answer line.
  explicit PacketReader(size_t maxPayload = 1 << 20, size_t maxLine = 4096);

  void feed(const char *bytes, size_t n);
  // Takes the next whole packet: kReady (it is in `packet`), kNeedMore, kEnd
  // (the END marker, taken), or kBad (a bad signature, sequence or length; error() says which).
  // After kBad the stream is out of step; the reader answers kBad from then on.
  Status nextPacket(Packet &packet);
  // Takes the next answer line without its CR LF (a lone LF ends one too):
  // kReady, kNeedMore, or kBad when a line runs past `maxLine` bytes.
  Status nextLine(std::string &line);

  // What the bytes not yet taken begin: a packet ("SL" or "SE") or an
  // answer line (anything else); kNeedMore while fewer than two are there.
  // For a client whose command is answered either way (INFO: packets, or
  // an ERROR line).
  enum class Next { kPacket, kLine, kNeedMore };
  Next peek() const;

  const std::string &error() const { return error_; }
  // Bytes fed and not yet taken.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  Status fail(std::string why);
  Status readV3(Packet &packet);
  Status readV4(Packet &packet);
  void consume(size_t n);

  size_t maxPayload_;
  size_t maxLine_;
  std::string buffer_;
  size_t start_ = 0;  // where untaken bytes begin in buffer_
  std::string error_;
};

}  // namespace seedlink
