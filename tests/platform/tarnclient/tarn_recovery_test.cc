// Lost connections: the library reconnects, resumes reading after the last
// packet it delivered, re-sends unacknowledged puts, and waits or gives up
// as the stop flag says. Also: puts survive the end of the process, and
// descriptors are independent across threads.
#include <atomic>
#include <set>
#include <thread>

#include "platform/stopflag/stopflag.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

using namespace std::chrono_literals;

class Recovery : public TarnClientTest {
 protected:
  Recovery() : TarnClientTest({"-r", dir().file("ring"), "-s", "16M", "-m", "64k"}) {}
  static testsupport::TempDir &dir() {
    static testsupport::TempDir d;
    return d;
  }
  void TearDown() override { std::remove(dir().file("ring").c_str()); }
};

TEST_F(Recovery, AKilledServerRestartedOnItsRingLosesNoPacketForReaderOrWriter) {
  const int total = 4000;
  int w = open("w&");
  int r = open("r&");
  ASSERT_GT(w, 0);
  ASSERT_GT(r, 0);
  std::atomic<int> seen{0};
  std::vector<int> counts(total, 0);
  std::thread writer([&] {
    for (int i = 0; i < total; ++i) {
      std::string b = std::to_string(i);
      ASSERT_EQ(tarnput(w, "REC/x", i, b.data(), static_cast<int>(b.size())), 0);
      if (i % 50 == 0) std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(tarnclose(w), 0);
  });
  std::thread reader([&] {
    char src[64];
    char *buf = nullptr;
    int size = 0, id, n;
    double t;
    auto end = std::chrono::steady_clock::now() + 60s;
    int distinct = 0;
    while (distinct < total && std::chrono::steady_clock::now() < end) {
      if (tarnreap_timeout(r, 0.5, &id, src, &t, &buf, &n, &size) != 0) continue;
      int k = std::stoi(std::string(buf, static_cast<size_t>(n)));
      if (counts[static_cast<size_t>(k)]++ == 0) ++distinct;
      seen = distinct;
    }
    std::free(buf);
  });
  ASSERT_TRUE(testsupport::waitUntil([&] { return seen > 1000; }, 30s));
  server_.kill();
  restartOnceAwaited({w, r});
  writer.join();
  reader.join();
  w = -1;
  open_.erase(open_.begin());
  int missing = 0, thrice = 0;
  for (int c : counts) {
    missing += c == 0;
    thrice += c > 2;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(thrice, 0);
  std::string log = drainLog();
  EXPECT_NE(log.find("connection lost"), std::string::npos) << log;
  EXPECT_NE(log.find("connection restored"), std::string::npos) << log;
}

TEST_F(Recovery, ReapTimesOutWhileTheServerIsAwayAndEndsOnceStopping) {
  ASSERT_TRUE(put("A/x", 2));
  int r = open();
  ASSERT_EQ(tarnposition(r, "oldest"), 0);
  EXPECT_EQ(reap(r).id, 0);
  server_.kill();
  EXPECT_EQ(reap(r, 0.3).id, 1);  // already read ahead before the kill
  EXPECT_EQ(reap(r, 0.3).rc, TARN_TIMEOUT);
  EXPECT_EQ(reap(r, 0.3).rc, TARN_TIMEOUT);
  {
    StopFlagScope stop;
    stop.set();
    EXPECT_EQ(reap(r, 0.3).rc, TARN_EOF);
  }
  server_.restart();
  ASSERT_TRUE(put("A/x", 1));
  Reaped p;
  for (int i = 0; i < 50 && p.rc != 0; ++i) p = reap(r, 0.2);
  EXPECT_EQ(p.id, 2);  // resumes after the last packet delivered
}

TEST_F(Recovery, ExpressionsAreRestoredAfterAReconnection) {
  int r = open();
  ASSERT_EQ(tarnselect(r, "KEEP/.*"), 0);
  EXPECT_EQ(reap(r, 0.1).rc, TARN_TIMEOUT);
  server_.kill();
  server_.restart();
  ASSERT_TRUE(put("DROP/x", 3));
  ASSERT_TRUE(put("KEEP/y", 1));
  Reaped p;
  for (int i = 0; i < 50 && p.rc != 0; ++i) p = reap(r, 0.2);
  EXPECT_EQ(p.src, "KEEP/y");
}

TEST_F(Recovery, PutWaitsForTheServerAndGivesUpOnlyWhenStopping) {
  int w = open("w&");
  ASSERT_EQ(tarnput(w, "A/x", 1, "a", 1), 0);
  server_.kill();
  StopFlagScope stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(500ms);
    stop.set();
  });
  auto t0 = std::chrono::steady_clock::now();
  int rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) rc = tarnput(w, "A/x", 2, "b", 1);
  stopper.join();
  EXPECT_EQ(rc, -3);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 400ms);
  EXPECT_EQ(tarnclose(w), -1);  // stopping: the unsent puts are given up at once
  open_.clear();
}

