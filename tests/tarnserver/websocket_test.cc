// The WebSocket codec on its own: the opening request and its answers,
// client frames (masked, fragmented, broken) and server frames.
#include <gtest/gtest.h>

#include <string>

#include "tarnserver/websocket.h"

namespace tarnserver {
namespace {

std::string hex(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    out += "0123456789abcdef"[c >> 4];
    out += "0123456789abcdef"[c & 15];
  }
  return out;
}

std::string request(const std::string &protocols, const std::string &extra = "") {
  return "GET /seedlink HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
         "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Version: 13\r\n" +
         (protocols.empty() ? "" : "Sec-WebSocket-Protocol: " + protocols + "\r\n") + extra +
         "\r\n";
}

WebSocketHandshake handshake(const std::string &text, WebSocketLimits limits = {}) {
  return readHandshake(text.data(), text.size(), limits);
}

// A masked client frame, put together by hand.
std::string clientFrame(int first, const std::string &body, bool masked = true) {
  std::string f(1, static_cast<char>(first));
  size_t n = body.size();
  char m = masked ? '\x80' : 0;
  if (n < 126) {
    f += static_cast<char>(m | n);
  } else {
    f += static_cast<char>(m | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n);
  }
  const char mask[4] = {'\x37', '\xfa', '\x21', '\x3d'};
  if (masked) f.append(mask, 4);
  for (size_t i = 0; i < n; ++i) f += masked ? static_cast<char>(body[i] ^ mask[i % 4]) : body[i];
  return f;
}

TEST(WebSocketHandshakeTest, DigestsAndTheRfcExampleAccept) {
  EXPECT_EQ(hex(sha1Digest("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(sha1Digest("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(sha1Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(sha1Digest(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshakeTest, AcceptsASeedLinkSubprotocolAndLeavesWhatFollows) {
  std::string text = request("chat, SeedLink4.0, SeedLink3.1");
  WebSocketHandshake h = handshake(text + "\x81\x80");
  ASSERT_EQ(h.status, WebSocketHandshake::Status::Accepted) << h.reason;
  EXPECT_EQ(h.used, text.size());
  EXPECT_EQ(h.protocol, "SeedLink4.0");
  EXPECT_EQ(h.answer,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Sec-WebSocket-Protocol: SeedLink4.0\r\n\r\n");
  EXPECT_EQ(handshake(request("SeedLink3.1")).protocol, "SeedLink3.1");
  // Every prefix is incomplete.
  for (size_t n = 0; n < text.size(); ++n) {
    EXPECT_EQ(handshake(text.substr(0, n)).status, WebSocketHandshake::Status::Incomplete) << n;
  }
}

TEST(WebSocketHandshakeTest, RefusesWithAnAnswerNamingWhy) {
  struct Case {
    std::string text, status, why;
  } cases[] = {
      {request(""), "400", "subprotocol SeedLink3.1 or SeedLink4.0 needed (asked: none)"},
      {request("SeedLink2.0, chat\x01\xff"), "400", "(asked: SeedLink2.0, chat?\?)"},
      {"POST / HTTP/1.1\r\n\r\n", "400", "not an HTTP/1.1 GET request"},
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "400", "not a WebSocket upgrade"},
      {request("SeedLink3.1", "Bad line\r\n"), "400", "malformed header line"},
      {request("SeedLink3.1", "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n"), "400",
       "bad Sec-WebSocket-Key"},
      {request("SeedLink3.1", "Sec-WebSocket-Version: 8\r\n"), "426", "version 13 only"},
  };
  for (const Case &c : cases) {
    WebSocketHandshake h = handshake(c.text);
    ASSERT_EQ(h.status, WebSocketHandshake::Status::Refused) << c.text;
    EXPECT_EQ(h.answer.substr(0, 12), "HTTP/1.1 " + c.status) << h.answer;
    EXPECT_NE(h.answer.find(c.why), std::string::npos) << h.answer;
    EXPECT_NE(h.answer.find("Content-Length: "), std::string::npos);
  }
  WebSocketLimits small;
  small.maxRequest = 64;
  WebSocketHandshake h = handshake("GET / HTTP/1.1\r\nX: " + std::string(100, 'a'), small);
  EXPECT_EQ(h.status, WebSocketHandshake::Status::Refused);
  EXPECT_EQ(h.answer.substr(0, 12), "HTTP/1.1 431");
}

// A page of another site may not open the port; a client that is no page
// (no Origin) and local pages may.
TEST(WebSocketHandshakeTest, RefusesPagesOfOriginsNotAllowed) {
  hostname::AllowedHosts origins({"https://viewer.example.org"}, "127.0.0.1");
  WebSocketLimits limits;
  limits.origins = &origins;
  WebSocketHandshake h =
      handshake(request("SeedLink4.0", "Origin: https://evil.example\r\n"), limits);
  ASSERT_EQ(h.status, WebSocketHandshake::Status::Refused);
  EXPECT_EQ(h.answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << h.answer;
  EXPECT_NE(h.answer.find("pages of origin 'https://evil.example' may not read this SeedLink port "
                          "(tarnserver --seedlink-origin allows it)"),
            std::string::npos)
      << h.answer;
  for (const char *origin : {"", "Origin: https://viewer.example.org\r\n",
                             "Origin: http://localhost:8080\r\n"}) {
    EXPECT_EQ(handshake(request("SeedLink4.0", origin), limits).status,
              WebSocketHandshake::Status::Accepted)
        << origin;
  }
  EXPECT_EQ(handshake(request("SeedLink4.0",
                              "Origin: http://localhost\r\nOrigin: https://evil.example\r\n"),
                      limits)
                .status,
            WebSocketHandshake::Status::Refused);
}

class WebSocketFrames : public testing::Test {
 protected:
  ssize_t decode(const std::string &bytes) {
    return decoder.decode(bytes.data(), bytes.size(), &payload, &reply);
  }
  // The close code of the close frame in `reply`, or -1.
  int closeCode() const {
    if (reply.size() < 4 || static_cast<unsigned char>(reply[0]) != 0x88) return -1;
    return static_cast<unsigned char>(reply[2]) << 8 | static_cast<unsigned char>(reply[3]);
  }
  WebSocketLimits limits;
  WebSocketDecoder decoder{limits};
  std::string payload, reply;
};

TEST_F(WebSocketFrames, UnmasksFragmentedCommandsAroundAPingAndLeavesPartialFrames) {
  std::string bytes = clientFrame(0x81, "HELLO\r") + clientFrame(0x02, "STATION A") +
                      clientFrame(0x89, "hi") + clientFrame(0x80, "B XX\r\n") +
                      clientFrame(0x82, std::string(300, 'x'));
  // Byte by byte: each whole frame is taken as it completes, nothing before.
  size_t used = 0;
  for (size_t n = 1; n <= bytes.size(); ++n) {
    ssize_t r = decode(bytes.substr(used, n - used));
    ASSERT_GE(r, 0) << decoder.error();
    used += static_cast<size_t>(r);
  }
  EXPECT_EQ(used, bytes.size());
  EXPECT_EQ(payload, "HELLO\rSTATION AB XX\r\n" + std::string(300, 'x'));
  EXPECT_EQ(reply, std::string("\x8a\x02hi", 4));  // the pong
  EXPECT_FALSE(decoder.closed());
}

TEST_F(WebSocketFrames, ProtocolFaultsCloseWithTheirCode) {
  struct Case {
    std::string bytes;
    int code;
    std::string why;
  } cases[] = {
      {clientFrame(0x81, "BYE", false), 1002, "client frame not masked"},
      {clientFrame(0x83, "x"), 1002, "reserved opcode 3"},
      {clientFrame(0x8b, "x"), 1002, "reserved opcode 11"},
      {clientFrame(0xc1, "x"), 1002, "reserved bits set"},
      {clientFrame(0x80, "x"), 1002, "continuation of nothing"},
      {clientFrame(0x01, "a") + clientFrame(0x81, "b"), 1002, "new message inside"},
      {clientFrame(0x09, "x"), 1002, "fragmented or long control frame"},
      {clientFrame(0x89, std::string(126, 'p')), 1002, "fragmented or long control frame"},
      {clientFrame(0x88, "x"), 1002, "bad close frame"},
      {clientFrame(0x82, std::string(limits.maxFrame + 1, 'x')).substr(0, 8), 1009,
       "frame longer than 16384 bytes"},
      {std::string("\x82\xff\x00\x00\x00\x00\x00\x00\x00\x10", 10), 1002, "shortest form"},
  };
  for (const Case &c : cases) {
    WebSocketDecoder fresh{limits};
    payload.clear(), reply.clear();
    EXPECT_EQ(fresh.decode(c.bytes.data(), c.bytes.size(), &payload, &reply), -1) << c.why;
    EXPECT_NE(fresh.error().find(c.why), std::string::npos) << fresh.error();
    EXPECT_TRUE(fresh.closed());
    EXPECT_EQ(closeCode(), c.code) << c.why;
  }
}

TEST_F(WebSocketFrames, CloseIsAnsweredAndEndsDecoding) {
  std::string bytes = clientFrame(0x88, std::string("\x03\xe8", 2)) + clientFrame(0x81, "BYE");
  EXPECT_EQ(decode(bytes), static_cast<ssize_t>(bytes.size() - 9));
  EXPECT_TRUE(decoder.closed());
  EXPECT_EQ(closeCode(), 1000);
  EXPECT_EQ(payload, "");
  EXPECT_EQ(decode(clientFrame(0x81, "BYE")), 0);
}

TEST(WebSocketServerFrames, EncodeEachLengthFormUnmasked) {
  for (size_t n : {size_t(0), size_t(125), size_t(126), size_t(65535), size_t(65536)}) {
    std::string out;
    appendWsFrame(&out, WsOpcode::Binary, std::string(n, 'd'));
    size_t header = n < 126 ? 2 : n <= 65535 ? 4 : 10;
    ASSERT_EQ(out.size(), header + n);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x82);
    EXPECT_EQ(static_cast<unsigned char>(out[1]) & 0x80, 0) << n;
    uint64_t len = static_cast<unsigned char>(out[1]);
    if (header > 2) {
      len = 0;
      for (size_t i = 2; i < header; ++i) len = len << 8 | static_cast<unsigned char>(out[i]);
    }
    EXPECT_EQ(len, n);
  }
  std::string out;
  appendWsClose(&out, kWsCloseTooBig, std::string(200, 'r'));
  EXPECT_EQ(out.size(), 2u + 125u);
}

}  // namespace
}  // namespace tarnserver
