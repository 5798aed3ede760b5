// Saved read positions against a real tarn server: each reader resumes
// after its own last packet, the fallbacks when that packet is gone, files
// that cannot be used, and saves that fail and recover.
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <functional>

#include <memory>
#include <thread>

#include "platform/statefile/statefile.h"
#include "platform/statefile/statefile_format.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "process.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

StopFlag g_stop{0};

class ReadPositions : public TarnClientTest {
 protected:
  // A reader's descriptor with its expressions applied.
  int reader(const std::string &select = "", const std::string &reject = "") {
    int fd = open();
    if (!select.empty()) tarnselect(fd, select.c_str());
    if (!reject.empty()) tarnreject(fd, reject.c_str());
    return fd;
  }
  // Reaps one packet as the relay does: the position follows it.
  Reaped reapInto(int fd, ReadPosition &position) {
    Reaped r = reap(fd);
    if (r.rc == 0) position.set(r.id, r.time);
    return r;
  }
  std::string statefile() const { return dir_.file("relay.state"); }
  int restart() { return exhume(statefile().c_str(), &g_stop, 0, 0); }

  testsupport::TempDir dir_;
};

TEST_F(ReadPositions, EachReaderResumesAfterItsOwnLastPacket) {
  ASSERT_EQ(restart(), 0);  // no file yet: nothing saved, no complaint
  EXPECT_EQ(drainLog(), "");
  ASSERT_TRUE(put("AA/x", 5, 100.0));
  ASSERT_TRUE(put("BB/x", 5, 200.0));
  // Two readers on one tarn with one tag name, told apart by expressions.
  int a = reader("AA/.*"), b = reader("", "AA/.*");
  auto pa = std::make_shared<ReadPosition>(), pb = std::make_shared<ReadPosition>();
  EXPECT_EQ(tarnresurrect(a, pa, "in"), -1);
  EXPECT_EQ(tarnresurrect(b, pb, "in"), -1);
  tarnseek(a, TARN_OLDEST);
  tarnseek(b, TARN_OLDEST);
  for (int i = 0; i < 2; ++i) reapInto(a, *pa);
  for (int i = 0; i < 4; ++i) reapInto(b, *pb);
  ASSERT_EQ(bury(), 0);

  ASSERT_EQ(restart(), 0);
  int a2 = reader("AA/.*"), b2 = reader("", "AA/.*");
  auto qa = std::make_shared<ReadPosition>(), qb = std::make_shared<ReadPosition>();
  EXPECT_EQ(tarnresurrect(b2, qb, "in"), 0);
  EXPECT_EQ(tarnresurrect(a2, qa, "in"), 0);
  EXPECT_EQ(qa->id(), 1);
  EXPECT_EQ(qa->time(), 101.0);
  EXPECT_EQ(qb->id(), 8);
  EXPECT_EQ(reap(a2).id, 2);
  EXPECT_EQ(reap(b2).id, 9);
}

// The identity name goes with the position: a reader gets back the one it
// was saved with, whatever it brings now; one of a second-format file
// (which kept none) is named by the tag, as the relay that wrote it did.
TEST_F(ReadPositions, AReaderKeepsTheIdentityNameItsPositionWasSavedWith) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 3, 100.0));
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  std::string identity = "first";
  EXPECT_EQ(tarnresurrect(fd, p, "in", "tarntag0001", &identity), -1);
  EXPECT_EQ(identity, "first");
  tarnseek(fd, TARN_OLDEST);
  reapInto(fd, *p);
  ASSERT_EQ(bury(), 0);
  ASSERT_EQ(restart(), 0);
  identity = "second";
  EXPECT_EQ(tarnresurrect(reader(), std::make_shared<ReadPosition>(), "in", "tarntag0002",
                          &identity),
            0);
  EXPECT_EQ(identity, "first");
  std::string text = testsupport::readFile(statefile());
  size_t quote = text.find(" \"first\" ");
  ASSERT_NE(quote, std::string::npos) << text;
  text.erase(quote, 8);
  text.replace(0, text.find('\n'), "tarn2tarn_pre read positions 2");
  testsupport::writeFile(statefile(), text);
  ASSERT_EQ(restart(), 0);
  EXPECT_EQ(tarnresurrect(reader(), std::make_shared<ReadPosition>(), "in", "tarntag0002",
                          &identity),
            0);
  EXPECT_EQ(identity, "tarntag0002");
}

