// The tarn wire protocol, shared by the client library and the server.
//
// Every message is a frame: a 4-byte little-endian body length, a 1-byte
// type, then the body. Integers are little-endian, times are IEEE doubles
// sent as their 8 raw bytes (so they travel bit for bit), texts carry a
// 1-byte length (source names) or run to the end of the body (expressions,
// error texts). docs/tarn-protocol.md describes every frame.
//
// FrameWriter appends frames to a byte buffer; FrameReader takes fields out
// of one frame body with bounds checks, so a short or lying frame is
// detected instead of read past its end. Neither keeps any state beyond the
// buffer it is given: both are safe to use on different buffers from any
// thread. The frames themselves, field by field, are in tarn_frames.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwire {

constexpr uint32_t kMagic = 0x4e524154;  // "TARN" on the wire
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 5;         // body length (4) + type (1)
constexpr size_t kTypeOffset = 4;         // of the type byte in the header
constexpr size_t kMaxControlBody = 4096;  // any frame other than a put
constexpr size_t kMaxExpression = 1024;   // select/reject expressions
constexpr size_t kMaxSrcName = 63;
constexpr size_t kPutFixed = 8 + 1;             // time + source-name length
constexpr size_t kIdentityFixed = 8 + 8;        // origin + sequence of an identified put
constexpr size_t kPacketFixed = 4 + 8 + 1;      // id + time + source-name length
constexpr uint64_t kIdModulus = 2147483648ull;  // ids run 0..2147483647
constexpr int32_t kNoPacket = -1;

// Frame types. Requests come from clients, the rest from the server.
enum Type : uint8_t {
  kHello = 'H',          // request: magic, version, mode
  kSelect = 'S',         // request: expression
  kReject = 'R',         // request: expression
  kPosition = 'P',       // request: kind, id, time
  kStart = 'G',          // request: cursor id; the server streams from there
  kPut = 'W',            // request: time, source name, bytes (no answer but acks)
  kIdentifiedPut = 'I',  // request: origin, sequence, then as kPut
  kStat = 'T',           // request: empty
  kClients = 'C',        // request: empty (servers with kFeatureClientList)

  kWelcome = 'h',     // version, max packet, instance, next id, ring size
  kCount = 'c',       // answer to select/reject: number of sources delivered
  kPositioned = 'p',  // answer to position: result, cursor id
  kPacket = 'K',      // streamed packet: id, time, source name, bytes
  kSkipped = 'k',     // streamed notice: count, first id, last id
  kAck = 'a',         // number of puts stored for this connection so far
  kStatSource = 'u',  // one source of a stat answer
  kStatEnd = 't',     // ring figures; ends a stat answer
  kClient = 'l',      // one client of a clients answer
  kClientsEnd = 'm',  // ends a clients answer
  kError = 'e',       // code and text; the server closes the connection after it
};

// Welcome features: what a server does beyond the frames every version knows.
enum Feature : uint8_t {
  kFeatureIdentifiedPuts = 1,  // takes kIdentifiedPut and stores a repeat once
  kFeatureClientList = 2,      // answers kClients
};

enum PositionKind : uint8_t {
  kNewest = 1,     // the newest packet the tag delivers
  kOldest = 2,     // the oldest packet the tag delivers
  kAtId = 3,       // the packet with this id (or the first delivered after it)
  kAfterTime = 4,  // the oldest delivered packet whose time is >= time
  kResume = 5,     // after the packet with this id and this exact time
  kResumeAt = 6,   // at the packet with this id and this exact time
};

// Results of kResume and kResumeAt (in the "result" field of kPositioned).
enum ResumeResult : int32_t {
  kResumedById = 0,     // the packet was found: the cursor is just after it
                        // (kResumeAt: at it)
  kResumeFailed = -1,   // nothing to resume at; the cursor waits for new packets
  kResumedByTime = -2,  // the packet is gone: the cursor is at the oldest
                        // delivered packet newer than the saved time
  kResumeEmpty = -3,    // the server holds no packet
};

