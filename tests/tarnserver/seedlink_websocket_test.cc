// tarnserver's SeedLink port over WebSocket, through raw connections: the
// opening request refused with its reason, the subprotocol fixing the
// protocol version, one frame per answer and packet, ping and close, and
// broken frames answered with a close and the connection ended, while
// plain SeedLink clients on the same port go on being served, and clients
// that send half a request or half a frame holding bounded memory.
#include <gtest/gtest.h>

#include <memory>

#include "mseed_samples.h"
#include "platform/tarnclient/tarnclient.h"
#include "raw_client.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

// A masked client frame.
std::string frame(int first, const std::string &body) {
  std::string f(1, static_cast<char>(first));
  if (body.size() < 126) {
    f += static_cast<char>(0x80 | body.size());
  } else {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(body.size() >> 8);
    f += static_cast<char>(body.size());
  }
  const char mask[4] = {'\x12', '\x34', '\x56', '\x78'};
  f.append(mask, 4);
  for (size_t i = 0; i < body.size(); ++i) f += static_cast<char>(body[i] ^ mask[i % 4]);
  return f;
}

class SeedlinkWebSocket : public ::testing::Test {
 protected:
  // A connection to the SeedLink port, its opening request sent with these
  // subprotocols; the answer's head is in *answer.
  std::unique_ptr<RawClient> open(const std::string &protocols, std::string *answer) {
    auto c = std::make_unique<RawClient>(server_.seedlinkName());
    EXPECT_TRUE(c->connected());
    c->send(
        "GET /seedlink HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " +
        protocols + "\r\n\r\n");
    answer->clear();
    char ch;
    while (answer->find("\r\n\r\n") == std::string::npos && answer->size() < 4096 &&
           recv(c->fd(), &ch, 1, 0) == 1) {
      *answer += ch;
    }
    return c;
  }
  // The next server frame: its first byte and payload ({0, ""} when none).
  static std::pair<int, std::string> next(RawClient &c) {
    unsigned char head[2];
    if (recv(c.fd(), head, 2, MSG_WAITALL) != 2) return {0, ""};
    EXPECT_EQ(head[1] & 0x80, 0) << "server frames are not masked";
    uint64_t len = head[1] & 0x7F;
    if (len >= 126) {
      unsigned char ext[8];
      size_t n = len == 126 ? 2 : 8;
      if (recv(c.fd(), ext, n, MSG_WAITALL) != static_cast<ssize_t>(n)) return {0, ""};
      len = 0;
      for (size_t i = 0; i < n; ++i) len = len << 8 | ext[i];
    }
    std::string body(len, '\0');
    if (len > 0 && recv(c.fd(), body.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len))
      return {0, ""};
    return {head[0], body};
  }
  static std::string command(RawClient &c, const std::string &line) {
    c.send(frame(0x81, line + "\r\n"));
    return next(c).second;
  }

  TarnTestServer server_{{"--seedlink", "0", "-L", "400"}};
};

