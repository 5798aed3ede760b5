#include "managers/relay_log_mgr.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "output_capture.h"
#include "platform/elog/elog.h"
#include "process.h"

namespace {

using testcapture::OutputCapture;

const std::string kPlea =
    " If you are actively using this feature, please e-mail support@tarn2tarn.example so that it "
    "can be kept.";

struct Written {
  std::string out;
  std::string err;
};

class LogMgr : public testing::Test {
 protected:
  void SetUp() override {
    mgr.nameThread("tester");
    elog_flush(0, 0);
    Stop = 0;
  }
  void TearDown() override {
    elog_flush(0, 0);
    Stop = 0;
  }

  // What `body` writes to standard output and standard error.
  Written capture(const std::function<void()> &body) {
    OutputCapture capture;
    body();
    capture.stop();
    return {capture.out(), capture.err()};
  }

  // Everything written by each message operation once, at `level`.
  Written allOperations(int level) {
    log().setVerbose(level);
    return capture([&] {
      log().notify("n");
      log().verbose("v");
      log().veryVerbose("vv");
      log().elog_complain("c");
      log().SCAFFOLD_FEATURE("f");
    });
  }

  RelayLogMgr &log() { return mgr; }

  RelayLogMgr mgr;
};

TEST_F(LogMgr, QuietLevelWritesNeitherVerboseKind) {
  Written w = allOperations(0);
  EXPECT_EQ(w.out, "Thread 'tester': n\nSCAFFOLD: Thread 'tester': f" + kPlea + "\n");
  EXPECT_EQ(w.err, "Thread 'tester': c\n");
}

TEST_F(LogMgr, VerboseLevelWritesVerboseButNotVeryVerbose) {
  Written w = allOperations(1);
  EXPECT_EQ(w.out,
            "Thread 'tester': n\nThread 'tester': v\nSCAFFOLD: Thread 'tester': f" + kPlea + "\n");
  EXPECT_EQ(w.err, "Thread 'tester': c\n");
}

TEST_F(LogMgr, VeryVerboseLevelsWriteBoth) {
  for (int level : {2, 3}) {
    Written w = allOperations(level);
    EXPECT_EQ(w.out,
              "Thread 'tester': n\nThread 'tester': v\nThread 'tester': vv\n"
              "SCAFFOLD: Thread 'tester': f" +
                  kPlea + "\n")
        << "level " << level;
    EXPECT_EQ(w.err, "Thread 'tester': c\n") << "level " << level;
  }
}

TEST_F(LogMgr, MessagesAreWrittenVerbatim) {
  Written w = capture([&] { log().notify("100% %s %n {q}\ttab"); });
  EXPECT_EQ(w.out, "Thread 'tester': 100% %s %n {q}\ttab\n");
}

TEST_F(LogMgr, LabelFollowsTheRegistryWidth) {
  std::thread([&] { mgr.nameThread("connection_long_name"); }).join();
  Written w = capture([&] { log().notify("x"); });
  EXPECT_EQ(w.out, "Thread " + std::string(20 - 6, ' ') + "'tester': x\n");
}

TEST_F(LogMgr, LinesOfManyThreadsNeverInterleave) {
  const int kThreads = 4, kLines = 200;
  Written w = capture([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        mgr.nameThread("writer_" + std::to_string(t));
        for (int i = 0; i < kLines; ++i) log().notify(std::string(100, static_cast<char>('a' + t)));
      });
    }
    for (auto &th : threads) th.join();
  });
  std::istringstream lines(w.out);
  std::string line;
  int count = 0;
  const std::string head = "Thread 'writer_";
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.size(), head.size() + 4 + 100) << line;
    ASSERT_EQ(line.substr(0, head.size()), head) << line;
    char writer = line[head.size()];
    ASSERT_EQ(line.substr(head.size() + 1, 3), "': ") << line;
    EXPECT_EQ(line.substr(head.size() + 4),
              std::string(100, static_cast<char>('a' + (writer - '0'))))
        << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// ---- Fatal operations (in a child process) ----

