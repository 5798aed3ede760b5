#include "tarnserver/websocket.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <vector>

namespace tarnserver {
namespace {

// ---- SHA-1 (FIPS 180-4), only for the handshake's accept value ----

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void sha1Block(std::array<uint32_t, 5> &h, const unsigned char *block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
           uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6;
    }
    uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = rotl(b, 30), b = a, a = t;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

// ---- the opening request ----

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The comma-separated tokens of a header value, trimmed.
std::vector<std::string_view> tokens(std::string_view value) {
  std::vector<std::string_view> out;
  while (true) {
    size_t comma = value.find(',');
    std::string_view t = trim(value.substr(0, comma));
    if (!t.empty()) out.push_back(t);
    if (comma == std::string_view::npos) return out;
    value.remove_prefix(comma + 1);
  }
}

bool hasToken(std::string_view value, std::string_view want) {
  for (std::string_view t : tokens(value)) {
    if (lower(t) == want) return true;
  }
  return false;
}

// A key is base64 of 16 bytes: 22 characters and "==".
bool validKey(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  return std::all_of(key.begin(), key.begin() + 22, [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
  });
}

WebSocketHandshake refuse(WebSocketHandshake h, int code, const std::string &why,
                          std::string_view extraHeader = "") {
  const char *text = code == 426   ? "Upgrade Required"
                     : code == 431 ? "Request Header Fields Too Large"
                     : code == 403 ? "Forbidden"
                                   : "Bad Request";
  std::string body = "WebSocket refused: " + why + "\n";
  h.status = WebSocketHandshake::Status::Refused;
  h.reason = why;
  h.answer = "HTTP/1.1 " + std::to_string(code) + " " + text +
             "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nConnection: close\r\n" + std::string(extraHeader) + "\r\n" + body;
  return h;
}

// At most 200 bytes of a client's text, for an answer and the log: what
// is not printable ASCII becomes '?'.
std::string printable(std::string_view text) {
  std::string out(text.substr(0, 200));
  for (char &c : out) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return out;
}

// The headers the handshake looks at.
struct Request {
  std::string upgrade, connection, version, key, protocols, origin;
  int keys = 0, origins = 0;
};

// Reads "Name: value" lines; false (and *why) on a malformed line.
bool readHeaders(std::string_view lines, Request *r, std::string *why) {
  while (!lines.empty()) {
    size_t end = lines.find("\r\n");
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') {
      *why = "malformed header line";
      return false;
    }
    std::string name = lower(line.substr(0, colon));
    std::string_view value = trim(line.substr(colon + 1));
    auto append = [&](std::string &to) {
      if (!to.empty()) to += ',';
      to += value;
    };
    if (name == "upgrade") append(r->upgrade);
    if (name == "connection") append(r->connection);
    if (name == "sec-websocket-version") append(r->version);
    if (name == "sec-websocket-protocol") append(r->protocols);
    if (name == "sec-websocket-key") r->key = value, ++r->keys;
    if (name == "origin") r->origin = value, ++r->origins;
  }
  return true;
}

}  // namespace

