#include "managers/relay_state_mgr.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "base/stop.h"
#include "base/termination_signals.h"
#include "managers/relay_log_mgr.h"
#include "output_capture.h"
#include "platform/elog/elog.h"
#include "process.h"

namespace {

RelayLogMgr &testLog() {
  static RelayLogMgr *log = new RelayLogMgr();
  return *log;
}

RelayStateMgr::Settings withStatefile(const std::string &path) {
  RelayStateMgr::Settings settings;
  settings.statefile = path;
  return settings;
}

class StateMgr : public testing::Test {
 protected:
  void SetUp() override { testLog().nameThread("tester"); }
};

// In a child, as the program does: the signals are blocked before the state
// manager thread starts; a termination signal to the process reaches that
// thread, sets Stop and ends its loop. `early` sends the signal before the
// thread has installed its handling.
void runStateManagerUntilSignalled(bool early) {
  blockTerminationSignals();
  Stop = 0;
  testLog().setVerbose(1);
  RelayStateMgr manager(withStatefile(""), testLog());
  if (early) kill(getpid(), SIGTERM);
  std::thread thread([&] { manager.run(); });
  if (!early) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(getpid(), SIGTERM);
  }
  thread.join();
  std::printf("Stop=%d\n", Stop.load());
}

TEST_F(StateMgr, TerminationSignalEndsTheThread) {
  auto result = testcapture::runInChild([] { runStateManagerUntilSignalled(false); });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(
      result.out,
      "Thread 'state_manager': Thread starting\nThread 'state_manager': Thread finished\nStop=1\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(StateMgr, SignalPendingBeforeTheHandlingIsInstalledIsNotFatal) {
  auto result = testcapture::runInChild([] { runStateManagerUntilSignalled(true); });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(
      result.out,
      "Thread 'state_manager': Thread starting\nThread 'state_manager': Thread finished\nStop=1\n");
}

// With a statefile: the broken file is reported, the manager saves a whole
// statefile after each time-out while it runs, and once more after the stop.
void runStateManagerWithStatefile(const std::string &path) {
  blockTerminationSignals();
  Stop = 0;
  RelayStateMgr manager(withStatefile(path), testLog());
  std::thread thread([&] { manager.run(); });
  bool saved = testsupport::waitUntil(
      [&] { return testsupport::readFile(path).rfind("tarn2tarn_pre read positions 3\n", 0) == 0; },
      std::chrono::seconds(10));
  std::remove(path.c_str());
  kill(getpid(), SIGTERM);
  thread.join();
  char *log = elog_string(0);
  std::printf("saved=%d final=%d\n%s\n", saved,
              testsupport::readFile(path).find("\nend 0\n") != std::string::npos, log ? log : "");
  std::free(log);
}

TEST_F(StateMgr, WithAStatefileItReadsItAndSavesItWhileRunningAndAtTheEnd) {
  testsupport::TempDir dir;
  std::string path = dir.file("relay.state");
  testsupport::writeFile(path, "not a statefile\n");
  auto result = testcapture::runInChild([&] { runStateManagerWithStatefile(path); });
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.out.find("saved=1 final=1\n"), std::string::npos) << result.out;
  EXPECT_NE(
      result.out.find("exhume: statefile '" + path + "' is unusable (line 1: not a statefile"),
      std::string::npos)
      << result.out;
}

}  // namespace
