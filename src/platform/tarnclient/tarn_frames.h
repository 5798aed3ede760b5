// The frames of the tarn wire protocol, each written down once: a struct
// per frame whose fields() lists its fields in wire order, and encode() and
// decode() that walk that list. The client library and the server both use
// them, so this file is the one place that says in which order a frame's
// fields travel; docs/tarn-protocol.md describes the same frames for people.
//
// decode() reads a frame body's fields in order and returns false when the
// body ends before the last one (a frame cut short). Bytes after the last
// field are ignored. A name or a text decoded is a view into the body: it
// lives as long as the body's buffer. A frame whose last field runs to the
// end of the body (a put's or a packet's bytes, a text) therefore decodes
// from any prefix that holds its other fields, with that field cut short.
// A field read with optional() was added to a frame later: a body that ends
// before it (from an older peer) leaves it 0 and still decodes.
//
// encode() appends the whole frame, header included, to a buffer. It takes
// the frame by value (frames are a few numbers and views) and checks
// nothing: callers keep names to at most kMaxSrcName bytes and bodies within
// the limits of tarn_wire.h.
//
// Thread-safety: pure functions of buffers the caller owns.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/tarnclient/tarn_wire.h"

namespace tarnwire {

// ---- requests (client to server) ----

struct Hello {
  static constexpr Type kType = kHello;
  uint32_t magic = kMagic;
  uint16_t version = kVersion;
  uint8_t mode = 0;  // 1: the client has packets to put
  template <class V>
  void fields(V &v) {
    v(magic);
    v(version);
    v(mode);
  }
  bool operator==(const Hello &) const = default;
};

// Select and reject: a POSIX extended regular expression ("" lifts it).
template <Type T>
struct ExpressionRequest {
  static constexpr Type kType = T;
  std::string_view expression;
  template <class V>
  void fields(V &v) {
    v.rest(expression);
  }
  bool operator==(const ExpressionRequest &) const = default;
};
using Select = ExpressionRequest<kSelect>;
using Reject = ExpressionRequest<kReject>;

struct Position {
  static constexpr Type kType = kPosition;
  uint8_t kind = kNewest;  // a PositionKind; the server checks the range
  int32_t id = 0;
  double time = 0.0;
  template <class V>
  void fields(V &v) {
    v(kind);
    v(id);
    v(time);
  }
  bool operator==(const Position &) const = default;
};

struct Start {
  static constexpr Type kType = kStart;
  int32_t cursor = 0;  // the id the stream starts from
  template <class V>
  void fields(V &v) {
    v(cursor);
  }
  bool operator==(const Start &) const = default;
};

struct Put {
  static constexpr Type kType = kPut;
  double time = 0.0;
  std::string_view source;
  std::string_view bytes;
  template <class V>
  void fields(V &v) {
    v(time);
    v.name(source);
    v.rest(bytes);
  }
  bool operator==(const Put &) const = default;
};

// A put that says which packet it is: the server stores a packet once per
// (origin, sequence) within its window and acknowledges a repeat without
// storing it. Sent only to servers whose welcome has kFeatureIdentifiedPuts.
struct IdentifiedPut {
  static constexpr Type kType = kIdentifiedPut;
  uint64_t origin = 0;
  uint64_t sequence = 0;
  double time = 0.0;
  std::string_view source;
  std::string_view bytes;
  template <class V>
  void fields(V &v) {
    v(origin);
    v(sequence);
    v(time);
    v.name(source);
    v.rest(bytes);
  }
  bool operator==(const IdentifiedPut &) const = default;
};

struct Stat {
  static constexpr Type kType = kStat;
  template <class V>
  void fields(V &) {}
  bool operator==(const Stat &) const = default;
};

struct Clients {
  static constexpr Type kType = kClients;
  template <class V>
  void fields(V &) {}
  bool operator==(const Clients &) const = default;
};

// ---- answers and streamed frames (server to client) ----

struct Welcome {
  static constexpr Type kType = kWelcome;
  uint16_t version = kVersion;
  uint32_t maxPacket = 0;
  uint64_t instance = 0;  // the ring's; the same after a restart on its file
  int32_t nextId = 0;     // the id the next packet stored gets
  uint64_t ringBytes = 0;
  uint8_t features = 0;  // Feature bits; older servers send none
  template <class V>
  void fields(V &v) {
    v(version);
    v(maxPacket);
    v(instance);
    v(nextId);
    v(ringBytes);
    v.optional(features);
  }
  bool operator==(const Welcome &) const = default;
};

struct Count {
  static constexpr Type kType = kCount;
  int32_t sources = 0;      // sources now delivered, or -1: expression refused
  std::string_view reason;  // why it was refused
  template <class V>
  void fields(V &v) {
    v(sources);
    v.rest(reason);
  }
  bool operator==(const Count &) const = default;
};

struct Positioned {
  static constexpr Type kType = kPositioned;
  int32_t result = 0;
  int32_t cursor = 0;  // the id the next start request would stream from
  template <class V>
  void fields(V &v) {
    v(result);
    v(cursor);
  }
  bool operator==(const Positioned &) const = default;
};

struct Packet {
  static constexpr Type kType = kPacket;
  int32_t id = 0;
  double time = 0.0;
  std::string_view source;
  std::string_view bytes;
  template <class V>
  void fields(V &v) {
    v(id);
    v(time);
    v.name(source);
    v.rest(bytes);
  }
  bool operator==(const Packet &) const = default;
};

// Packets the ring dropped before this reader was sent them.
struct Skipped {
  static constexpr Type kType = kSkipped;
  uint64_t count = 0;
  int32_t firstId = 0;
  int32_t lastId = 0;
  template <class V>
  void fields(V &v) {
    v(count);
    v(firstId);
    v(lastId);
  }
  bool operator==(const Skipped &) const = default;
};

struct Ack {
  static constexpr Type kType = kAck;
  uint64_t puts = 0;  // puts stored so far from this connection
  template <class V>
  void fields(V &v) {
    v(puts);
  }
  bool operator==(const Ack &) const = default;
};

struct StatSource {
  static constexpr Type kType = kStatSource;
  uint64_t packets = 0;
  double newestTime = 0.0;
  std::string_view source;
  double arrival = 0.0;  // when its newest packet arrived, server's clock; 0: not known
  template <class V>
  void fields(V &v) {
    v(packets);
    v(newestTime);
    v.name(source);
    v.optional(arrival);
  }
  bool operator==(const StatSource &) const = default;
};

struct StatEnd {
  static constexpr Type kType = kStatEnd;
  uint64_t ringBytes = 0, usedBytes = 0, packets = 0;
  int32_t oldestId = kNoPacket, newestId = kNoPacket;
  double oldestTime = 0.0, newestTime = 0.0;
  uint64_t dropped = 0;
  uint32_t clients = 0, maxPacket = 0;
  bool inFile = false;
  bool sourcesCut = false;  // more sources than one answer lists
  uint64_t instance = 0;
  uint64_t repeats = 0;  // identified puts acknowledged as repeats, not stored
  double serverTime = 0.0;  // the server's clock when it answered; 0 from older servers
  template <class V>
  void fields(V &v) {
    v(ringBytes);
    v(usedBytes);
    v(packets);
    v(oldestId);
    v(newestId);
    v(oldestTime);
    v(newestTime);
    v(dropped);
    v(clients);
    v(maxPacket);
    v(inFile);
    v(sourcesCut);
    v(instance);
    v.optional(repeats);
    v.optional(serverTime);
  }
  bool operator==(const StatEnd &) const = default;
};

// One client of a server, for a clients answer.
struct Client {
  static constexpr Type kType = kClient;
  std::string_view peer;      // address:port
  std::string_view protocol;  // "tarn", "seedlink 3.1", "seedlink 4.0 websocket"...
  std::string_view identity;  // what it says it is ("" when it says nothing)
  double since = 0.0;         // connected (epoch seconds, server's clock)
  uint64_t bytesIn = 0, bytesOut = 0;
  uint64_t packetsIn = 0, packetsOut = 0;  // puts stored, packets sent
  std::string_view activity;               // what it reads or writes
  template <class V>
  void fields(V &v) {
    v.name(peer);
    v.name(protocol);
    v.name(identity);
    v(since);
    v(bytesIn);
    v(bytesOut);
    v(packetsIn);
    v(packetsOut);
    v.rest(activity);
  }
  bool operator==(const Client &) const = default;
};

struct ClientsEnd {
  static constexpr Type kType = kClientsEnd;
  uint32_t listed = 0;
  uint32_t clients = 0;  // all the server has (more than listed: cut short)
  template <class V>
  void fields(V &v) {
    v(listed);
    v(clients);
  }
  bool operator==(const ClientsEnd &) const = default;
};

// The server closes the connection after it.
struct Error {
  static constexpr Type kType = kError;
  int32_t code = 0;  // an ErrorCode
  std::string_view text;
  template <class V>
  void fields(V &v) {
    v(code);
    v.rest(text);
  }
  bool operator==(const Error &) const = default;
};

// ---- walking the fields ----

namespace detail {

class FieldWriter {
 public:
  explicit FieldWriter(FrameWriter &w) : w_(w) {}
  void operator()(uint8_t v) { w_.u8(v); }
  void operator()(bool v) { w_.u8(v ? 1 : 0); }
  void operator()(uint16_t v) { w_.u16(v); }
  void operator()(uint32_t v) { w_.u32(v); }
  void operator()(int32_t v) { w_.i32(v); }
  void operator()(uint64_t v) { w_.u64(v); }
  void operator()(double v) { w_.f64(v); }
  void name(std::string_view s) { w_.name(s); }
  void rest(std::string_view s) { w_.raw(s.data(), s.size()); }
  template <class T>
  void optional(T v) {
    (*this)(v);
  }