// An idle writer that only collects acknowledgements sees its link lost
// while the server is away and mends it once the server is back.
TEST_F(Recovery, AnIdleWriterSeesItsLinkLostAndMendsItWhenTheServerIsBack) {
  int w = open("w&");
  ASSERT_EQ(tarnput(w, "A/x", 1, "a", 1), 0);
  ASSERT_EQ(tarnclient::awaitAcknowledged(w, 1, 10), 0);
  EXPECT_FALSE(tarnclient::linkLost(w));
  server_.kill();
  auto collectUntil = [&](bool lost) {
    return testsupport::waitUntil(
        [&] {
          tarnclient::collectAcknowledgements(w);
          return tarnclient::linkLost(w) == lost;
        },
        std::chrono::seconds(30));
  };
  EXPECT_TRUE(collectUntil(true));
  server_.restart();
  EXPECT_TRUE(collectUntil(false)) << "reconnected without a put";
  EXPECT_FALSE(tarnclient::linkLost(-5));
}

TEST_F(Recovery, UnacknowledgedPutsAreSentAgainToARestartedServer) {
  int w = open("w&");
  server_.stop();
  std::thread later([&] { restartOnceAwaited({w}); });
  for (int i = 0; i < 20; ++i) ASSERT_EQ(tarnput(w, "LATE/x", i, "z", 1), 0);
  later.join();
  EXPECT_EQ(tarnclose(w), 0);
  open_.erase(open_.begin());
  int r = open();
  EXPECT_EQ(tarnselect(r, "LATE/x"), 1);
  ASSERT_EQ(tarnposition(r, "oldest"), 0);
  EXPECT_EQ(reapIds(r, 20).size(), 20u);
}

// A descriptor with an expression sends a request while it recovers; puts
// that never left before the loss must still go out exactly once then.
TEST_F(Recovery, RegressionPutsUnsentAtTheLossAreNotSentTwiceWhenExpressionsAreRestored) {
  int w = open("w&");
  ASSERT_EQ(tarnselect(w, "SEL/.*"), 0);
  ASSERT_EQ(tarnput(w, "ONCE/x", 0, "0", 1), 0);
  server_.kill();
  std::thread later([&] { restartOnceAwaited({w}); });
  for (int i = 1; i < 30; ++i) {
    std::string b = std::to_string(i);
    ASSERT_EQ(tarnput(w, "ONCE/x", i, b.data(), static_cast<int>(b.size())), 0);
  }
  later.join();
  EXPECT_EQ(tarnclose(w), 0);
  open_.erase(open_.begin());
  int r = open();
  ASSERT_GE(tarnposition(r, "oldest"), 0);
  std::vector<int> counts(30, 0);
  for (int i = 0; i < 200; ++i) {
    Reaped p = reap(r, 0.3);
    if (p.rc != 0) break;
    counts[static_cast<size_t>(std::stoi(p.bytes))]++;
  }
  for (int i = 0; i < 30; ++i) {
    EXPECT_GE(counts[static_cast<size_t>(i)], 1) << i;
    EXPECT_LE(counts[static_cast<size_t>(i)], 2) << i;
  }
}

class MemoryRecovery : public TarnClientTest {};

TEST_F(MemoryRecovery, AReplacedRingIsReadFromItsOldest) {
  ASSERT_TRUE(put("A/x", 5));
  int r = open();
  ASSERT_EQ(tarnposition(r, "newest"), 4);
  EXPECT_EQ(reap(r).id, 4);
  server_.kill();
  server_.restart();  // a new ring: ids start again at 0
  ASSERT_TRUE(put("B/y", 2));
  std::vector<int> ids;
  for (int i = 0; i < 50 && ids.size() < 2; ++i) {
    Reaped p = reap(r, 0.2);
    if (p.rc == 0) ids.push_back(p.id);
  }
  EXPECT_EQ(ids, (std::vector<int>{0, 1}));
  EXPECT_NE(drainLog().find("ring was replaced"), std::string::npos);
}

TEST_F(MemoryRecovery, PutsOutstandingAtProcessExitAreDelivered) {
  auto res = testsupport::runProgram(
      {testsupport::programPath("tarn_exit_putter"), server_.name(), "5000"});
  ASSERT_EQ(res.exitStatus, 0) << res.err;
  int r = open();
  EXPECT_EQ(tarnposition(r, "newest"), 4999);
}

TEST_F(MemoryRecovery, DescriptorsAreIndependentAcrossThreads) {
  const int threads = 4, each = 500;
  std::vector<std::thread> pool;
  std::atomic<int> failures{0};
  int shared = open("w&");
  for (int k = 0; k < threads; ++k) {
    pool.emplace_back([&, k] {
      std::string src = "T" + std::to_string(k) + "/x";
      int own = tarnopen(server_.name().c_str(), "r&");
      if (tarnselect(own, src.c_str()) < 0) ++failures;
      for (int i = 0; i < each; ++i) {
        if (tarnput(shared, src.c_str(), i, "t", 1) != 0) ++failures;
      }
      char name[64];
      char *buf = nullptr;
      int size = 0, id, n;
      double t;
      for (int i = 0; i < each; ++i) {
        if (tarnreap_timeout(own, 10.0, &id, name, &t, &buf, &n, &size) != 0 || src != name ||
            t != i)
          ++failures;
      }
      std::free(buf);
      tarnclose(own);
    });
  }
  for (auto &t : pool) t.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace tarntest
