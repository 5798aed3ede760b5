// The real relay program: it reports its start, runs until a termination
// signal, and reports its shutdown with exit status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "process.h"
#include "relay_pf.h"

namespace {

using std::chrono::seconds;
using testsupport::ChildProcess;
using testsupport::programPath;
using testsupport::waitUntil;

class RelayStartStop : public testing::Test {
 protected:
  // Starts the relay on a parameter file without connections and waits for
  // its start line.
  void start(const std::string &flag = "") {
    testsupport::writeFile(dir.file("relay.pf"), testsupport::kMinimalRelayPf);
    std::vector<std::string> argv = {programPath("tarn2tarn_pre"), "-p", dir.file("relay")};
    if (!flag.empty()) argv.push_back(flag);
    relay = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(waitUntil([&] { return relay->out().find("starting at") != std::string::npos; },
                          seconds(20)))
        << relay->err();
  }
  std::string pid() const { return std::to_string(relay->pid()); }

  // Waits until the state and log managers have started and named
  // themselves (the system shows a thread's name in /proc). The status
  // manager is started between them and names itself first thing, so its
  // label is registered once its thread has been joined, before the
  // shutdown line.
  bool managersStarted() const {
    return waitUntil(
        [&] {
          std::set<std::string> names;
          std::error_code ec;
          for (const auto &task :
               std::filesystem::directory_iterator("/proc/" + pid() + "/task", ec)) {
            std::string name = testsupport::readFile(task.path() / "comm");
            names.insert(name.substr(0, name.find('\n')));
          }
          return names.count("state_manager") && names.count("log_manager");
        },
        seconds(20));
  }

  testsupport::TempDir dir;
  std::unique_ptr<ChildProcess> relay;
};

// True when `text` is a time as the relay writes it: "12/07/26 10:00:00 UTC".
bool isNoticeTime(const std::string &text) {
  const std::string shape = "00/00/00 00:00:00 UTC";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

// Splits "head TIME tail" lines: true when `line` is `head`, a notice time
// and `tail`.
bool matchesWithTime(const std::string &line, const std::string &head, const std::string &tail) {
  if (line.size() < head.size() + tail.size()) return false;
  if (line.compare(0, head.size(), head) != 0) return false;
  if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
  return isNoticeTime(line.substr(head.size(), line.size() - head.size() - tail.size()));
}

std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(RelayStartStop, StartsAndShutsDownOnEachTerminationSignal) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    start();
    ASSERT_TRUE(managersStarted());
    relay->signal(sig);
    ASSERT_EQ(relay->wait(seconds(20)), 0) << "signal " << sig << ": " << relay->err();
    // The second label is wider: "status_manager", the longest manager name, is registered by then.
    auto lines = linesOf(relay->out());
    ASSERT_EQ(lines.size(), 2u) << relay->out();
    EXPECT_TRUE(matchesWithTime(lines[0], "Thread 'master': tarn2tarn_pre starting at ",
                                " as pid " + pid()))
        << lines[0];
    EXPECT_TRUE(matchesWithTime(
        lines[1], "Thread         'master': tarn2tarn_pre (pid " + pid() + ") shutting down at ",
        ""))
        << lines[1];
    EXPECT_EQ(relay->err(), "");
  }
}

// With -v the line before the stop line names the signal; the stop line
// itself is the same as without -v.
TEST_F(RelayStartStop, VerboseStopLineNamesTheSignal) {
  for (auto [sig, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGHUP, "SIGHUP"}}) {
    start("-v");
    ASSERT_TRUE(managersStarted());
    relay->signal(sig);
    ASSERT_EQ(relay->wait(seconds(20)), 0) << relay->err();
    auto lines = linesOf(relay->out());
    ASSERT_GE(lines.size(), 2u);
    std::string head = "'master': tarn2tarn_pre (pid " + pid() + ") shutting down at ";
    size_t at = lines.back().find(head);
    ASSERT_NE(at, std::string::npos) << relay->out();
    EXPECT_TRUE(matchesWithTime(lines.back().substr(at), head, "")) << lines.back();
    const std::string &before = lines[lines.size() - 2];
    EXPECT_EQ(before.substr(before.find("'master': ")),
              std::string("'master': Stop asked for by ") + name);
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
  ASSERT_TRUE(managersStarted());
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

// Whether the process blocks SIGTERM (its first deed; /proc/PID/status).
bool blocksTerminationSignals(int pid) {
  std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("SigBlk:");
  if (at == std::string::npos) return false;
  unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
  return (mask >> (SIGTERM - 1)) & 1;
}

// A stop asked for at any moment of the start-up, from the program's first
// code on, ends the relay in order: exit status 0 and its stop line, never
// the signal's death. (Before that, between exec and the program's first
// code, the kernel and the dynamic loader are at work and a signal's default
// action applies to any program; the relay has done nothing yet then.)
TEST_F(RelayStartStop, AStopSignalAtAnyMomentOfTheStartUpEndsItInOrder) {
  testsupport::writeFile(dir.file("relay.pf"), testsupport::kMinimalRelayPf);
  for (int delayMs : {0, 1, 2, 5, 10}) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      std::string what =
          "signal " + std::to_string(sig) + " after " + std::to_string(delayMs) + " ms";
      ChildProcess early({programPath("tarn2tarn_pre"), "-p", dir.file("relay")});
      auto until = std::chrono::steady_clock::now() + seconds(20);
      while (!blocksTerminationSignals(early.pid()) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
      if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      kill(early.pid(), sig);
      testsupport::Ending end = early.stop(0, seconds(20));
      EXPECT_EQ(end.exitStatus, 0) << what << "\n" << early.err();
      EXPECT_NE(early.out().find("shutting down at"), std::string::npos) << what;
    }
  }
}

}  // namespace
