// A fresh installation into a temporary prefix: what it holds, the installed
// programs running from there, and the systemd units it installs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include <regex>
#include <set>

#include "doc_support.h"

using namespace doctest_support;
using testsupport::readFile;

namespace {

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveProgram("cmake")) GTEST_SKIP() << "cmake is not on PATH";
    prefix_ = dir_.file("prefix");
    testsupport::ProcessResult r = shell(
        "cmake --install " + shellQuote(RELAY_BUILD_DIR) + " --prefix " + shellQuote(prefix_), 120);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  }

  std::string path(const std::string &relative) const { return prefix_ + "/" + relative; }

  static bool executable(const std::string &file) {
    struct stat st;
    return stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
  }

  testsupport::TempDir dir_;
  std::string prefix_;
};

const char *const kUnits[] = {"tarnserver@.service", "tarn2tarn_pre@.service",
                              "tarn-monitor.service"};

// The value of `key=` in a unit's text, or "" when it has none.
std::string unitValue(const std::string &unit, const std::string &key) {
  std::smatch m;
  std::regex line("(^|\\n)" + key + "=([^\\n]*)");
  return std::regex_search(unit, m, line) ? m[2].str() : "";
}

}  // namespace

TEST_F(Installation, HoldsProgramsPagesExamplesAndUnits) {
  for (const char *program : {"tarn2tarn_pre", "tarnserver", "tarn"}) {
    EXPECT_TRUE(executable(path(std::string("bin/") + program))) << program;
  }
  for (const char *page : {"tarn2tarn_pre.1", "tarnserver.1", "tarn.1"}) {
    EXPECT_EQ(readFile(path(std::string("share/man/man1/") + page)),
              readFile(sourcePath(std::string("docs/man/") + page)))
        << page;
  }
  // Every example parameter file the README names, as it is.
  std::string readme = readFile(sourcePath("README.md"));
  std::set<std::string> named;
  static const std::regex example(R"(examples/[\w./-]+\.pf)");
  for (std::sregex_iterator it(readme.begin(), readme.end(), example), end; it != end; ++it)
    named.insert((*it)[0]);
  EXPECT_GE(named.size(), 6u);
  for (const std::string &file : named) {
    EXPECT_EQ(readFile(path("share/doc/tarn2tarn_pre/" + file)), readFile(sourcePath(file)))
        << file;
  }
  EXPECT_FALSE(readFile(path("share/doc/tarn2tarn_pre/parameter-files.md")).empty());
  EXPECT_FALSE(readFile(path("share/doc/tarn2tarn_pre/README.md")).empty());
  for (const char *unit : kUnits) {
    std::string text = readFile(path(std::string("lib/systemd/system/") + unit));
    ASSERT_FALSE(text.empty()) << unit;
    // The installed unit runs the installed program, not /usr/local's.
    EXPECT_NE(unitValue(text, "ExecStart").rfind(prefix_ + "/bin/", 0), std::string::npos) << unit;
    EXPECT_EQ(text.find("/usr/local/bin/"), std::string::npos) << unit;
    EXPECT_EQ(readFile(path(std::string("share/doc/tarn2tarn_pre/examples/systemd/") + unit)),
              text);
  }
}