TEST_F(ReadPositions, AReaderThatReapedNothingKeepsWhatItWasGiven) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 3, 100.0));
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  tarnresurrect(fd, p, "in");
  tarnseek(fd, TARN_OLDEST);
  reapInto(fd, *p);
  ASSERT_EQ(bury(), 0);
  for (int run = 0; run < 2; ++run) {  // two restarts in a row without a reap
    ASSERT_EQ(restart(), 0);
    auto q = std::make_shared<ReadPosition>();
    EXPECT_EQ(tarnresurrect(reader(), q, "in"), 0);
    ASSERT_EQ(bury(), 0);
  }
  ASSERT_EQ(restart(), 0);
  int last = reader();
  EXPECT_EQ(tarnresurrect(last, std::make_shared<ReadPosition>(), "in"), 0);
  EXPECT_EQ(reap(last).id, 1);
}

TEST_F(ReadPositions, AGoneOrReplacedPacketFallsBackToItsTime) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 3, 100.0));
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  tarnresurrect(fd, p, "in");
  tarnseek(fd, TARN_OLDEST);
  reapInto(fd, *p);
  reapInto(fd, *p);  // id 1, time 101
  ASSERT_EQ(bury(), 0);
  // The server comes back without its ring: ids start again, with new times.
  server_.restart();
  ASSERT_TRUE(put("AA/x", 3, 100.5));  // ids 0..2, times 100.5, 101.5, 102.5
  ASSERT_EQ(restart(), 0);
  int again = reader();
  auto q = std::make_shared<ReadPosition>();
  EXPECT_EQ(tarnresurrect(again, q, "in"), -2);
  EXPECT_EQ(q->time(), 101.0);
  Reaped r = reap(again);
  EXPECT_EQ(r.id, 1);
  EXPECT_EQ(r.time, 101.5);
}

TEST_F(ReadPositions, AnEmptyServerIsReported) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 2, 100.0));
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  tarnresurrect(fd, p, "in");
  tarnseek(fd, TARN_OLDEST);
  reapInto(fd, *p);
  ASSERT_EQ(bury(), 0);
  server_.restart();
  ASSERT_EQ(restart(), 0);
  EXPECT_EQ(tarnresurrect(reader(), std::make_shared<ReadPosition>(), "in"), -3);
}

TEST_F(ReadPositions, PositionsOfReadersAbsentFromARunAreKept) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 3, 100.0));
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  tarnresurrect(fd, p, "away");
  tarnseek(fd, TARN_OLDEST);
  reapInto(fd, *p);
  ASSERT_EQ(bury(), 0);
  ASSERT_EQ(restart(), 0);  // a run in which that reader is switched off
  ASSERT_EQ(bury(), 0);
  ASSERT_EQ(restart(), 0);
  int back = reader();
  EXPECT_EQ(tarnresurrect(back, std::make_shared<ReadPosition>(), "away"), 0);
  EXPECT_EQ(reap(back).id, 1);
}

TEST_F(ReadPositions, SameKeyTwiceSavesTheOlderPosition) {
  ASSERT_EQ(restart(), 0);
  ASSERT_TRUE(put("AA/x", 6, 100.0));
  int a = reader(), b = reader();
  auto pa = std::make_shared<ReadPosition>(), pb = std::make_shared<ReadPosition>();
  drainLog();
  tarnresurrect(a, pa, "same");
  tarnresurrect(b, pb, "same");
  EXPECT_NE(drainLog().find("two readers of tarn '" + server_.name() +
                            "' have the same expressions and the same name 'same'"),
            std::string::npos);
  tarnseek(a, TARN_OLDEST);
  tarnseek(b, TARN_OLDEST);
  for (int i = 0; i < 4; ++i) reapInto(a, *pa);
  for (int i = 0; i < 2; ++i) reapInto(b, *pb);
  ASSERT_EQ(bury(), 0);
  ASSERT_EQ(restart(), 0);
  int c = reader();
  EXPECT_EQ(tarnresurrect(c, std::make_shared<ReadPosition>(), "same"), 0);
  EXPECT_EQ(reap(c).id, 2);  // after b's packet 1: neither reader misses one
}

