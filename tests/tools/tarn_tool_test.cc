// The tarn tool as an operator runs it: put from JSON lines, tail as JSON
// with checksums, stat, and the exit statuses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "process.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

using testsupport::ProcessResult;
using testsupport::runProgram;

class TarnTool : public ::testing::Test {
 protected:
  ProcessResult tarn(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), testsupport::programPath("tarn"));
    return runProgram(args, std::chrono::seconds(30), input);
  }
  std::vector<nlohmann::json> jsonLines(const std::string &out) {
    std::vector<nlohmann::json> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) v.push_back(nlohmann::json::parse(line));
    return v;
  }
  TarnTestServer server_;
};

TEST_F(TarnTool, PutThenTailRoundTripsWithChecksums) {
  std::string input =
      "{\"srcname\": \"AA/x\", \"time\": 1765100000.25, \"text\": \"hello\"}\n"
      "\n"
      "{\"srcname\": \"BB/y\", \"time\": 0.1, \"data\": \"AAEC/w==\"}\n"
      "{\"srcname\": \"AA/x\", \"time\": \"2026-12-07T10:00:00Z\", \"text\": \"\"}\n";
  ProcessResult put = tarn({"put", server_.name()}, input);
  ASSERT_EQ(put.exitStatus, 0) << put.err;
  ProcessResult tail = tarn({"tail", server_.name(), "--from", "oldest", "-n", "3", "--json"});
  ASSERT_EQ(tail.exitStatus, 0) << tail.err;
  auto lines = jsonLines(tail.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(tail.out.substr(0, tail.out.find('\n')),
            R"({"pktid":0,"srcname":"AA/x","time":1765100000.25,"nbytes":5,"crc32":"3610a686"})");
  EXPECT_EQ(lines[1]["nbytes"], 4);
  EXPECT_EQ(lines[1]["crc32"], "3fb23824");  // bytes 00 01 02 ff
  EXPECT_EQ(lines[1]["time"].get<double>(), 0.1);
  EXPECT_EQ(lines[2]["time"].get<double>(), 1796637600.0);
  EXPECT_EQ(lines[2]["crc32"], "00000000");
}

TEST_F(TarnTool, TailSelectsPositionsAndEndsAfterQuiet) {
  std::string input;
  for (int i = 0; i < 6; ++i) {
    input += "{\"srcname\": \"" + std::string(i % 2 ? "AA/x" : "BB/y") +
             "\", \"time\": " + std::to_string(100 + i) + ", \"text\": \"p\"}\n";
  }
  ASSERT_EQ(tarn({"put", server_.name()}, input).exitStatus, 0);
  auto ids = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"tail", server_.name(), "-t", "0.3", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult r = tarn(args);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<int> v;
    for (auto &j : jsonLines(r.out)) v.push_back(j["pktid"]);
    return v;
  };
  EXPECT_EQ(ids({"--from", "oldest", "-m", "AA/.*"}), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(ids({"--from", "oldest", "-r", "AA/.*"}), (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(ids({"--from", "newest"}), (std::vector<int>{5}));
  EXPECT_EQ(ids({"--from", "#3"}), (std::vector<int>{3, 4, 5}));
  EXPECT_EQ(ids({"--from", "103.5"}), (std::vector<int>{4, 5}));
  EXPECT_EQ(ids({"--from", "1970-01-01 00:01:44"}), (std::vector<int>{4, 5}));
  EXPECT_EQ(ids({"--from", "oldest", "-n", "2"}), (std::vector<int>{0, 1}));
  EXPECT_EQ(ids({}), (std::vector<int>{}));  // only what arrives from now on
}

TEST_F(TarnTool, PutReportsBadLinesAndKeepsTheGoodOnes) {
  std::string input =
      "not json\n"
      "{\"srcname\": \"\", \"time\": 1, \"text\": \"a\"}\n"
      "{\"srcname\": \"A/x\", \"text\": \"no time\"}\n"
      "{\"srcname\": \"A/x\", \"time\": 1, \"text\": \"a\", \"data\": \"YQ==\"}\n"
      "{\"srcname\": \"A/x\", \"time\": 1, \"data\": \"not base64!\"}\n"
      "{\"srcname\": \"A/x\", \"time\": 1, \"text\": \"kept\"}\n";
  ProcessResult r = tarn({"put", server_.name()}, input);
  EXPECT_EQ(r.exitStatus, 1);
  for (const char *want :
       {"line 1: not a JSON object", "line 2: \"srcname\" must have 1 to 63", "line 3: \"time\"",
        "line 4: give exactly one", "line 5: \"data\" must be base64", "1 packets put"}) {
    EXPECT_NE(r.err.find(want), std::string::npos) << want << "\n" << r.err;
  }
  EXPECT_EQ(jsonLines(tarn({"tail", server_.name(), "--from", "oldest", "-t", "0.3", "--json"}).out)
                .size(),
            1u);
}

// What the server stored is counted, and each refusal said once: by the
// writers rule (for a source, or for this address altogether) and by size.
TEST_F(TarnTool, PutCountsWhatTheServerStoredAndSaysEachRefusalOnce) {
  auto count = [](const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  std::string big = std::string(1368, 'A');  // base64 of 1026 bytes
  TarnTestServer picky({"-m", "1k", "-W", "127.0.0.0/8=B/.*"});
  ProcessResult r = tarn({"put", picky.name()},
                         "{\"srcname\": \"A/x\", \"time\": 1, \"text\": \"a\"}\n"
                         "{\"srcname\": \"B/x\", \"time\": 2, \"text\": \"b\"}\n"
                         "{\"srcname\": \"B/x\", \"time\": 3, \"data\": \"" +
                             big + "\"}\n");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("line 3: packet of 1026 bytes is larger than the 1024 bytes tarn '" +
                       picky.name() + "' takes per packet, source name and frame not counted\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("tarn put: 1 of 2 packets put; 1 refused: writing source 'A/x' to"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(count(r.err, "not allowed"), 1u) << r.err;
  EXPECT_EQ(count(r.err, "1026"), 1u) << r.err;

  TarnTestServer closed({"-W", "10.0.0.0/8"});
  r = tarn({"put", closed.name()}, "{\"srcname\": \"A/x\", \"time\": 1, \"text\": \"a\"}\n");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("tarn put: 0 of 1 packets put; 1 refused: writing to"), std::string::npos)
      << r.err;
  EXPECT_EQ(count(r.err, "not allowed"), 1u) << r.err;
}

TEST_F(TarnTool, StatListsSourcesAndRingFigures) {
  std::string input =
      "{\"srcname\": \"AA/x\", \"time\": 100, \"text\": \"a\"}\n"
      "{\"srcname\": \"AA/x\", \"time\": 200, \"text\": \"b\"}\n"
      "{\"srcname\": \"BB/y\", \"time\": 150, \"text\": \"c\"}\n";
  ASSERT_EQ(tarn({"put", server_.name()}, input).exitStatus, 0);
  ProcessResult r = tarn({"stat", server_.name()});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("packets: 3, ids 0 to 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sources: 2"), std::string::npos);
  EXPECT_NE(r.out.find("AA/x            2  1970-01-01 00:03:20.000 UTC"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("BB/y            1"), std::string::npos);
}

TEST_F(TarnTool, ExitStatuses) {
  std::string gone;
  {
    TarnTestServer other;
    gone = other.name();
    other.stop();
  }
  EXPECT_EQ(tarn({"tail", gone, "-t", "0.1"}).exitStatus, 1);
  EXPECT_EQ(tarn({"stat", gone}).exitStatus, 1);
  EXPECT_EQ(tarn({"put", gone}, "").exitStatus, 1);
  EXPECT_EQ(tarn({"tail", server_.name(), "-n", "x"}).exitStatus, 2);
  EXPECT_EQ(tarn({"tail", server_.name(), "--from", "yesterday"}).exitStatus, 2);
  EXPECT_EQ(tarn({"tail", server_.name(), "-m", "("}).exitStatus, 2);
  EXPECT_EQ(tarn({"tail"}).exitStatus, 2);
  EXPECT_EQ(tarn({"frobnicate"}).exitStatus, 2);
  EXPECT_EQ(tarn({}).exitStatus, 2);
  EXPECT_EQ(tarn({"tail", server_.name(), "-t", "0.2"}).exitStatus, 0);
}

// A tarn name that is a bare number (the colon forgotten) is refused by
// every command before anything is tried, with the name as it should be.
TEST_F(TarnTool, EveryCommandRefusesABareNumberAsTarnName) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"tail", "6520", "-t", "0.1"}, {"stat", "6520"}, {"put", "6520"},
        {"gen", "6520", "-n", "1"}, {"import", "6520", "x.mseed"}, {"status", "6520"},
        {"monitor", "6520", "-l", "127.0.0.1:0"}}) {
    ProcessResult r = tarn(args, "");
    EXPECT_EQ(r.exitStatus, 2) << args[0] << ": " << r.err;
    EXPECT_NE(r.err.find("'6520' is a bare number, which names no host: for port 6520 on this "
                         "machine write ':6520'"),
              std::string::npos)
        << args[0] << ": " << r.err;
  }
}

}  // namespace
}  // namespace tarntest
