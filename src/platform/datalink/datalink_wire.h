// The DataLink 1.0 wire format, without sockets: how a message is framed,
// how much data follows a header, the messages either side builds, and an
// incremental reader a client feeds with the bytes it receives
// (docs/datalink.md says what the tarn server serves).
//
// Every message, both ways, is 'D' 'L', one byte giving the header's length
// (1 to 255), the header (printable ASCII, words separated by spaces) and,
// for the messages that carry data, exactly as many data bytes as the
// header says. Which word gives that size depends on the message:
//   client:  WRITE streamid hpdatastart hpdataend flags SIZE
//            MATCH SIZE, REJECT SIZE (a pattern that is not a number may
//            also stand in the header itself, with no data: "REJECT ^XX_")
//   server:  OK value SIZE, ERROR value SIZE, INFO type SIZE,
//            PACKET streamid pktid hppackettime hpdatastart hpdataend SIZE
// Every other message (ID, POSITION, READ, STREAM, ENDSTREAM, INFO from a
// client) has no data. Times are "hptimes": integer microseconds since
// 1970-01-01 UTC.
//
// Failures are answered as texts saying why ("" when all is well).
// Thread-safety: free functions may be called from any thread; a
// DatalinkReader belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace datalink {

inline constexpr size_t kPreamble = 3;  // "DL" and the header's length
inline constexpr size_t kMaxHeader = 255;

// Who sends a message: the size of its data is found by its sender's rules.
enum class Sender { kClient, kServer };

// One message at the start of a buffer, as framing sees it.
struct Frame {
  std::string_view header;
  size_t dataSize = 0;
  size_t total = 0;  // preamble, header and data
};

enum class FrameStatus { kComplete, kIncomplete, kBad };

// Looks at the message that data[0..n) starts: kComplete with `frame`
// filled when it is whole; kIncomplete when more bytes are needed (`frame`
// already holds the header and its data size once the header is there);
// kBad, with the reason in `why`, when the bytes are not a DataLink
// message or announce more than `maxData` bytes of data. After kBad the
// stream is out of step and cannot be read further.
FrameStatus peekFrame(const char *data, size_t n, Sender from, size_t maxData, Frame &frame,
                      std::string &why);

// The words of a header (runs of characters between spaces).
std::vector<std::string_view> words(std::string_view header);
// A decimal integer, with an optional '-', that fits 64 bits; nothing else.
bool parseInteger(std::string_view text, int64_t &out);

// Appends one whole message: the preamble, `header` as it is (at most
// kMaxHeader bytes: a longer one is cut) and `data`.
void appendMessage(std::string &out, std::string_view header, std::string_view data = {});

// Server messages. The value of OK and ERROR is a number (a packet id, a
// count, or 0); text, XML and packet data follow as data.
void appendOk(std::string &out, int64_t value, std::string_view text);
void appendError(std::string &out, int64_t value, std::string_view text);
void appendInfo(std::string &out, std::string_view type, std::string_view xml);

struct PacketHeader {
  std::string streamId;
  int64_t pktid = 0;
  int64_t packetTime = 0;  // hptime the server took the packet
  int64_t dataStart = 0;   // hptime of its first sample
  int64_t dataEnd = 0;     // hptime of its last sample
  size_t size = 0;         // bytes of data
};
// Appends a PACKET message; header.size is taken from data.
void appendPacket(std::string &out, const PacketHeader &header, std::string_view data);
// Reads a PACKET header ("PACKET streamid pktid hppackettime hpdatastart
// hpdataend size"); false when it is not one.
bool parsePacketHeader(std::string_view header, PacketHeader &out);

// Client messages.
struct WriteHeader {
  std::string streamId;
  int64_t dataStart = 0;
  int64_t dataEnd = 0;
  bool ack = false;  // flags hold 'A': answer once stored
  size_t size = 0;
};
// Appends "WRITE streamid hpdatastart hpdataend A|N size" and the data.
void appendWrite(std::string &out, const WriteHeader &header, std::string_view data);
// Reads a WRITE header; "" or why it is not one. Flags are one or more of
// 'A' (acknowledge) and 'N' (no answer); 'A' wins.
std::string parseWriteHeader(std::string_view header, WriteHeader &out);
// Appends "MATCH size" or "REJECT size" with the pattern as data.
void appendPattern(std::string &out, std::string_view verb, std::string_view pattern);

// Reads messages from a stream fed in pieces of any size. Holds at most one
// message more than the caller has taken.
class DatalinkReader {
 public:
  enum class Status { kReady, kNeedMore, kBad };
  struct Message {
    std::string header;
    std::string data;
  };

  // Reads messages of `from`; data of a message is at most `maxData` bytes.
  DatalinkReader(Sender from, size_t maxData);

  void feed(const char *bytes, size_t n);
  // Takes the next whole message: kReady (it is in `message`), kNeedMore,
  // or kBad (error() says why; the reader answers kBad from then on).
  Status next(Message &message);
  const std::string &error() const { return error_; }
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  Sender from_;
  size_t maxData_;
  std::string buffer_;
  size_t start_ = 0;
  std::string error_;
};

}  // namespace datalink
