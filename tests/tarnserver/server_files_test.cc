// A server with a ring file: its packets and ids survive a clean stop and a
// SIGKILL, and it reports what it recovered.
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

class FileServer : public TarnClientTest {
 protected:
  FileServer() : TarnClientTest({"-r", ringDir().file("ring"), "-s", "1M", "-m", "64k"}) {}
  static testsupport::TempDir &ringDir() {
    static testsupport::TempDir dir;
    return dir;
  }
  void TearDown() override { std::remove(ringDir().file("ring").c_str()); }

  std::vector<std::string> reapAllBytes(int fd, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
      Reaped r = reap(fd);
      if (r.rc < 0) break;
      out.push_back(r.bytes);
    }
    return out;
  }
};

TEST_F(FileServer, PacketsAndIdsCarryOnAfterACleanRestart) {
  ASSERT_TRUE(put("A/x", 10, 100.0, 100));
  EXPECT_EQ(server_.stop(), 0);
  server_.restart();
  EXPECT_NE(server_.log().find("10 packets recovered"), std::string::npos) << server_.log();
  int r = open();
  EXPECT_EQ(tarnposition(r, "oldest"), 0);
  EXPECT_EQ(tarnposition(r, "newest"), 9);
  EXPECT_EQ(tarnafter(r, 105.0), 5);
  ASSERT_TRUE(put("A/x", 1, 200.0));
  EXPECT_EQ(tarnposition(r, "newest"), 10);
}

TEST_F(FileServer, PacketsSurviveAKill) {
  ASSERT_TRUE(put("A/x", 50, 100.0, 3000));
  server_.kill();
  server_.restart();
  int r = open();
  ASSERT_EQ(tarnposition(r, "oldest"), 0);
  std::vector<std::string> got = reapAllBytes(r, 50);
  ASSERT_EQ(got.size(), 50u);
  for (const std::string &b : got) EXPECT_EQ(b, std::string(3000, 'x'));
  EXPECT_EQ(tarnposition(r, "newest"), 49);
}

TEST_F(FileServer, ALapOfTheRingAndARestartKeepTheNewestPackets) {
  ASSERT_TRUE(put("A/x", 1000, 0.0, 3000));  // 3 MB through a 1 MB ring
  server_.kill();
  server_.restart();
  int r = open();
  int oldest = tarnposition(r, "oldest");
  EXPECT_GT(oldest, 600);
  EXPECT_EQ(tarnposition(r, "newest"), 999);
  ASSERT_EQ(tarnseek(r, oldest), oldest);
  EXPECT_EQ(reapAllBytes(r, 1000 - oldest).size(), static_cast<size_t>(1000 - oldest));
}

TEST(ServerRingFile, ARestartWithoutMaxPacketTakesTheFilesOwn) {
  testsupport::TempDir dir;
  std::string ring = dir.file("ring");
  { TarnTestServer first({"-r", ring, "-s", "1M", "-m", "64k"}); }
  {
    TarnTestServer again({"-r", ring});
    EXPECT_NE(again.log().find("packets up to 65536 bytes"), std::string::npos) << again.log();
  }
  auto r = testsupport::runProgram(
      {testsupport::programPath("tarnserver"), "-p", "0", "-r", ring, "-m", "1M"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("takes packets of up to 65536 bytes, not the 1048576 asked for"),
            std::string::npos)
      << r.err;
}

TEST(ServerRingFile, AFileThatIsNotARingIsRefusedClearly) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("ring"), "hello, not a ring");
  auto r = testsupport::runProgram(
      {testsupport::programPath("tarnserver"), "-p", "0", "-r", dir.file("ring")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("is not a tarn ring file"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tarntest
