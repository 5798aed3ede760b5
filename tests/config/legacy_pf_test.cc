// The legacy form: a legacy command line and its parameter file become one
// reader and one writer joined by "mainq". configure() runs in this process
// at -v, so the connections' descriptions show what was built; cases that
// end the process run the real program. Each test has a configuration of its
// own and starts with an empty tag registry (fresh_tag_registry.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/relay_times.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "fresh_tag_registry.h"
#include "output_capture.h"
#include "process.h"

namespace {

// The configuration lives until the process ends, as in the relay.
RelayConfig &keptConfig() {
  static auto *kept = new std::vector<RelayConfig *>;
  kept->push_back(new RelayConfig());
  return *kept->back();
}

size_t countOf(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class LegacyPf : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    RelayCnf = &config;
    config.nameThread("master");
  }
  void TearDown() override {
    RelayCnf = nullptr;
    if (saved) {
      EXPECT_EQ(chdir(saved), 0);
      free(saved);
    }
  }
  void configure(const std::string &legacyFile, std::vector<std::string> args) {
    testsupport::writeFile(dir.file("legacy.pf"), legacyFile);
    args.insert(args.begin(), {"tarn2tarn_pre", "-v", "-p", "legacy", "-t", "t1"});
    storage = args;
    std::vector<char *> argv;
    for (auto &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    testcapture::OutputCapture capture;
    config.configure(static_cast<int>(storage.size()), argv.data());
    capture.stop();
    out = capture.out();
  }
  std::shared_ptr<RelayConnection> connection(const std::string &name) {
    for (auto &c : config.getConnections()) {
      if (c->connectionName() == name) return c;
    }
    return nullptr;
  }
  bool said(const std::string &line) const {
    return out.find("Thread 'master': " + line + "\n") != std::string::npos;
  }

  testsupport::TempDir dir;
  char *saved = nullptr;
  RelayConfig &config = keptConfig();
  std::vector<std::string> storage;
  std::string out;
};

TEST_F(LegacyPf, BareCommandLineAndEmptyFile) {
  configure("", {"in:1", "out:2"});
  auto reader = connection("1/t1");
  auto writer = connection("2/t1");
  ASSERT_TRUE(reader && writer) << out;
  EXPECT_TRUE(reader->isReader());
  EXPECT_FALSE(writer->isReader());
  EXPECT_EQ(reader->readerSettings().match, "");
  EXPECT_EQ(reader->readerSettings().reject, "");
  EXPECT_EQ(reader->readerSettings().starttime, TIME_UNSET);
  EXPECT_EQ(reader->readerSettings().endtime, TIME_UNSET);
  EXPECT_EQ(reader->readerSettings().tooOld, TIME_UNSET);
  EXPECT_EQ(reader->readerSettings().tooNew, TIME_UNSET);
  EXPECT_FALSE(reader->readerSettings().checkUnstuff);
  EXPECT_TRUE(reader->readerSettings().suppressUnstuffErrors);
  EXPECT_EQ(writer->writerSettings().maxQueue, 100);
  EXPECT_EQ(reader->getString("queue_name"), "mainq");
  EXPECT_EQ(writer->getString("queue_name"), "mainq");
  EXPECT_EQ(reader->getString("tarnname"), "in:1");
  EXPECT_EQ(writer->getString("tarnname"), "out:2");
  // Status and log packets go into the same queue.
  EXPECT_EQ(config.getRelayStatusQueue(), config.getRelayQueue("mainq"));
  EXPECT_EQ(config.getRelayLogQueue(), config.getRelayQueue("mainq"));
}

TEST_F(LegacyPf, IgnoreReportIsWrittenOnEveryRun) {
  configure("", {"in:1", "out:2"});
  EXPECT_NE(out.find("SCAFFOLD: Thread 'master': Ignoring legacy parameter-file parameters "
                     "'discards', 'lag_reset', 'lag_trigger', 'test_freq', 'wait_match', "
                     "'wait_reject', 'wait_seconds'. "),
            std::string::npos)
      << out;
}

TEST_F(LegacyPf, QueueOnceAndTwoConnectionsAreReported) {
  configure("", {"in:1", "out:2"});
  EXPECT_EQ(countOf(out, "Added queue 'mainq'"), 1u);
  EXPECT_TRUE(said("Added connection '1/t1'"));
  EXPECT_TRUE(said("Added connection '2/t1'"));
  EXPECT_EQ(countOf(out, "Added connection '"), 2u);
}

TEST_F(LegacyPf, CommandLineExpressionsAndTimes) {
  configure("", {"-m", "AA.*", "-r", "AA_X.*", "in:1", "out:2", "1000000000", "last"});
  auto reader = connection("1/t1");
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->readerSettings().match, "AA.*");
  EXPECT_EQ(reader->readerSettings().reject, "AA_X.*");
  EXPECT_EQ(reader->readerSettings().starttime, 1000000000.0);
  EXPECT_EQ(reader->readerSettings().endtime, TIME_LAST);
  EXPECT_TRUE(said("\t\tendtime\t\t\tlast"));
  // The writer never filters.
  EXPECT_EQ(connection("2/t1")->readerSettings().match, "");
}

