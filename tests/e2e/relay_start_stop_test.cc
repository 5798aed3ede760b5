// The real relay program: it reports its start, runs until a termination
// signal, and reports its shutdown with exit status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>

#include "process.h"

namespace {

using testsupport::ChildProcess;
using testsupport::programPath;
using testsupport::waitUntil;
using std::chrono::seconds;

class RelayStartStop : public testing::Test {
 protected:
  // Starts the relay and waits for its start line.
  void start() {
    relay = std::make_unique<ChildProcess>(std::vector<std::string>{programPath("tarn2tarn_pre")});
    ASSERT_TRUE(waitUntil([&] { return relay->out().find("starting at") != std::string::npos; }, seconds(20)))
        << relay->err();
  }
  std::string pid() const { return std::to_string(relay->pid()); }

  std::unique_ptr<ChildProcess> relay;
};

const char *kTime = "[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC";

TEST_F(RelayStartStop, StartsAndShutsDownOnEachTerminationSignal) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    start();
    // Let the manager threads start, so the signal meets the installed handling.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    relay->signal(sig);
    ASSERT_EQ(relay->wait(seconds(20)), 0) << "signal " << sig << ": " << relay->err();
    std::regex expected(std::string("Thread 'master': tarn2tarn_pre starting at ") + kTime + " as pid " + pid() +
                        "\nThread +'master': tarn2tarn_pre \\(pid " + pid() + "\\) shutting down at " + kTime + "\n");
    EXPECT_TRUE(std::regex_match(relay->out(), expected)) << relay->out();
    EXPECT_EQ(relay->err(), "");
  }
}

TEST_F(RelayStartStop, SignalRightAfterTheStartLineIsNotLost) {
  start();
  relay->signal(SIGTERM);
  EXPECT_EQ(relay->wait(seconds(20)), 0) << relay->err();
  EXPECT_NE(relay->out().find("shutting down at"), std::string::npos) << relay->out();
}

TEST_F(RelayStartStop, SecondSignalEndsItAtOnce) {
  start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  relay->signal(SIGTERM);
  relay->signal(SIGTERM);
  int status = relay->wait(seconds(20));
  // The first signal may already have ended the relay in order.
  if (status == 255) {
    EXPECT_EQ(relay->err(), "Second termination signal received: exiting now\n");
  } else {
    EXPECT_EQ(status, 0) << relay->err();
  }
}

}  // namespace