// The installed programs run from the prefix: a server on a free port, the
// tool asking it for its figures, the relay refusing an unknown option.
TEST_F(Installation, ProgramsRunFromThePrefix) {
  std::string ready = dir_.file("ready");
  testsupport::ChildProcess server({path("bin/tarnserver"), "-p", "0", "-R", ready});
  ASSERT_TRUE(
      testsupport::waitUntil([&] { return !readFile(ready).empty(); }, std::chrono::seconds(10)))
      << server.err();
  std::string name = readFile(ready);
  name.erase(name.find_last_not_of("\n") + 1);
  ASSERT_EQ(name.rfind("127.0.0.1:", 0), 0u) << name;

  testsupport::ProcessResult stat = testsupport::runProgram({path("bin/tarn"), "stat", name});
  EXPECT_EQ(stat.exitStatus, 0) << stat.err;
  EXPECT_NE(stat.out.find("tarn " + name), std::string::npos) << stat.out;
  EXPECT_NE(stat.out.find("packets: none"), std::string::npos) << stat.out;

  testsupport::ProcessResult relay = testsupport::runProgram({path("bin/tarn2tarn_pre"), "-x"});
  EXPECT_EQ(relay.exitStatus, 255);
  EXPECT_NE(relay.err.find("[CURRENT SYNTAX]"), std::string::npos) << relay.err;
  EXPECT_NE(relay.err.find("[LEGACY SYNTAX]"), std::string::npos) << relay.err;

  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(std::chrono::seconds(10)), 0);

  // man finds the installed pages by name through MANPATH.
  if (haveProgram("man")) {
    testsupport::ProcessResult found =
        shell("MANPATH=" + shellQuote(path("share/man")) + " man -w tarn2tarn_pre tarnserver tarn");
    EXPECT_EQ(found.exitStatus, 0) << found.err;
    EXPECT_NE(found.out.find(path("share/man/man1/tarn2tarn_pre.1")), std::string::npos)
        << found.out;
  }
}

// The installed units pass systemd's own check (their programs and manual
// pages included), rate "OK" or better in its security review, and carry
// what an orderly stop of the relay needs.
TEST_F(Installation, SystemdUnitsVerify) {
  for (const char *unit : kUnits) {
    std::string text = readFile(path(std::string("lib/systemd/system/") + unit));
    SCOPED_TRACE(unit);
    EXPECT_EQ(unitValue(text, "KillSignal"), "SIGTERM");
    EXPECT_EQ(unitValue(text, "Restart"), "on-failure");
    // What the programs write lives in the state folder, the one writable
    // place; the monitor writes nothing.
    EXPECT_EQ(unitValue(text, "ProtectSystem"), "strict");
    EXPECT_EQ(unitValue(text, "StateDirectory").empty(),
              unit == std::string("tarn-monitor.service"));
    // The server and the relay say when they serve and ping a watchdog.
    bool monitor = unit == std::string("tarn-monitor.service");
    EXPECT_EQ(unitValue(text, "Type"), monitor ? "simple" : "notify");
    EXPECT_EQ(unitValue(text, "WatchdogSec").empty(), monitor);
  }
  std::string relay = readFile(path("lib/systemd/system/tarn2tarn_pre@.service"));
  std::string exec = unitValue(relay, "ExecStart");
  EXPECT_NE(exec.find(" -S %S/" + unitValue(relay, "StateDirectory") + "/"), std::string::npos)
      << exec;
  EXPECT_NE(exec.find(" -p /etc/"), std::string::npos) << exec;
  // Longer than the relay's grace period, in its built-in default (15) and
  // in the example parameter file, so that systemd never kills a relay that
  // is still saving.
  int timeout = std::stoi(unitValue(relay, "TimeoutStopSec"));
  std::smatch grace;
  std::string pf = readFile(sourcePath("examples/systemd/relay.pf"));
  ASSERT_TRUE(std::regex_search(pf, grace, std::regex(R"(shutdown_grace_period\s+(\d+))")));
  EXPECT_GT(timeout, 15);
  EXPECT_GT(timeout, std::stoi(grace[1]));

  if (!haveProgram("systemd-analyze"))
    GTEST_SKIP() << "systemd-analyze is not installed: the units are not verified";
  for (const char *unit : kUnits) {
    testsupport::ProcessResult r =
        shell("MANPATH=" + shellQuote(path("share/man")) + " systemd-analyze verify " +
              shellQuote(path(std::string("lib/systemd/system/") + unit)));
    EXPECT_EQ(r.exitStatus, 0) << unit << ": " << r.out << r.err;
    EXPECT_EQ(r.err, "") << unit;
    // An exposure of at most 4.9 of 10 is "OK".
    testsupport::ProcessResult review =
        shell("systemd-analyze security --offline=yes --threshold=49 " +
              shellQuote(path(std::string("lib/systemd/system/") + unit)));
    EXPECT_EQ(review.exitStatus, 0) << unit << ": " << review.out << review.err;
  }
}
