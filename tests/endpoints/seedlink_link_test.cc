// The SeedLink client link against a scripted server on 127.0.0.1: the
// commands of a handshake in each protocol (resume places, start times,
// selectors), and every way a server can fail it (refusals, silence, lines
// without end, garbage, a close) ending the link with a reason.
#include "endpoints/seedlink_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>

namespace {

// Accepts one client, runs the script with it and closes the connection;
// every wait is bounded.
class ScriptedServer {
 public:
  using Script = std::function<void(ScriptedServer &)>;
  explicit ScriptedServer(Script script) {
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(m_listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(m_listener, 1);
    getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this, script] {
      pollfd p{m_listener, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return;
      m_client = accept(m_listener, nullptr, nullptr);
      script(*this);
      close(m_client);  // the end of the script closes the connection
    });
  }
  ~ScriptedServer() {
    finish();
    close(m_listener);
  }
  // Waits for the script to end.
  void finish() {
    if (m_thread.joinable()) m_thread.join();
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }

  // The next command line (without CR LF), "" when none comes in 5 s.
  std::string line() {
    std::string out;
    char c;
    for (;;) {
      pollfd p{m_client, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0 || recv(m_client, &c, 1, 0) != 1) return out;
      if (c == '\n') break;
      if (c != '\r') out += c;
    }
    lines.push_back(out);
    return out;
  }
  void send(const std::string &text) { ::send(m_client, text.data(), text.size(), MSG_NOSIGNAL); }
  // Answers the handshake up to END: HELLO's two lines, then `answer` to
  // every command.
  void handshake(const std::string &hello, const std::string &answer = "OK") {
    while (true) {
      std::string l = line();
      if (l.empty() || l == "END") return;
      send(l == "HELLO" ? hello + "\r\ntest server\r\n" : answer + "\r\n");
    }
  }
  std::vector<std::string> lines;

