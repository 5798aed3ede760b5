// Who may connect, read and write; how many connections one address and
// the readers may hold; clients that never greet or go silent; and running
// out of descriptors. Other client addresses are other 127.x.y.z addresses
// of this machine.
#include <signal.h>

#include "raw_client.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

using namespace std::chrono_literals;

size_t occurrences(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<char> putFrame(const std::string &src) {
  return tarnwire::encoded(tarnwire::Put{1.0, src, ""});
}

class WriterList : public TarnClientTest {
 protected:
  // 127.0.0.1 and 127.0.0.2 may read but not write.
  WriterList() : TarnClientTest({"-W", "127.0.0.3,127.0.0.4=OK/.*"}) {}
};

TEST_F(WriterList, OthersReadButTheirPutsAreRefusedAndLoggedOnce) {
  const std::string refused = "writing to " + server_.name() + " is not allowed from 127.0.0.2";
  for (int i = 0; i < 3; ++i) {
    RawClient c(server_.name(), "127.0.0.2");
    c.hello();
    c.send(putFrame("X/y"));
    EXPECT_NE(c.readToEnd().find(refused), std::string::npos);
  }
  RawClient reader(server_.name(), "127.0.0.2");
  reader.hello();
  EXPECT_EQ(reader.nextFrameType(), tarnwire::kWelcome);
  EXPECT_EQ(occurrences(server_.log(), refused), 1u) << server_.log();

  // The tool shows the refusal of its puts.
  testsupport::ProcessResult tool =
      testsupport::runProgram({testsupport::programPath("tarn"), "put", server_.name()}, 3s,
                              "{\"srcname\": \"A/b\", \"time\": 1, \"text\": \"x\"}\n");
  EXPECT_NE(tool.err.find("writing to " + server_.name() + " is not allowed from 127.0.0.1"),
            std::string::npos)
      << tool.err;

  RawClient patterned(server_.name(), "127.0.0.4");
  patterned.hello();
  patterned.send(putFrame("OK/1"));
  patterned.send(putFrame("NOT/1"));
  std::string answer = patterned.readToEnd();
  EXPECT_NE(answer.find(static_cast<char>(tarnwire::kAck)), std::string::npos);
  EXPECT_NE(answer.find("writing source 'NOT/1' to"), std::string::npos) << answer;
}

class ReaderList : public TarnClientTest {
 protected:
  ReaderList() : TarnClientTest({"-A", "127.0.0.2", "-W", "127.0.0.3"}) {}
};

TEST_F(ReaderList, OnlyListedReadersAndWritersConnect) {
  EXPECT_LT(open(), 0);
  EXPECT_NE(drainLog().find("connecting to " + server_.name() + " is not allowed from 127.0.0.1"),
            std::string::npos);
  for (const char *from : {"127.0.0.2", "127.0.0.3"}) {
    RawClient c(server_.name(), from);
    c.hello();
    EXPECT_EQ(c.nextFrameType(), tarnwire::kWelcome) << from;
  }
}

class Crowded : public TarnClientTest {
 protected:
  // Eight clients, one kept for writers (127.0.0.2); three per address.
  Crowded() : TarnClientTest({"-c", "8", "-L", "3", "-W", "127.0.0.2"}) {}
  std::unique_ptr<RawClient> greeted(const char *from) {
    auto c = std::make_unique<RawClient>(server_.name(), from);
    c->hello();
    return c;
  }
};

TEST_F(Crowded, OneAddressOrTheReadersCannotTakeEverySlot) {
  std::vector<std::unique_ptr<RawClient>> in;
  for (int i = 0; i < 3; ++i) {
    in.push_back(greeted("127.0.0.1"));
    EXPECT_EQ(in.back()->nextFrameType(), tarnwire::kWelcome);
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(
        greeted("127.0.0.1")
            ->readToEnd()
            .find("too many connections to " + server_.name() + " from 127.0.0.1 (at most 3)"),
        std::string::npos);
  }
  for (const char *from : {"127.0.0.3", "127.0.0.3", "127.0.0.3", "127.0.0.4"}) {
    in.push_back(greeted(from));
    EXPECT_EQ(in.back()->nextFrameType(), tarnwire::kWelcome) << from;
  }
  EXPECT_NE(greeted("127.0.0.5")->readToEnd().find("has all the clients it serves (7)"),
            std::string::npos);
  auto writer = greeted("127.0.0.2");
  EXPECT_EQ(writer->nextFrameType(), tarnwire::kWelcome) << "the slot kept for writers";
  EXPECT_EQ(occurrences(server_.log(), "refused a connection from 127.0.0.1"), 1u) << server_.log();
}

class Timeouts : public TarnClientTest {
 protected:
  Timeouts() : TarnClientTest({"-t", "1", "-W", "127.0.0.2"}) {}
};

TEST_F(Timeouts, SilentClientsLeaveUnlessTheyWaitForPacketsOrMayWrite) {
  RawClient mute(server_.name()), idle(server_.name()), writer(server_.name(), "127.0.0.2");
  idle.hello();
  writer.hello();
  int reader = open();
  ASSERT_GE(reader, 0);
  EXPECT_EQ(reap(reader, 2.5).rc, TARN_TIMEOUT) << "streaming all along";
  EXPECT_NE(mute.readToEnd().find("no hello within 1 s"), std::string::npos);
  EXPECT_NE(idle.readToEnd().find("no request for 1 s"), std::string::npos);
  writer.send(putFrame("W/x"));
  EXPECT_EQ(writer.nextFrameType(), tarnwire::kWelcome);
  EXPECT_EQ(writer.nextFrameType(), tarnwire::kAck);
  EXPECT_EQ(drainLog().find("connection lost"), std::string::npos);
}

// With few descriptors, the connections past them are closed at once,
// the episode is logged once, and the server serves again afterwards.
TEST(ServerDescriptors, RunningOutIsSurvivedAndLoggedOnce) {
  testsupport::TempDir dir;
  std::string ready = dir.file("ready");
  testsupport::ChildProcess server({"/bin/sh", "-c", "ulimit -n 24 && exec \"$0\" -p 0 -R \"$1\"",
                                    testsupport::programPath("tarnserver"), ready});
  ASSERT_TRUE(testsupport::waitUntil([&] { return !testsupport::readFile(ready).empty(); }, 20s))
      << server.err();
  std::string name = testsupport::readFile(ready);
  name.erase(name.find_last_not_of("\r\n") + 1);
  {
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<RawClient>(name));
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return server.err().find("cannot accept") != std::string::npos; }, 10s));
    for (auto &c : crowd) c->hello();
  }
  // A connection that comes while the crowd's descriptors are still being
  // given back may itself be closed at once; the server serves soon after.
  int attempt = 0;
  EXPECT_TRUE(
      testsupport::waitUntil([&] { return putPackets(name, "AFTER/x", 1, 1.0 + attempt++); }, 10s));
  EXPECT_TRUE(testsupport::waitUntil(
      [&] { return occurrences(server.err(), "accepting connections again") > 0; }, 10s));
  EXPECT_EQ(occurrences(server.err(), "cannot accept connections"), 1u) << server.err();
  EXPECT_EQ(occurrences(server.err(), "accepting connections again"), 1u) << server.err();
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(20s), 0);
}

}  // namespace
}  // namespace tarntest