TEST_F(ReadPositions, UnusableFilesAreReportedAndIgnored) {
  struct Case {
    const char *what;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"truncated", "tarn2tarn_pre read positions 1\nposition \"t\" \"\" \"\" \"in\" 3 4.5\n"},
      {"garbage", std::string("\x00\x01\xff garbage\n", 12)},
  };
  for (const Case &c : cases) {
    testsupport::writeFile(statefile(), c.content);
    drainLog();
    EXPECT_EQ(restart(), -1) << c.what;
    std::string log = drainLog();
    EXPECT_NE(log.find("exhume: statefile '" + statefile() + "' is unusable ("), std::string::npos)
        << log;
    EXPECT_NE(log.find("); starting without saved read positions"), std::string::npos) << log;
    EXPECT_EQ(tarnresurrect(reader(), std::make_shared<ReadPosition>(), "in"), -1) << c.what;
    EXPECT_EQ(bury(), 0) << c.what;  // and the next save replaces it
    EXPECT_EQ(restart(), 0) << c.what;
  }
}

// Files that are not statefiles by their kind or size are refused without
// being read: a FIFO would block the read, a huge file would take the
// memory. The next save replaces them.
TEST_F(ReadPositions, FilesThatAreNotRegularOrAreHugeAreRefusedUnread) {
  struct Case {
    const char *what;
    std::function<bool()> make;
    std::string why;
  } cases[] = {
      {"fifo", [&] { return mkfifo(statefile().c_str(), 0644) == 0; }, "not a regular file"},
      {"huge",
       [&] {
         testsupport::writeFile(statefile(), "x");
         return truncate(statefile().c_str(), 17 << 20) == 0;  // sparse: no disk used
       },
       "17825792 bytes, more than a statefile can hold (16777216)"},
  };
  for (const Case &c : cases) {
    std::remove(statefile().c_str());
    ASSERT_TRUE(c.make()) << c.what;
    drainLog();
    EXPECT_EQ(restart(), -1) << c.what;
    EXPECT_NE(drainLog().find("exhume: cannot read statefile '" + statefile() + "': " + c.why +
                              "; starting without saved read positions"),
              std::string::npos)
        << c.what;
    EXPECT_EQ(bury(), 0) << c.what;
    EXPECT_EQ(restart(), 0) << c.what;
  }
}

// A saved position that no reader takes is forgotten once it is older than
// the lifetime; one a reader held recently is kept.
TEST_F(ReadPositions, PositionsNoReaderTakesAreForgottenAfterTheirLifetime) {
  double now = static_cast<double>(std::time(nullptr));
  std::vector<statefile::SavedPosition> saved(2);
  saved[0].address = saved[1].address = "127.0.0.1:1";
  saved[0].tarn = saved[1].tarn = ":1";
  saved[0].owner = "old";
  saved[1].owner = "recent";
  saved[0].id = saved[1].id = 1;
  saved[0].seen = now - 40 * 86400;
  saved[1].seen = now - 86400;
  testsupport::writeFile(statefile(), statefile::formatStatefile(saved, now));
  ASSERT_EQ(restart(), 0);
  drainLog();
  ASSERT_EQ(bury(), 0);
  EXPECT_NE(
      drainLog().find(
          "bury: forgetting the saved position of reader 'old' of tarn ':1' (127.0.0.1:1): no "
          "reader has taken it for 40 days"),
      std::string::npos);
  std::string text = testsupport::readFile(statefile());
  EXPECT_EQ(text.find("\"old\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"recent\""), std::string::npos) << text;
  statefile_set_position_lifetime(0);  // for ever
  saved[0].seen = 1;
  testsupport::writeFile(statefile(), statefile::formatStatefile(saved, now));
  ASSERT_EQ(restart(), 0);
  ASSERT_EQ(bury(), 0);
  EXPECT_NE(testsupport::readFile(statefile()).find("\"old\""), std::string::npos);
  statefile_set_position_lifetime(STATEFILE_DEFAULT_POSITION_LIFETIME);
}