 private:
  int m_listener = -1, m_client = -1, m_port = 0;
  std::thread m_thread;
};

const char kHello3[] = "SeedLink v3.1 (test) :: SLPROTO:3.1";
const char kHello4[] = "SeedLink v4.0 (test) :: SLPROTO:3.1 SLPROTO:4.0";

std::vector<SeedLinkStation> stations(const std::string &text) {
  std::vector<SeedLinkStation> out;
  EXPECT_EQ(parseSeedLinkSelection(text, out), "");
  return out;
}

SeedLinkResume resumeAt(uint64_t sequence) {
  return [sequence](const SeedLinkStation &s) {
    SeedLinkStart start;
    if (!s.hasWildcard()) start.sequence = sequence;
    return start;
  };
}

TEST(SeedLinkLink, HandshakesSayWhereEachStationResumesInTheServersProtocol) {
  const double starttime = 1796601600.5;  // 2026-12-07 00:00:00.5 UTC
  const auto selection = stations("XX_STA:BH?,00HHZ.D YY_*");
  {  // 3.1 asked for: the next number in 24-bit hex, a start time as TIME
    ScriptedServer server([](ScriptedServer &s) { s.handshake(kHello4); });
    SeedLinkLink link(server.server(), SeedLinkProtocol::k31, starttime);
    EXPECT_EQ(link.open(selection, resumeAt(0x100002A), 5), "");
    EXPECT_EQ(link.version(), 3);
    server.finish();
    EXPECT_EQ(server.lines, (std::vector<std::string>{
                                "HELLO", "STATION STA XX", "SELECT BH?", "SELECT 00HHZ.D",
                                "DATA 00002A", "STATION * YY", "TIME 2026,12,07,00,00,00", "END"}));
  }
  {  // auto, offered 4.0: decimal numbers, ISO times, NET_STA stations
    ScriptedServer server([](ScriptedServer &s) { s.handshake(kHello4); });
    SeedLinkLink link(server.server(), SeedLinkProtocol::kAuto, starttime);
    EXPECT_EQ(link.open(selection, resumeAt(0x100002A), 5), "");
    EXPECT_EQ(link.version(), 4);
    server.finish();
    EXPECT_EQ(server.lines,
              (std::vector<std::string>{"HELLO", "SLPROTO 4.0", "STATION XX_STA", "SELECT BH?",
                                        "SELECT 00HHZ.D", "DATA 16777258", "STATION YY_*",
                                        "DATA ALL 2026-12-07T00:00:00Z", "END"}));
  }
  {  // auto, a 3.1 server, no start time: DATA alone for the new packets
    ScriptedServer server([](ScriptedServer &s) { s.handshake(kHello3); });
    SeedLinkLink link(server.server(), SeedLinkProtocol::kAuto, NAN);
    EXPECT_EQ(link.open(stations("YY_*"), resumeAt(1), 5), "");
    server.finish();
    EXPECT_EQ(server.lines, (std::vector<std::string>{"HELLO", "STATION * YY", "DATA", "END"}));
  }
}

// Opens against a server running `script`; the reason it failed, or "".
std::string openWith(const ScriptedServer::Script &script,
                     SeedLinkProtocol protocol = SeedLinkProtocol::kAuto) {
  ScriptedServer server(script);
  SeedLinkLink link(server.server(), protocol, NAN);
  return link.open(stations("XX_STA"), resumeAt(7), 1.0);
}

// Opens, then reads until the link is lost; the reason.
std::string lostWith(const ScriptedServer::Script &script) {
  ScriptedServer server(script);
  SeedLinkLink link(server.server(), SeedLinkProtocol::kAuto, NAN);
  std::string why = link.open(stations("XX_STA"), resumeAt(7), 5);
  if (!why.empty()) return "open: " + why;
  seedlink::Packet packet;
  for (int i = 0; i < 50; ++i) {
    if (link.read(0.2, packet, why) == SeedLinkLink::Read::kLost) return why;
  }
  return "(not lost)";
}

TEST(SeedLinkLink, AServerThatFailsTheHandshakeOrTheStreamEndsTheLinkWithAReason) {
  EXPECT_EQ(openWith([](ScriptedServer &s) { s.handshake(kHello3, "ERROR"); }),
            "the server answered 'STATION STA XX' with 'ERROR'");
  EXPECT_EQ(openWith([](ScriptedServer &s) { s.handshake(kHello3); }, SeedLinkProtocol::k40),
            "the server does not offer protocol 4.0 (it says '" + std::string(kHello3) + "')");
  // What fails HELLO names no SeedLink server.
  const std::string notSeedLink = " did not answer as a SeedLink server (";
  std::string why = openWith([](ScriptedServer &s) {
    s.line();
    s.send(std::string(5000, 'x'));
    s.line();
  });
  EXPECT_TRUE(why.ends_with(notSeedLink +
                            "to HELLO: the server's answer is not a line: answer line longer "
                            "than 4096 bytes)"))
      << why;
  why = openWith([](ScriptedServer &s) {
    s.line();  // HELLO, never answered
    s.line();  // until the client gives up
  });
  EXPECT_TRUE(why.ends_with(notSeedLink + "to HELLO: no answer from the server in time)")) << why;
  why = openWith([](ScriptedServer &s) { s.handshake("HTTP/1.1 400 Bad\x01Request"); });
  EXPECT_TRUE(why.ends_with(notSeedLink + "to HELLO it said 'HTTP/1.1 400 Bad?Request')")) << why;
  EXPECT_EQ(
      lostWith([](ScriptedServer &s) {
        s.handshake(kHello3);
        s.send("garbage that is no SeedLink header" + std::string(600, 'g'));
        s.line();
      }),
      "the server sent what is not a SeedLink packet: bad packet signature (neither SL nor SE)");
  EXPECT_EQ(lostWith([](ScriptedServer &s) { s.handshake(kHello3); }),
            "the server closed the connection");
}

TEST(SeedLinkLink, WildcardsMatchAsTheServersDo) {
  EXPECT_TRUE(seedLinkGlob("XX_*", "XX_STA"));
  EXPECT_TRUE(seedLinkGlob("X?_S*A", "XY_SA"));
  EXPECT_TRUE(seedLinkGlob("*", ""));
  EXPECT_FALSE(seedLinkGlob("XX_ST?", "XX_STAB"));
  EXPECT_FALSE(seedLinkGlob("XX_*B", "XX_STA"));
}

}  // namespace