 private:
  FrameWriter &w_;
};

class FieldReader {
 public:
  explicit FieldReader(FrameReader &r) : r_(r) {}
  void operator()(uint8_t &v) { v = r_.u8(); }
  void operator()(bool &v) { v = r_.u8() != 0; }
  void operator()(uint16_t &v) { v = r_.u16(); }
  void operator()(uint32_t &v) { v = r_.u32(); }
  void operator()(int32_t &v) { v = r_.i32(); }
  void operator()(uint64_t &v) { v = r_.u64(); }
  void operator()(double &v) { v = r_.f64(); }
  void name(std::string_view &s) { s = r_.name(); }
  void rest(std::string_view &s) { s = r_.rest(); }
  template <class T>
  void optional(T &v) {
    if (r_.left() >= sizeof v) (*this)(v);
  }

 private:
  FrameReader &r_;
};

}  // namespace detail

// Appends `frame`, header and body, to `out`.
template <class F>
void encode(std::vector<char> &out, F frame) {
  FrameWriter w(out);
  w.begin(F::kType);
  detail::FieldWriter fields(w);
  frame.fields(fields);
  w.end();
}

// `frame` as a buffer of its own.
template <class F>
std::vector<char> encoded(const F &frame) {
  std::vector<char> out;
  encode(out, frame);
  return out;
}

// Reads the fields of a frame body into `frame`; false when the body is too
// short for them (the fields read before the end then hold what was read,
// the others 0 or empty).
template <class F>
bool decode(std::string_view body, F &frame) {
  FrameReader r(body.data(), body.size());
  detail::FieldReader fields(r);
  frame.fields(fields);
  return r.ok();
}

}  // namespace tarnwire