std::string sha1Digest(std::string_view data) {
  std::array<uint32_t, 5> h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t whole = data.size() / 64 * 64;
  for (size_t at = 0; at < whole; at += 64) {
    sha1Block(h, reinterpret_cast<const unsigned char *>(data.data()) + at);
  }
  // The tail, a 1 bit, zeros and the length in bits fill one or two blocks.
  unsigned char tail[128] = {};
  size_t rest = data.size() - whole;
  std::memcpy(tail, data.data() + whole, rest);
  tail[rest] = 0x80;
  size_t blocks = rest + 9 > 64 ? 2 : 1;
  uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i)
    tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (size_t b = 0; b < blocks; ++b) sha1Block(h, tail + 64 * b);
  std::string out(20, '\0');
  for (int i = 0; i < 20; ++i) out[i] = static_cast<char>(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

std::string base64Encode(std::string_view data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = uint32_t(static_cast<unsigned char>(data[i])) << 16;
    if (i + 1 < data.size()) n |= uint32_t(static_cast<unsigned char>(data[i + 1])) << 8;
    if (i + 2 < data.size()) n |= static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < data.size() ? kAlphabet[n >> 6 & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

std::string webSocketAccept(std::string_view key) {
  return base64Encode(sha1Digest(std::string(key) + std::string(kGuid)));
}

WebSocketHandshake readHandshake(const char *data, size_t n, const WebSocketLimits &limits) {
  WebSocketHandshake h;
  std::string_view text(data, std::min(n, limits.maxRequest));
  size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (n < limits.maxRequest) return h;
    return refuse(h, 431, "request longer than " + std::to_string(limits.maxRequest) + " bytes");
  }
  h.used = end + 4;
  size_t lineEnd = text.find("\r\n");
  std::string_view requestLine = text.substr(0, lineEnd);
  if (requestLine.substr(0, 4) != "GET " || requestLine.size() < 14 ||
      requestLine.substr(requestLine.size() - 9) != " HTTP/1.1") {
    return refuse(h, 400, "not an HTTP/1.1 GET request");
  }
  Request r;
  std::string why;
  if (lineEnd < end && !readHeaders(text.substr(lineEnd + 2, end - lineEnd - 2), &r, &why)) {
    return refuse(h, 400, why);
  }
  if (!hasToken(r.upgrade, "websocket") || !hasToken(r.connection, "upgrade")) {
    return refuse(h, 400, "not a WebSocket upgrade: this is a " + limits.port + " port");
  }
  if (trim(r.version) != "13") {
    return refuse(h, 426, "WebSocket version 13 only", "Sec-WebSocket-Version: 13\r\n");
  }
  if (r.keys != 1 || !validKey(r.key)) return refuse(h, 400, "bad Sec-WebSocket-Key");
  if (limits.origins && r.origins > 0 &&
      (r.origins > 1 || !limits.origins->allowsOrigin(r.origin))) {
    return refuse(h, 403,
                  "pages of origin '" + printable(r.origin) +
                      "' may not read this SeedLink port (tarnserver --seedlink-origin allows it)");
  }
  for (std::string_view asked : tokens(r.protocols)) {
    for (const std::string &known : limits.protocols) {
      if (asked == known) h.protocol = known;
    }
    if (!h.protocol.empty()) break;
  }
  if (h.protocol.empty()) {
    std::string wanted;
    for (const std::string &known : limits.protocols)
      wanted += (wanted.empty() ? "" : " or ") + known;
    return refuse(h, 400,
                  "subprotocol " + wanted + " needed (asked: " +
                      (r.protocols.empty() ? std::string("none") : printable(r.protocols)) + ")");
  }
  h.status = WebSocketHandshake::Status::Accepted;
  h.answer =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      webSocketAccept(r.key) + "\r\nSec-WebSocket-Protocol: " + h.protocol + "\r\n\r\n";
  return h;
}

size_t wsFrameHead(char *head, WsOpcode op, uint64_t n) {
  head[0] = static_cast<char>(0x80 | static_cast<uint8_t>(op));
  if (n < 126) {
    head[1] = static_cast<char>(n);
    return 2;
  }
  if (n <= 0xFFFF) {
    head[1] = 126;
    head[2] = static_cast<char>(n >> 8);
    head[3] = static_cast<char>(n);
    return 4;
  }
  head[1] = 127;
  for (int i = 0; i < 8; ++i) head[2 + i] = static_cast<char>(n >> (8 * (7 - i)));
  return 10;
}

void appendWsFrame(std::string *out, WsOpcode op, std::string_view payload) {
  char head[10];
  out->append(head, wsFrameHead(head, op, payload.size()));
  out->append(payload);
}

void appendWsClose(std::string *out, uint16_t code, std::string_view reason) {
  std::string body;
  body.push_back(static_cast<char>(code >> 8));
  body.push_back(static_cast<char>(code));
  body.append(reason.substr(0, 123));
  appendWsFrame(out, WsOpcode::Close, body);
}

ssize_t WebSocketDecoder::fail(std::string *reply, uint16_t code, const std::string &why) {
  error_ = why;
  closed_ = true;
  appendWsClose(reply, code, why);
  return -1;
}

bool WebSocketDecoder::control(WsOpcode op, std::string_view body, std::string *reply) {
  if (op == WsOpcode::Ping) {
    appendWsFrame(reply, WsOpcode::Pong, body);
  } else if (op == WsOpcode::Close) {
    if (body.size() == 1) return false;
    uint16_t code = kWsCloseNormal;
    if (body.size() >= 2) {
      code = static_cast<uint16_t>(static_cast<unsigned char>(body[0]) << 8 |
                                   static_cast<unsigned char>(body[1]));
      // Codes a peer may not send, or that are not defined.
      if (code < 1000 || code == 1004 || code == 1005 || code == 1006 ||
          (code > 1014 && code < 3000) || code > 4999) {
        return false;
      }
    }
    appendWsClose(reply, code, "");
    closed_ = true;
  }
  return true;  // a pong needs nothing
}

ssize_t WebSocketDecoder::decode(const char *data, size_t n, std::string *payload,
                                 std::string *reply) {
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  size_t at = 0;
  while (!closed_ && n - at >= 2) {
    bool fin = p[at] & 0x80;
    auto op = static_cast<WsOpcode>(p[at] & 0x0F);
    bool isControl = p[at] & 0x08;
    if (p[at] & 0x70) return fail(reply, kWsCloseProtocolError, "reserved bits set");
    if (!(p[at + 1] & 0x80)) return fail(reply, kWsCloseProtocolError, "client frame not masked");
    uint64_t len = p[at + 1] & 0x7F;
    size_t header = 2;
    if (len == 126 || len == 127) {
      size_t extra = len == 126 ? 2 : 8;
      if (n - at < 2 + extra) break;
      len = 0;
      for (size_t i = 0; i < extra; ++i) len = len << 8 | p[at + 2 + i];
      header += extra;
      if ((extra == 2 && len < 126) || (extra == 8 && len <= 0xFFFF)) {
        return fail(reply, kWsCloseProtocolError, "frame length not in its shortest form");
      }
    }
    switch (op) {
      case WsOpcode::Continuation:
      case WsOpcode::Text:
      case WsOpcode::Binary:
      case WsOpcode::Close:
      case WsOpcode::Ping:
      case WsOpcode::Pong:
        break;
      default:
        return fail(reply, kWsCloseProtocolError,
                    "reserved opcode " + std::to_string(static_cast<int>(op)));
    }
    if (isControl && (!fin || len > 125)) {
      return fail(reply, kWsCloseProtocolError, "fragmented or long control frame");
    }
    if (len > limits_.maxFrame) {
      return fail(reply, kWsCloseTooBig,
                  "frame longer than " + std::to_string(limits_.maxFrame) + " bytes");
    }
    if (!isControl && (op == WsOpcode::Continuation) != inMessage_) {
      return fail(reply, kWsCloseProtocolError,
                  inMessage_ ? "new message inside a fragmented one" : "continuation of nothing");
    }
    header += 4;  // the mask
    if (n - at < header + len) break;
    const unsigned char *mask = p + at + header - 4;
    std::string body(reinterpret_cast<const char *>(p + at + header), len);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ mask[i % 4]);
    at += header + len;
    if (isControl) {
      if (!control(op, body, reply)) return fail(reply, kWsCloseProtocolError, "bad close frame");
    } else {
      payload->append(body);
      inMessage_ = !fin;
    }
  }
  return static_cast<ssize_t>(at);
}

}  // namespace tarnserver