TEST_F(LegacyPf, PeriodBecomesAnEndTime) {
  configure("", {"in:1", "out:2", "1000000000", "60"});
  EXPECT_EQ(connection("1/t1")->readerSettings().endtime, 1000000060.0);
}

TEST_F(LegacyPf, FiltersOfTheLegacyFile) {
  configure("too_old 3600\ntoo_new 5.5\ncheck_unstuff yes\nwait_match x\n", {"in:1", "out:2"});
  auto reader = connection("1/t1");
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->readerSettings().tooOld, 3600.0);
  EXPECT_EQ(reader->readerSettings().tooNew, 5.5);
  EXPECT_TRUE(reader->readerSettings().checkUnstuff);
  EXPECT_TRUE(said("\t\ttoo_old\t\t3600.000000"));
  EXPECT_TRUE(said("\t\ttoo_new\t\t5.500000"));
}

TEST_F(LegacyPf, EmptyValuesInTheLegacyFileAreAbsent) {
  configure("too_old\ncheck_unstuff\n", {"in:1", "out:2"});
  auto reader = connection("1/t1");
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->readerSettings().tooOld, TIME_UNSET);
  EXPECT_FALSE(reader->readerSettings().checkUnstuff);
}

// The expressions reach the reader as given, whatever parameter text would
// make of them: blanks at the ends, line breaks, a leading '&', quotes.
TEST_F(LegacyPf, ExpressionsAreTakenLiterally) {
  const std::string match = "  AA\n|B\"\t ", reject = "&Arr\\{|x\\\\";
  configure("", {"-m", match, "-r", reject, "in:1", "out:2"});
  auto reader = connection("1/t1");
  ASSERT_TRUE(reader) << out;
  EXPECT_EQ(reader->readerSettings().match, match);
  EXPECT_EQ(reader->readerSettings().reject, reject);
}

TEST(LegacyPfFailure, UnreadableFileValuesAreRefused) {
  testsupport::TempDir dir;
  struct Case {
    std::string line, key, value, expected;
  } cases[] = {
      {"too_old abc", "too_old", "abc",
       "a number of seconds greater than 0, or empty for no limit"},
      {"too_new nan", "too_new", "nan",
       "a number of seconds greater than 0, or empty for no limit"},
      {"too_old -5", "too_old", "-5", "a number of seconds greater than 0, or empty for no limit"},
      {"check_unstuff maybe", "check_unstuff", "maybe",
       "true or false (or yes/no, y/n, on/off, 1/0)"},
  };
  for (const Case &c : cases) {
    testsupport::writeFile(dir.file("legacy.pf"), c.line + "\n");
    auto r = testsupport::runProgram(
        {testsupport::programPath("tarn2tarn_pre"), "-p", dir.file("legacy"), "in:1", "out:2"});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "\nFatal: Thread 'master': Configuration error: legacy parameter file '" +
                         dir.file("legacy") + "' has an invalid '" + c.key + "' value '" + c.value +
                         "': expected " + c.expected + "\n\n");
  }
}

TEST(LegacyPfFailure, EmptyInputNameIsAVettingError) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("legacy.pf"), "");
  auto r = testsupport::runProgram(
      {testsupport::programPath("tarn2tarn_pre"), "-p", dir.file("legacy"), "", "out:2"});
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_NE(r.err.find("Configuration error: read connection 'auto' must specify either "
                       "'read_from_tarnname' or 'read_from_tarntag'"),
            std::string::npos)
      << r.err;
}

}  // namespace
