// The README's walk-throughs run as written: each section's blocks, one
// after the other in one shell, with the ports and the /tmp folder of the
// test put in place of the ones the text names, and the station's files made
// from the test set. Between blocks the test waits for what a reader would
// see before typing the next one (the servers' ready files, the relay's
// first lines, the archive holding every record).
#include <gtest/gtest.h>

#include <regex>

#include "doc_support.h"
#include "mseed_samples.h"
#include "relay_e2e.h"

using namespace doctest_support;

namespace {

// The blocks of the README's section headed `section`, in order.
std::vector<std::string> sectionBlocks(const std::string &section) {
  std::string readme = testsupport::readFile(sourcePath("README.md"));
  size_t start = readme.find(section);
  size_t end = readme.find("\n## ", start + 1);
  auto lineOf = [&](size_t at) {
    return 1 + std::count(readme.begin(), readme.begin() + at, '\n');
  };
  long first = lineOf(start), last = lineOf(end);
  std::vector<std::string> blocks;
  for (const Example &e : markdownExamples("README.md")) {
    long line = std::stol(e.where.substr(e.where.rfind(':') + 1));
    if (line > first && line < last) blocks.push_back(e.text);
  }
  return blocks;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Waits in the shell, at most 60 s, until `condition` holds.
std::string waitUntil(const std::string &condition) {
  return "for i in $(seq 600); do " + condition + " && break; sleep 0.1; done\n";
}

}  // namespace

TEST(Walkthrough, FromAStationsFilesToAnArchiveRunsAsWritten) {
  std::vector<std::string> blocks = sectionBlocks("## From a station's files to an archive");
  ASSERT_EQ(blocks.size(), 7u) << "the section's blocks were not found";
  testsupport::TempDir dir;
  std::string tmp = dir.path() + "/";
  std::string port = std::to_string(e2e::freePort()), monitorPort = std::to_string(e2e::freePort());
  auto localize = [&](std::string text) {
    text = replaced(text, "6520", port);
    text = replaced(text, "6580", monitorPort);
    text = replaced(text, "/tmp/", tmp);
    text = replaced(text, "build/bin/", std::string(RELAY_BUILD_DIR) + "/bin/");
    return replaced(text, "examples/sds-archive.pf", tmp + "sds-archive.pf");
  };
  testsupport::writeFile(tmp + "sds-archive.pf",
                         localize(testsupport::readFile(sourcePath("examples/sds-archive.pf"))));

  // Twenty seconds of two streams: --realtime plays them in twenty seconds.
  ASSERT_EQ(system(("mkdir -p " + tmp + "station").c_str()), 0);
  size_t records = 0;
  for (const char *channel : {"HHZ", "HHN"}) {
    mseedtest::Stream s;
    s.network = "XT";
    s.channel = channel;
    s.samples = mseedtest::sine(2000);
    auto packed = mseedtest::pack(s);
    records += packed.size();
    testsupport::writeFile(tmp + "station/XT.STA." + channel + ".mseed", mseedtest::joined(packed));
  }

  std::string archived = "[ \"$(cat $(find " + tmp +
                         "archive -type f 2>/dev/null) 2>/dev/null | wc -c)\" -ge " +
                         std::to_string(records * 512) + " ]";
  std::string script = "set -u\n";
  script += localize(blocks[0]) + waitUntil("[ -s " + tmp + "station.ready ]");
  script += localize(blocks[1]) + waitUntil("grep -q 'Repositioned tarn' " + tmp + "out");
  script += localize(blocks[2]) + waitUntil("[ -d " + tmp + "archive/2026 ]");
  script += localize(blocks[3]) + waitUntil(archived);
  script += localize(blocks[4]);
  script += localize(blocks[5]) + waitUntil("grep -q 'serving http' " + tmp + "out");
  script += localize(blocks[6]);
  // What the walk-through started, it stops: nothing is left running.
  script += "for i in $(seq 100); do [ -z \"$(jobs -r)\" ] && break; sleep 0.1; done\n";
  script +=
      "if [ -n \"$(jobs -r)\" ]; then echo 'left running:'; jobs -l; kill -9 "
      "$(jobs -p); exit 1; fi\n";
  auto r = testsupport::runProgram({"/bin/bash", "-c", "exec >" + tmp + "out 2>&1\n" + script},
                                   std::chrono::seconds(180));
  std::string out = testsupport::readFile(tmp + "out");
  EXPECT_EQ(r.exitStatus, 0) << out;
  EXPECT_NE(
      out.find("tarn import: " + std::to_string(records) + " records put, 0 skipped, 2 streams"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("XT.STA.00.HHZ"), std::string::npos) << "tarn tail --mseed shows records\n"
                                                          << out;
  EXPECT_NE(out.find("/2026/XT/STA/HHZ.D/XT.STA.00.HHZ.D.2026.341"), std::string::npos) << out;
  EXPECT_NE(out.find("serving http://127.0.0.1:" + monitorPort), std::string::npos) << out;
  EXPECT_NE(out.find("shutting down"), std::string::npos) << "the relay stopped in order\n" << out;
}

TEST(Walkthrough, SeedLinkServedAndRelayedRunsAsWritten) {
  std::vector<std::string> blocks = sectionBlocks("## SeedLink: serving it, and relaying it");
  ASSERT_EQ(blocks.size(), 5u) << "the section's blocks were not found";
  testsupport::TempDir dir;
  std::string tmp = dir.path() + "/";
  std::string port = std::to_string(e2e::freePort()), copyPort = std::to_string(e2e::freePort()),
              seedlinkPort = std::to_string(e2e::freePort());
  auto localize = [&](std::string text) {
    text = replaced(text, "6520", port);
    text = replaced(text, "6521", copyPort);
    text = replaced(text, "18000", seedlinkPort);
    text = replaced(text, "/tmp/", tmp);
    text = replaced(text, "build/bin/", std::string(RELAY_BUILD_DIR) + "/bin/");
    return replaced(text, "examples/seedlink-relay.pf", tmp + "seedlink-relay.pf");
  };
  testsupport::writeFile(tmp + "seedlink-relay.pf",
                         localize(testsupport::readFile(sourcePath("examples/seedlink-relay.pf"))));

  ASSERT_EQ(system(("mkdir -p " + tmp + "station").c_str()), 0);
  size_t records = 0;
  for (const char *channel : {"HHZ", "HHN"}) {
    mseedtest::Stream s;
    s.network = "XT";
    s.channel = channel;
    s.samples = mseedtest::sine(3000);
    auto packed = mseedtest::pack(s);
    records += packed.size();
    testsupport::writeFile(tmp + "station/XT.STA." + channel + ".mseed", mseedtest::joined(packed));
  }

  std::string script = "set -u\n";
  script += localize(blocks[0]) + waitUntil("[ -s " + tmp + "station.ready ]");
  script += localize(blocks[1]) + waitUntil("[ -s " + tmp + "copy.ready ]") +
            waitUntil("grep -q 'Reading .* with protocol' " + tmp + "out");
  script += localize(blocks[2]);
  std::string tailBlock = localize(blocks[3]);
  script += tailBlock.substr(0, tailBlock.find_last_not_of('\n') + 1) + " > " + tmp + "tail\n";
  script += localize(blocks[4]);
  auto r = testsupport::runProgram({"/bin/bash", "-c", "exec >" + tmp + "out 2>&1\n" + script},
                                   std::chrono::seconds(180));
  std::string out = testsupport::readFile(tmp + "out");
  std::string tail = testsupport::readFile(tmp + "tail");
  EXPECT_EQ(r.exitStatus, 0) << out;
  EXPECT_NE(
      out.find("tarn import: " + std::to_string(records) + " records put, 0 skipped, 2 streams"),
      std::string::npos)
      << out;
  // Every record reached :6521 once, by way of SeedLink and the relay.
  for (const char *stream : {"XT.STA.00.HHZ", "XT.STA.00.HHN"}) {
    size_t seen = 0;
    for (size_t at = tail.find(stream); at != std::string::npos; at = tail.find(stream, at + 1)) {
      ++seen;
    }
    EXPECT_EQ(seen, records / 2) << stream << "\n" << tail << out;
  }
  EXPECT_NE(out.find("shutting down"), std::string::npos) << "the relay stopped in order\n" << out;
}

// make demo with no terminal for its input (a CI runner's) skips its last
// stage, which waits for Enter, and says so: the page it named is gone.
TEST(Walkthrough, TheDemoWithoutATerminalSaysThatItStopsNow) {
  auto r = testsupport::runProgram(
      {"/usr/bin/env", "TARN_DEMO_BIN=" + std::string(RELAY_BUILD_DIR) + "/bin",
       "TARN_DEMO_MONITOR=127.0.0.1:0", sourcePath("scripts/demo.sh")},
      std::chrono::seconds(120), "");
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("the monitor's page: http://127.0.0.1:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No terminal: stopping now; run it in a terminal to keep the monitor up"),
            std::string::npos)
      << r.out;
}