TEST_F(LogMgr, ElogDieWritesTheFatalLineBetweenEmptyLinesAndExits255) {
  auto result = testcapture::runInChild([&] {
    log().elog_die("Unexpected internal error: boom");
    std::printf("returned\n");
  });
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err, "\nFatal: Thread 'tester': Unexpected internal error: boom\n\n");
  EXPECT_EQ(result.out, "");
}

TEST_F(LogMgr, DieInitializingWritesTheSameWay) {
  auto result = testcapture::runInChild(
      [&] { log().die_initializing("Failed to find parameter-file 'x'."); });
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err, "\nFatal: Thread 'tester': Failed to find parameter-file 'x'.\n\n");
}

TEST_F(LogMgr, FatalErrorsFirstReportWhatTheLibrariesRecorded) {
  auto result = testcapture::runInChild([&] {
    elog_log(0, "pfread: 'x.pf' line 3: expected a key");
    log().die_initializing("Failed to parse parameter-file 'x'.");
  });
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.err,
            "Thread 'tester': pfread: 'x.pf' line 3: expected a key\n"
            "\nFatal: Thread 'tester': Failed to parse parameter-file 'x'.\n\n");
}

// ---- The line sink (the log queue's, when the configuration has one) ----

TEST_F(LogMgr, SinkGetsTheWrittenLinesOfThreeKindsAndItsFailureIsReportedWithoutRecursion) {
  std::vector<std::string> offered;
  log().setVerbose(2);
  log().setLineSink([&](const std::string &line) {
    offered.push_back(line);
    if (line.ends_with("bad")) throw RelayException("sink failed");
  });
  Written w = capture([&] {
    log().notify("n");
    log().verbose("v");
    log().veryVerbose("vv");
    log().elog_complain("c");
    log().notify("bad");
    log().notify("after");
  });
  log().setLineSink(nullptr);
  EXPECT_EQ(offered, (std::vector<std::string>{"Thread 'tester': n", "Thread 'tester': v",
                                               "Thread 'tester': c", "Thread 'tester': bad",
                                               "Thread 'tester': after"}));
  EXPECT_EQ(w.err, "Thread 'tester': c\nThread 'tester': sink failed\n");
}

// ---- The log manager thread ----

class LogMgrThread : public LogMgr {
 protected:
  void startManager() {
    manager = std::thread([&] { log().run(1.0); });
  }
  void stopManager() {
    Stop = 1;
    manager.join();
  }
  std::thread manager;
};

TEST_F(LogMgrThread, DrainsLibraryMessagesAsComplaintsUntilStopped) {
  log().setVerbose(1);
  OutputCapture output;
  elog_log(0, "tarnclient: lost connection to '%s'", ":6510");
  elog_log(0, "tarnclient: reconnected");
  startManager();
  bool drained =
      testsupport::waitUntil([&] { return output.err().find("reconnected") != std::string::npos; },
                             std::chrono::seconds(10));
  elog_log(0, "recorded just before the stop");
  stopManager();
  output.stop();
  ASSERT_TRUE(drained);
  EXPECT_EQ(
      output.err(),
      "Thread 'log_manager': tarnclient: lost connection to ':6510'\ntarnclient: reconnected\n"
      "Thread 'log_manager': recorded just before the stop\n");
  EXPECT_EQ(output.out(),
            "Thread 'log_manager': Thread starting\nThread 'log_manager': Thread finished\n");
  EXPECT_EQ(elog_mark(), 0);
}

TEST_F(LogMgrThread, QuietWithNothingToDrain) {
  OutputCapture output;
  startManager();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stopManager();
  output.stop();
  EXPECT_EQ(output.out(), "");
  EXPECT_EQ(output.err(), "");
}

TEST_F(LogMgrThread, EndsAtOnceWhenStopIsAlreadySet) {
  log().setVerbose(1);
  Stop = 1;
  OutputCapture output;
  startManager();
  manager.join();
  output.stop();
  EXPECT_EQ(output.out(),
            "Thread 'log_manager': Thread starting\nThread 'log_manager': Thread finished\n");
}

}  // namespace
