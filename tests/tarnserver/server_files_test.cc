// A server with a ring file: its packets and ids survive a clean stop and a
// SIGKILL, and it reports what it recovered, also from a file cut short.
#include <sys/stat.h>
#include <unistd.h>

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

TEST_F(FileServer, AFileShortenedUnderTheServerStopsItWithAMessage) {
  ASSERT_TRUE(put("A/x", 3, 100.0, 100));
  ASSERT_EQ(truncate(ringDir().file("ring").c_str(), 4096), 0);  // the header only
  int r = open();
  ASSERT_EQ(tarnposition(r, "oldest"), 0);
  reap(r, 0.5);  // the server touches the packet that is no longer there
  ASSERT_TRUE(testsupport::waitUntil([&] { return !server_.running(); }, std::chrono::seconds(20)));
  EXPECT_EQ(server_.stop(), 1);  // an exit, not SIGBUS
  EXPECT_NE(server_.log().find("ring file '" + ringDir().file("ring") + "' failed at byte"),
            std::string::npos)
      << server_.log();
  server_.restart();  // as the message promises
  EXPECT_NE(server_.log().find("0 packets recovered, 3 lost"), std::string::npos) << server_.log();
  EXPECT_EQ(tarnposition(open(), "newest"), -1);
}

// A file cut to half: the next start serves the packets of the half left,
// says how many were lost, and gives out no id again.
TEST_F(FileServer, AFileCutToHalfServesWhatItHoldsAndSaysWhatWasLost) {
  ASSERT_TRUE(put("A/x", 7500, 100.0, 100));  // 136 bytes a record: most of the 1 MiB
  server_.kill();
  const std::string path = ringDir().file("ring");
  ASSERT_EQ(truncate(path.c_str(), 4096 + (1 << 19)), 0);
  server_.restart();
  const int kept = (1 << 19) / 136;
  EXPECT_NE(server_.log().find("was cut short to " + std::to_string(4096 + (1 << 19))),
            std::string::npos)
      << server_.log();
  EXPECT_NE(server_.log().find(std::to_string(kept) + " packets recovered, " +
                               std::to_string(7500 - kept) + " lost"),
            std::string::npos)
      << server_.log();
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096 + (1 << 20)) << "made whole again";
  int r = open();
  ASSERT_EQ(tarnposition(r, "oldest"), 0);
  EXPECT_EQ(reapAllBytes(r, kept).size(), static_cast<size_t>(kept));
  ASSERT_TRUE(put("A/x", 1, 200.0));
  EXPECT_EQ(tarnposition(r, "newest"), 7500);
  server_.kill();  // and the next start keeps them all, the lost ids still lost
  server_.restart();
  EXPECT_NE(server_.log().find(std::to_string(kept + 1) + " packets recovered"), std::string::npos)
      << server_.log();
}

// Past a file-size limit the file cannot be made whole: refused, never a
// signal, and the half-made file is removed.
TEST(ServerRingFile, ARingOverTheFileSizeLimitIsRefusedAndNotLeftBehind) {
  if (testsupport::runProgram({"/usr/bin/env", "prlimit", "--version"}).exitStatus != 0)
    GTEST_SKIP() << "no prlimit";
  testsupport::TempDir dir;
  auto r = testsupport::runProgram({"/usr/bin/env", "prlimit", "--fsize=100000",
                                    testsupport::programPath("tarnserver"), "-p", "0", "-r",
                                    dir.file("ring"), "-s", "2M"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ring file '" + dir.file("ring") +
                       "' of 2101248 bytes cannot claim its disk: 2101248 bytes more are needed, "
                       "its filesystem has "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_NE(access(dir.file("ring").c_str(), F_OK), 0);
}

// On a filesystem of 1 MB (a tmpfs in a namespace of our own, where the
// machine allows one): a new ring of 4 MB is refused and removed, and a
// sparse file left by an older server is refused as it is, not crashed on.
TEST(ServerRingFile, ARingTooLargeForItsFilesystemIsRefusedAtStart) {
  testsupport::TempDir dir, old;
  std::string server = testsupport::programPath("tarnserver");
  { TarnTestServer first({"-r", old.file("made"), "-s", "4M", "-m", "64k"}); }
  ASSERT_EQ(testsupport::runProgram(
                {"/usr/bin/env", "cp", "--sparse=always", old.file("made"), old.file("sparse")})
                .exitStatus,
            0);
  {  // where it fits, a sparse file is filled out at open
    struct stat st {};
    ASSERT_EQ(stat(old.file("sparse").c_str(), &st), 0);
    ASSERT_LT(st.st_blocks * 512, st.st_size);
    TarnTestServer again({"-r", old.file("sparse")});
    ASSERT_EQ(stat(old.file("sparse").c_str(), &st), 0);
    EXPECT_GE(st.st_blocks * 512, st.st_size);
  }
  std::string script = "mount -t tmpfs -o size=1m tmpfs " + dir.path() + " || exit 99\n" +
                       "cp --sparse=always " + old.file("sparse") + " " + dir.file("old") + "\n" +
                       server + " -p 0 -r " + dir.file("new") + " -s 4M; echo new=$?\n" +
                       "test -e " + dir.file("new") + " && echo new-left\n" + server + " -p 0 -r " +
                       dir.file("old") + "; echo old=$?\n";
  auto r = testsupport::runProgram({"/usr/bin/env", "unshare", "-rm", "sh", "-c", script});
  if (r.exitStatus == 99 || r.exitStatus == 1 || r.exitStatus == 127)
    GTEST_SKIP() << "no tmpfs here: " << r.err;
  EXPECT_EQ(r.out, "new=1\nold=1\n") << r.err;
  EXPECT_NE(r.err.find("ring file '" + dir.file("new") +
                       "' of 4198400 bytes cannot claim its disk: 4198400 bytes more are needed, "
                       "its filesystem has "),
            std::string::npos)
      << r.err;
  EXPECT_NE(
      r.err.find("ring file '" + dir.file("old") + "' of 4198400 bytes cannot claim its disk"),
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
