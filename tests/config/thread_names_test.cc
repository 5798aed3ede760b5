// The thread-name registry and the labels that start every log line.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/relay_config.h"

namespace {

std::string spaces(size_t n) { return std::string(n, ' '); }

// Thread identities are reused once a thread has ended, so each test names
// at most one helper thread per name it checks, and never expects a helper
// to be unnamed after another has ended.
class ThreadNames : public testing::Test {
 protected:
  // The calling thread's label, as computed on another thread named `name`
  // ("" for none).
  std::string labelOfThreadNamed(const std::string &name) {
    std::string label;
    std::thread([&] {
      if (!name.empty()) config.nameThread(name);
      label = config.getMyThreadLabel();
    }).join();
    return label;
  }

  RelayConfig config;
};

TEST_F(ThreadNames, AloneTheLabelHasNoPadding) {
  config.nameThread("master");
  EXPECT_EQ(config.getMyThreadName(), "master");
  EXPECT_EQ(config.getMyThreadLabel(), "Thread 'master'");
}

TEST_F(ThreadNames, ShorterNamesArePaddedToTheLongest) {
  config.nameThread("master");
  EXPECT_EQ(labelOfThreadNamed("connection_q12"), "Thread 'connection_q12'");
  EXPECT_EQ(config.getMyThreadLabel(), "Thread " + spaces(14 - 6) + "'master'");
}

TEST_F(ThreadNames, WidthOnlyGrowsSoEarlierLabelsAreNarrower) {
  config.nameThread("master");
  std::string before = config.getMyThreadLabel();
  labelOfThreadNamed("state_manager");
  labelOfThreadNamed("log");  // a shorter name does not narrow the labels
  std::string after = config.getMyThreadLabel();
  EXPECT_EQ(before, "Thread 'master'");
  EXPECT_EQ(after, "Thread " + spaces(13 - 6) + "'master'");
}

TEST_F(ThreadNames, UnnamedThreadGetsFullWidthAndEmptyQuotes) {
  EXPECT_EQ(config.getMyThreadLabel(), "Thread ''");
  EXPECT_EQ(config.getMyThreadName(), "");
  labelOfThreadNamed("log_manager");
  EXPECT_EQ(config.getMyThreadLabel(), "Thread " + spaces(11) + "''");
}

TEST_F(ThreadNames, SecondNameKeepsTheFirstButWidens) {
  config.nameThread("master");
  config.nameThread("a_much_longer_name");
  EXPECT_EQ(config.getMyThreadName(), "master");
  EXPECT_EQ(config.getMyThreadLabel(), "Thread " + spaces(18 - 6) + "'master'");
}

TEST_F(ThreadNames, ThreadsStartingTogetherEachKeepTheirName) {
  const int kThreads = 8;
  std::vector<std::string> labels(kThreads);
  std::atomic<int> named{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      config.nameThread("connection_" + std::to_string(i));
      ++named;
      while (named.load() < kThreads) std::this_thread::yield();
      labels[i] = config.getMyThreadLabel();
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(labels[i], "Thread 'connection_" + std::to_string(i) + "'");
  }
}

}  // namespace