TEST_F(SeedlinkWebSocket, TheSubprotocolFixesTheVersionAndEachPacketIsOneFrame) {
  mseedtest::Stream s;
  s.network = "XX", s.station = "BIG", s.recordLength = 4096, s.samples = mseedtest::sine(20000);
  std::vector<std::string> records = mseedtest::pack(s);
  int fd = tarnopen(server_.name().c_str(), "w&");
  ASSERT_GE(fd, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(tarnput(fd, "XX_BIG_HHZ_00/MSEED", 1796601600.0 + static_cast<double>(i),
                      records[i].data(), static_cast<int>(records[i].size())),
              0);
  }
  ASSERT_EQ(tarnclose(fd), 0);

  std::string answer;
  auto v3 = open("SeedLink3.1", &answer);
  EXPECT_NE(answer.find("Sec-WebSocket-Protocol: SeedLink3.1\r\n"), std::string::npos) << answer;
  std::string hello = command(*v3, "HELLO");
  EXPECT_NE(hello.find("\r\n"), std::string::npos);  // both lines, one frame
  EXPECT_NE(hello.find("SLPROTO:3.1"), std::string::npos) << hello;
  EXPECT_EQ(hello.find("SLPROTO:4.0"), std::string::npos) << "only the subprotocol's\n" << hello;
  EXPECT_EQ(command(*v3, "SLPROTO 4.0"), "ERROR the WebSocket subprotocol fixes protocol 3.1\r\n");
  v3->send(frame(0x81, "BYE\r\n"));
  EXPECT_EQ(next(*v3), std::make_pair(0x88, std::string("\x03\xe8", 2)));  // a normal close
  EXPECT_EQ(v3->readToEnd(), "");

  auto v4 = open("SeedLink4.0", &answer);
  EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
            std::string::npos);
  EXPECT_EQ(command(*v4, "FOO").rfind("ERROR UNSUPPORTED ", 0), 0u);  // 4.0's form, no SLPROTO
  v4->send(frame(0x89, "are you there"));
  EXPECT_EQ(next(*v4), std::make_pair(0x8A, std::string("are you there")));
  // A command split over a text and a binary fragment.
  v4->send(frame(0x01, "STATION XX") + frame(0x80, "_BIG\r\n"));
  EXPECT_EQ(next(*v4).second, "OK\r\n");
  EXPECT_EQ(command(*v4, "DATA 0"), "OK\r\n");
  v4->send(frame(0x82, "END\r\n"));
  for (const std::string &r : records) {
    auto [type, body] = next(*v4);
    ASSERT_EQ(type, 0x82);
    ASSERT_GT(body.size(), 17u);
    EXPECT_EQ(body.substr(0, 2), "SE");
    EXPECT_EQ(body.substr(body.size() - r.size()), r);
    EXPECT_EQ(body.size(), 17u + 6u + r.size());  // header, "XX_BIG", the record
  }
  v4->send(frame(0x88, std::string("\x03\xe8", 2)));
  auto [type, body] = next(*v4);
  EXPECT_EQ(type, 0x88);
  EXPECT_EQ(body, std::string("\x03\xe8", 2));
  EXPECT_EQ(v4->readToEnd(), "");  // then the server ends the connection
}

// The codec's test covers each fault; here, that the server ends such
// connections with the answer and serves the others.
TEST_F(SeedlinkWebSocket, RefusedRequestsAndBrokenFramesEndTheConnectionAndPlainClientsGoOn) {
  std::string answer;
  auto refused = open("chat", &answer);
  EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
  std::string body = refused->readToEnd();  // and the connection ends
  EXPECT_NE(body.find("subprotocol SeedLink3.1 or SeedLink4.0 needed (asked: chat)"),
            std::string::npos)
      << body;

  auto broken = open("SeedLink4.0", &answer);
  broken->send(std::string("\x81\x07HELLO\r\n", 9));  // not masked
  auto [type, close] = next(*broken);
  EXPECT_EQ(type, 0x88);
  EXPECT_EQ(close.substr(0, 2), "\x03\xea") << close;  // 1002, protocol error
  EXPECT_EQ(broken->readToEnd(), "");

  RawClient plain(server_.seedlinkName());
  plain.send("HELLO\r\n");
  std::string hello;
  char ch;
  while (hello.find("\r\n") == std::string::npos && recv(plain.fd(), &ch, 1, 0) == 1) hello += ch;
  EXPECT_EQ(hello.rfind("SeedLink v4.0", 0), 0u) << hello;
}

TEST_F(SeedlinkWebSocket, HalfSentRequestsAndFramesHoldBoundedMemory) {
  std::vector<std::unique_ptr<RawClient>> held;
  std::string answer;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<RawClient>(server_.seedlinkName()));
    held.back()->send("GET / HTTP/1.1\r\nX-Filler: " + std::string(8000, 'x'));  // no end
    held.push_back(open("SeedLink4.0", &answer));
    held.back()->send(frame(0x82, std::string(16000, 'y')).substr(0, 10000));  // cut short
  }
  std::string hello = command(*open("SeedLink3.1", &answer), "HELLO");
  EXPECT_EQ(hello.rfind("SeedLink v4.0", 0), 0u) << hello;
  EXPECT_TRUE(server_.running());
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

}  // namespace
}  // namespace tarntest