TEST_F(ReadPositions, AFailingSaveIsReportedOnceAndItsRecoveryOnce) {
  ASSERT_EQ(restart(), 0);
  ASSERT_EQ(bury(), 0);
  std::string good = testsupport::readFile(statefile());
  // A directory where the temporary file goes makes every save fail, even
  // for a user whom permissions do not stop.
  ASSERT_EQ(mkdir((statefile() + ".tmp").c_str(), 0755), 0);
  drainLog();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bury(), -1);
  std::string log = drainLog();
  EXPECT_NE(log.find("bury: cannot save read positions to statefile '" + statefile() +
                     "': cannot create '" + statefile() +
                     ".tmp': Is a directory (reported once; saving goes on)"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("bury:", log.find("bury:") + 1), std::string::npos)
      << "reported more than once: " << log;
  EXPECT_EQ(testsupport::readFile(statefile()), good);  // the old file is left whole
  ASSERT_EQ(rmdir((statefile() + ".tmp").c_str()), 0);
  EXPECT_EQ(bury(), 0);
  EXPECT_EQ(bury(), 0);
  log = drainLog();
  const std::string recovered =
      "bury: read positions saved to statefile '" + statefile() + "' again";
  EXPECT_NE(log.find(recovered), std::string::npos) << log;
  EXPECT_EQ(log.find("again"), log.rfind("again")) << "reported more than once: " << log;
}

TEST_F(ReadPositions, AnUnknownDescriptorHasNoPosition) {
  ASSERT_EQ(restart(), 0);
  drainLog();
  EXPECT_EQ(tarnresurrect(987654, std::make_shared<ReadPosition>(), "in"), -1);
  EXPECT_NE(drainLog().find("tarnresurrect: unknown tarn descriptor 987654"), std::string::npos);
}

TEST_F(ReadPositions, SavesAreWholeWhileReadersMove) {
  // A reader updating its position while saves run: every file written is
  // complete and holds an id with its own time.
  ASSERT_EQ(restart(), 0);
  int fd = reader();
  auto p = std::make_shared<ReadPosition>();
  tarnresurrect(fd, p, "busy");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000 && !done; ++i) p->set(i, 1000.0 + i);
  });
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(bury(), 0);
    std::string text = testsupport::readFile(statefile());
    size_t at = text.find("\"busy\" after ");
    if (at == std::string::npos) continue;
    int id = 0;
    double time = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + at + 13, "%d %lf", &id, &time), 2) << text;
    EXPECT_EQ(time, 1000.0 + id);
  }
  done = true;
  writer.join();
}

// A reader that asks before the statefile has been read waits for it, and
// then finds its position. In a fresh process, where nothing was read yet.
TEST_F(ReadPositions, AReaderWaitsForTheStatefileToBeRead) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!put("AA/x", 3, 100.0)) std::exit(2);
        statefile::SavedPosition saved;
        saved.tarn = server_.name();
        saved.owner = "late";
        saved.id = 0;
        saved.time = 100.0;
        testsupport::writeFile(statefile(), statefile::formatStatefile({saved}, 0));
        int fd = reader();
        std::atomic<int> result{99};
        std::thread early(
            [&] { result = tarnresurrect(fd, std::make_shared<ReadPosition>(), "late"); });
        testsupport::waitUntil([&] { return tarnresurrect_waiting() == 1 || result.load() != 99; },
                               std::chrono::seconds(5));
        bool waited = result.load() == 99;
        restart();
        early.join();
        int code = waited && result.load() == 0 && reap(fd).id == 1 ? 0 : 1;
        server_.kill();  // the server must not outlive this child and hold its pipes open
        std::exit(code);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarntest
