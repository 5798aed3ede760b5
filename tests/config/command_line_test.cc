// The command line: the two syntaxes, the options of each, the usage text and
// the parameter-file failures. Cases that end the process run the real
// program; the others run configure() in this process, each test with an
// empty tag registry (fresh_tag_registry.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/relay_exception.h"
#include "base/relay_times.h"
#include "config/relay_config.h"
#include "fresh_tag_registry.h"
#include "output_capture.h"
#include "process.h"
#include "relay_config_inspector.h"
#include "relay_pf.h"
#include "tarn/tarn_tag.h"

namespace {

using testsupport::programPath;
using testsupport::runProgram;

// Runs configure() on a command line with a parameter file "relay.pf" in a
// fresh current folder.
class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    testsupport::writeFile(dir.file("relay.pf"), testsupport::kMinimalRelayPf);
    RelayCnf = &config;
  }
  void TearDown() override {
    RelayCnf = nullptr;
    if (saved) {
      EXPECT_EQ(chdir(saved), 0);
      free(saved);
    }
  }
  void configure(std::vector<std::string> args) {
    args.insert(args.begin(), "tarn2tarn_pre");
    storage = args;
    argv.clear();
    for (auto &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    testcapture::OutputCapture capture;
    config.configure(static_cast<int>(storage.size()), argv.data());
    capture.stop();
    out = capture.out();
    err = capture.err();
  }

  testsupport::TempDir dir;
  char *saved = nullptr;
  RelayConfig config;
  RelayConfigInspector inside{config};
  std::vector<std::string> storage;
  std::vector<char *> argv;
  std::string out, err;
};

TEST_F(CommandLine, NoArgumentsIsTheCurrentSyntax) {
  configure({"-p", "relay"});
  EXPECT_FALSE(config.isLegacy());
  EXPECT_THROW(TarnTag::getTarnTag("tarntag0001", "", false), RelayDNEException);
}

TEST_F(CommandLine, TagAndNamePairsRegisterTags) {
  configure({"-v", "-p", "relay", "t1", "srv1:6510", "t2", ":6511"});
  EXPECT_FALSE(config.isLegacy());
  EXPECT_EQ(TarnTag::getTarnTag("t1", "", false)->tarnName(), "srv1:6510");
  EXPECT_EQ(TarnTag::getTarnTag("t2", "", false)->tarnName(), ":6511");
  EXPECT_NE(out.find("Added tarntag 't1' for tarn name 'srv1:6510'"), std::string::npos);
}

TEST_F(CommandLine, TwoArgumentsAreAlwaysLegacy) {
  configure({"-p", "relay", "t1", "srv1"});
  EXPECT_TRUE(config.isLegacy());
  EXPECT_EQ(inside.tarnin(), "t1");
  EXPECT_EQ(inside.tarnout(), "srv1");
  // Both names get tags of their own, input first.
  EXPECT_EQ(TarnTag::getTarnTag("tarntag0001", "", false)->tarnName(), "t1");
  EXPECT_EQ(TarnTag::getTarnTag("tarntag0002", "", false)->tarnName(), "srv1");
  EXPECT_EQ(inside.legacyStart(), TIME_UNSET);
  EXPECT_EQ(inside.legacyEnd(), TIME_UNSET);
}

TEST_F(CommandLine, LegacyStartAndEndForms) {
  configure({"-p", "relay", "-m", "AA.*", "in", "out", "1000000000", "last"});
  EXPECT_TRUE(config.isLegacy());
  EXPECT_EQ(inside.match(), "AA.*");
  EXPECT_EQ(inside.legacyStart(), 1000000000.0);
  EXPECT_EQ(inside.legacyEnd(), TIME_LAST);
}

TEST_F(CommandLine, LegacyEndNotAfterStartIsAPeriod) {
  configure({"-p", "relay", "in", "out", "2026-12-07 10:00:00", "3600"});
  EXPECT_EQ(inside.legacyStart(), 1796637600.0);
  EXPECT_EQ(inside.legacyEnd(), 1796637600.0 + 3600);
}

TEST_F(CommandLine, LegacyEndAfterStartIsATime) {
  configure({"-p", "relay", "in", "out", "1000", "2026-12-07T10:00:00Z"});
  EXPECT_EQ(inside.legacyStart(), 1000.0);
  EXPECT_EQ(inside.legacyEnd(), 1796637600.0);
}

TEST_F(CommandLine, VerbosityCountsEveryV) {
  configure({"-v", "-v", "-p", "relay"});
  EXPECT_EQ(inside.verbosity(), 2);
}

TEST_F(CommandLine, DefaultNamesAreTheProgramName) {
  testsupport::writeFile(dir.file("tarn2tarn_pre.pf"), testsupport::kMinimalRelayPf);
  configure({});
  EXPECT_EQ(inside.pfname(), "tarn2tarn_pre");
  EXPECT_EQ(config.getTargetName(), "tarn2tarn_pre");
  EXPECT_EQ(config.getStateFile(), "");
}

TEST_F(CommandLine, PresentStatefileOverridesLegacyStartTime) {
  testsupport::writeFile(dir.file("state"), "");
  configure({"-p", "relay", "-S", "state", "in", "out", "1000"});
  EXPECT_EQ(config.getStateFile(), "state");
  EXPECT_EQ(inside.legacyStart(), TIME_UNSET);
  EXPECT_NE(err.find("Legacy start-time ignored since a statefile is specified (-S option) and "
                     "present"),
            std::string::npos);
}

TEST_F(CommandLine, AbsentStatefileKeepsLegacyStartTime) {
  configure({"-p", "relay", "-S", "nostate", "in", "out", "1000"});
  EXPECT_EQ(inside.legacyStart(), 1000.0);
  EXPECT_EQ(err.find("Legacy start-time ignored"), std::string::npos) << err;
}

TEST_F(CommandLine, ATagGivenTwiceKeepsItsFirstTarnName) {
  configure({"-v", "-p", "relay", "t1", "a:1", "t1", "b:2"});
  EXPECT_EQ(TarnTag::getTarnTag("t1", "", false)->tarnName(), "a:1");
  EXPECT_NE(out.find("Added tarntag 't1' for tarn name 'b:2'"), std::string::npos);
}

// ---- Cases that end the process ----

class CommandLineFailure : public ::testing::Test {
 protected:
  testsupport::ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), programPath("tarn2tarn_pre"));
    return runProgram(args, std::chrono::seconds(20));
  }
  testsupport::TempDir dir;
};

const char *const kUsage =
    "\nFatal: Thread 'master': Usage:\n\n[CURRENT SYNTAX]\n\n\ttarn2tarn_pre [-v]\n"
    "\t            [-p pf]\n\t            [-S statefile]\n"
    "\t            [-t targetname] \t[[tarntag tarnname] ...]\n\n[LEGACY SYNTAX]\n\n"
    "\ttarn2tarn_pre [-v]\n\t            [-m match]\n\t            [-p pf]\n"
    "\t            [-r reject]\n\t            [-S statefile]\n"
    "\t            [-t targetname] \ttarnin tarnout [start-time [period|end-time]]\n\n";

TEST_F(CommandLineFailure, ThreeArgumentsWithoutATimeShowUsage) {
  auto r = run({"in", "out", "notatime"});
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.err, kUsage);
}

TEST_F(CommandLineFailure, MatchAndRejectBelongToTheLegacySyntax) {
  for (const char *option : {"-m", "-r"}) {
    auto r = run({option, "AA", "t1", "srv1", "t2", "srv2"});
    EXPECT_EQ(r.exitStatus, 255) << option;
    EXPECT_EQ(r.err, kUsage) << option;
  }
}

TEST_F(CommandLineFailure, UnknownOptionShowsUsage) {
  auto r = run({"-x"});
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos);
  EXPECT_NE(r.err.find(kUsage), std::string::npos);
  // The start line comes first, before the command line is read.
  EXPECT_EQ(r.out.find("Thread 'master': tarn2tarn_pre starting at "), 0u);
}

TEST_F(CommandLineFailure, MissingParameterFile) {
  auto r = run({"-p", dir.file("nosuch")});
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.err, "\nFatal: Thread 'master': Failed to find parameter-file '" +
                       dir.file("nosuch") + "'.\n\n");
}

TEST_F(CommandLineFailure, BrokenParameterFileNamesItsLine) {
  testsupport::writeFile(dir.file("bad.pf"), "a 1\nb &Arr{\nc 2\n}\n}\n");
  auto r = run({"-p", dir.file("bad")});
  EXPECT_EQ(r.exitStatus, 255);
  std::string where = "file " + dir.file("bad.pf") + " line 5: ";
  auto reason = r.err.find(where);
  auto fatal = r.err.find("\nFatal: Thread 'master': Failed to parse parameter-file '" +
                          dir.file("bad") + "'.\n\n");
  ASSERT_NE(reason, std::string::npos) << r.err;
  ASSERT_NE(fatal, std::string::npos) << r.err;
  EXPECT_LT(reason, fatal);
}

// The target name starts "<target>/pf/st", which must fit in 62 characters.
TEST_F(CommandLineFailure, TargetNameMustStartTheRelaysOwnSourceNames) {
  testsupport::writeFile(dir.file("relay.pf"), testsupport::kMinimalRelayPf);
  const std::string longest(56, 't');
  struct Case {
    std::string target, problem;
  } cases[] = {
      {"", "it is empty"},
      {"my relay", "it may not hold blanks or control characters"},
      {"relay\n", "it may not hold blanks or control characters"},
      {longest + "u", "it is too long: the source name of its status packets, '" + longest +
                          "u/pf/st', would have more than 62 characters"},
  };
  for (const Case &c : cases) {
    auto r = run({"-p", dir.file("relay"), "-t", c.target});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "\nFatal: Thread 'master': Configuration error: target name '" + c.target +
                         "' given with -t: " + c.problem + "\n\n");
  }
}

TEST_F(CommandLine, TargetNameOfTheLongestLengthIsTaken) {
  configure({"-p", "relay", "-t", std::string(56, 't')});
  EXPECT_EQ(config.getTargetName(), std::string(56, 't'));
}

using SettingsDeathTest = CommandLine;

TEST_F(SettingsDeathTest, GetIntKnowsOnlyItsOwnKeys) {
  EXPECT_EXIT(config.getInt("internal_timeout_sec"), ::testing::ExitedWithCode(255),
              "Unexpected internal error: no key 'internal_timeout_sec' in "
              "RelayConfig::getInt\\(\\)");
}

}  // namespace