enum ErrorCode : int32_t {
  kErrFrame = 1,     // malformed frame
  kErrTooLarge = 2,  // frame longer than the server accepts
  kErrSrcName = 3,   // source name empty or longer than 63
  kErrType = 4,      // unknown frame type
  kErrVersion = 5,   // bad magic or protocol version
  kErrOrder = 6,     // request before hello
  kErrRefused = 7,   // the client's address may not connect, or not write this
  kErrLimit = 8,     // a limit of the server: clients, memory, time without a request
};

inline int32_t idOfSeq(uint64_t seq) { return static_cast<int32_t>(seq % kIdModulus); }
inline int32_t nextId(int32_t id) {
  return static_cast<int32_t>((static_cast<uint64_t>(id) + 1) % kIdModulus);
}

// Appends frames to a byte buffer. begin() opens a frame and end() fills in
// its length, so fields are appended straight into place.
class FrameWriter {
 public:
  explicit FrameWriter(std::vector<char> &buf) : buf_(buf) {}

  void begin(Type type) {
    start_ = buf_.size();
    char header[kHeaderSize] = {};
    header[kTypeOffset] = static_cast<char>(type);
    buf_.insert(buf_.end(), header, header + kHeaderSize);
  }
  void end() {
    uint32_t len = static_cast<uint32_t>(buf_.size() - start_ - kHeaderSize);
    std::memcpy(buf_.data() + start_, &len, 4);
  }
  void u8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { raw(&v, 2); }
  void u32(uint32_t v) { raw(&v, 4); }
  void i32(int32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void f64(double v) { raw(&v, 8); }
  void name(std::string_view s) {  // 1-byte length; callers keep it <= 255
    u8(static_cast<uint8_t>(s.size()));
    raw(s.data(), s.size());
  }
  void raw(const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    buf_.insert(buf_.end(), c, c + n);
  }

 private:
  std::vector<char> &buf_;
  size_t start_ = 0;
};

// Reads the fields of one frame body. Every read checks the remaining
// length; after a failed read ok() is false and every later read yields 0.
class FrameReader {
 public:
  FrameReader(const char *body, size_t len) : p_(body), left_(len) {}

  bool ok() const { return ok_; }
  size_t left() const { return left_; }
  uint8_t u8() {
    uint8_t v = 0;
    take(&v, 1);
    return v;
  }
  uint16_t u16() {
    uint16_t v = 0;
    take(&v, 2);
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    take(&v, 4);
    return v;
  }
  int32_t i32() {
    int32_t v = 0;
    take(&v, 4);
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    take(&v, 8);
    return v;
  }
  double f64() {
    double v = 0;
    take(&v, 8);
    return v;
  }
  std::string_view name() {
    size_t n = u8();
    return bytes(n);
  }
  std::string_view bytes(size_t n) {
    if (!ok_ || n > left_) {
      ok_ = false;
      return {};
    }
    std::string_view s(p_, n);
    p_ += n;
    left_ -= n;
    return s;
  }
  std::string_view rest() { return bytes(left_); }

 private:
  void take(void *out, size_t n) {
    if (!ok_ || n > left_) {
      ok_ = false;
      return;
    }
    std::memcpy(out, p_, n);
    p_ += n;
    left_ -= n;
  }
  const char *p_;
  size_t left_;
  bool ok_ = true;
};

// The header of the frame at `p` when `avail` bytes hold at least a header.
struct FrameHeader {
  uint32_t length = 0;
  Type type = kError;
};
inline bool peekHeader(const char *p, size_t avail, FrameHeader &h) {
  if (avail < kHeaderSize) return false;
  std::memcpy(&h.length, p, 4);
  h.type = static_cast<Type>(static_cast<uint8_t>(p[kTypeOffset]));
  return true;
}

}  // namespace tarnwire
