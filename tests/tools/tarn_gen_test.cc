// tarn gen and tarn tail --unstuff against a real server: generated packets
// unstuff, the --bad share does not, names follow the template over the
// streams, log and parameter-file packets show their text, and bad options
// are refused before anything is sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/pf/pf.h"
#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"
#include "process.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

using testsupport::ProcessResult;
using testsupport::runProgram;

class TarnGen : public ::testing::Test {
 protected:
  ProcessResult tarn(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::programPath("tarn"));
    return runProgram(args, std::chrono::seconds(30));
  }
  std::vector<nlohmann::json> tailJson(int n) {
    ProcessResult tail = tarn({"tail", server_.name(), "--from", "oldest", "-n", std::to_string(n),
                               "-t", "5", "--json", "--unstuff"});
    EXPECT_EQ(tail.exitStatus, 0) << tail.err;
    std::vector<nlohmann::json> v;
    std::istringstream in(tail.out);
    std::string line;
    while (std::getline(in, line)) v.push_back(nlohmann::json::parse(line));
    return v;
  }
  // Nothing reached the server.
  bool serverEmpty() {
    ProcessResult tail = tarn({"tail", server_.name(), "--from", "oldest", "-t", "0.3"});
    return tail.exitStatus == 0 && tail.out.empty();
  }
  TarnTestServer server_;
};

TEST_F(TarnGen, GeneratedPacketsUnstuffOverTheStreamsInTurn) {
  ProcessResult gen = tarn({"gen", server_.name(), "-n", "7", "--streams", "3", "-s", "100"});
  ASSERT_EQ(gen.exitStatus, 0) << gen.err;
  auto lines = tailJson(7);
  ASSERT_EQ(lines.size(), 7u);
  const char *names[] = {"SYN_001/GEN", "SYN_002/GEN", "SYN_003/GEN"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["srcname"], names[i % 3]);
    EXPECT_EQ(lines[i]["content"], PKT_CONTENT_DATA);
    EXPECT_EQ(lines[i]["nbytes"], PKT_HEADER_SIZE + 100);
    EXPECT_FALSE(lines[i].contains("text"));
  }
  // Times are the moments of making, in order.
  EXPECT_LE(lines[0]["time"].get<double>(), lines[6]["time"].get<double>());
  EXPECT_GT(lines[0]["time"].get<double>(), 1.7e9);
}

TEST_F(TarnGen, BadShareFailsToUnstuffSpreadOverTheRun) {
  ProcessResult gen =
      tarn({"gen", server_.name(), "-n", "20", "--bad", "0.25", "--src", "BAD_%d/X"});
  ASSERT_EQ(gen.exitStatus, 0) << gen.err;
  EXPECT_NE(gen.err.find("20 packets put, 5 of them made not to unstuff"), std::string::npos)
      << gen.err;
  auto lines = tailJson(20);
  ASSERT_EQ(lines.size(), 20u);
  int bad = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["srcname"], "BAD_1/X");
    if (lines[i]["content"].is_null()) {
      ++bad;
      EXPECT_EQ(i % 4, 3u) << "bad packets are spread evenly";
    } else {
      EXPECT_EQ(lines[i]["content"], PKT_CONTENT_DATA);
    }
  }
  EXPECT_EQ(bad, 5);
}

TEST_F(TarnGen, EmptyBodiesAndAllBad) {
  ASSERT_EQ(tarn({"gen", server_.name(), "-n", "2", "-s", "0"}).exitStatus, 0);
  ASSERT_EQ(tarn({"gen", server_.name(), "-n", "2", "-s", "0", "--bad", "1", "--src", "P_%02d%%/z"})
                .exitStatus,
            0);
  auto lines = tailJson(4);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["content"], PKT_CONTENT_DATA);
  EXPECT_EQ(lines[1]["nbytes"], PKT_HEADER_SIZE);
  EXPECT_TRUE(lines[2]["content"].is_null());
  EXPECT_TRUE(lines[3]["content"].is_null());
  EXPECT_EQ(lines[3]["srcname"], "P_01%/z");
}

TEST_F(TarnGen, RateSpacesThePackets) {
  ASSERT_EQ(tarn({"gen", server_.name(), "-n", "3", "-r", "20"}).exitStatus, 0);
  auto lines = tailJson(3);
  ASSERT_EQ(lines.size(), 3u);
  // At 20 per second the run spans at least the two gaps of 50 ms.
  EXPECT_GE(lines[2]["time"].get<double>() - lines[0]["time"].get<double>(), 0.099);
}

TEST_F(TarnGen, BadOptionsAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  std::string tooLong(62, 'A');
  std::vector<Case> cases = {
      {{"--bad", "1.5"}, "--bad: '1.5' is not a fraction from 0 to 1"},
      {{"--bad", "-0.1"}, "--bad: '-0.1' is not a fraction"},
      {{"--streams", "0"}, "--streams: '0' is not a number of streams"},
      {{"-n", "ten"}, "-n: 'ten' is not a count"},
      {{"-s", "99999999"}, "-s: '99999999' is not a size"},
      {{"-r", "fast"}, "-r: 'fast' is not a rate"},
      {{"--src", "X_%s/Y"}, "--src: only %d, %0Nd and %% may follow '%'"},
      {{"--src", "X_%d_%d/Y"}, "has more than one %d"},
      {{"--src", tooLong + "%d", "--streams", "10"},
       "source name '" + tooLong + "10' must have 1 to 63"},
      {{"--src", ""}, "source name '' must have 1 to 63"},
      {{"-n"}, "-n needs a value"},
      {{"--frobnicate"}, "unknown option --frobnicate"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"gen", server_.name()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = tarn(args);
    EXPECT_EQ(r.exitStatus, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(tarn({"gen"}).exitStatus, 2);
  EXPECT_TRUE(serverEmpty());
}

// The server's largest packet bounds -s, stuffed header included, before
// the first packet is sent.
TEST(TarnGenLimit, SizeIsCheckedAgainstTheServersLargestPacket) {
  TarnTestServer small({"-m", "1k"});
  auto gen = [&](const char *size) {
    return runProgram(
        {testsupport::programPath("tarn"), "gen", small.name(), "-n", "2", "-s", size});
  };
  ProcessResult tooBig = gen("1009");
  EXPECT_EQ(tooBig.exitStatus, 2);
  EXPECT_NE(
      tooBig.err.find(
          "tarn gen: -s 1009: each packet would be 1025 bytes stuffed, more than the 1024 bytes "
          "tarn '" +
          small.name() + "' takes; give -s 1008 or less"),
      std::string::npos)
      << tooBig.err;
  ProcessResult tail = runProgram(
      {testsupport::programPath("tarn"), "tail", small.name(), "--from", "oldest", "-t", "0.3"});
  EXPECT_EQ(tail.out, "");
  EXPECT_EQ(gen("1008").exitStatus, 0);
}

TEST_F(TarnGen, UnreachableServerIsExitStatusOne) {
  ProcessResult r = tarn({"gen", "127.0.0.1:1", "-n", "1"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("cannot reach tarn '127.0.0.1:1'"), std::string::npos) << r.err;
}

// Puts one stuffed packet of the given kind straight through the library.
void putStuffed(int fd, const char *srcname, Packet *pkt) {
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  double time = 0;
  split_srcname(srcname, pkt);
  pkt->time = 1796634000.5;
  ASSERT_GE(stuffPkt(pkt, srcname, &time, &buf, &nbytes, &bufsize), 0);
  ASSERT_GE(tarnput(fd, srcname, time, buf, nbytes), 0);
  std::free(buf);
  freePkt(pkt);
}

TEST_F(TarnGen, TailShowsTheTextOfLogAndParameterFilePackets) {
  int fd = tarnopen(server_.name().c_str(), "w&");
  ASSERT_GE(fd, 0);
  Packet *log = newPkt();
  log->type = suffix2pkttype("log");
  log->string = strdup("Thread 'reader': \"quoted\" line");
  putStuffed(fd, "relay1/log", log);
  Packet *st = newPkt();
  st->type = suffix2pkttype("pf");
  st->pf = pfnew(PFARR);
  pfput_string(st->pf, "pid", "42");
  pfput_string(st->pf, "target", "relay1");
  putStuffed(fd, "relay1/pf/st", st);
  ASSERT_GE(tarnput(fd, "raw/x", 1.0, "raw bytes", 9), 0);
  ASSERT_EQ(tarnclose(fd), 0);

  auto lines = tailJson(3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["content"], PKT_CONTENT_LOG);
  EXPECT_EQ(lines[0]["text"], "Thread 'reader': \"quoted\" line");
  EXPECT_EQ(lines[1]["content"], PKT_CONTENT_PF);
  Pf *back = pfnew(PFARR);
  ASSERT_EQ(pfcompile(lines[1]["text"].get<std::string>().c_str(), &back), 0);
  char *pid = pfget_string(back, "pid");
  EXPECT_STREQ(pid, "42");
  pffree(back);
  EXPECT_TRUE(lines[2]["content"].is_null());
  EXPECT_FALSE(lines[2].contains("text"));

  // Without --unstuff neither field appears; as text, the lines are indented.
  ProcessResult plain = tarn({"tail", server_.name(), "--from", "oldest", "-n", "1", "--json"});
  EXPECT_EQ(plain.out.find("content"), std::string::npos) << plain.out;
  ProcessResult text = tarn({"tail", server_.name(), "--from", "oldest", "-n", "3", "--unstuff"});
  EXPECT_NE(text.out.find("\n  content 7\n    Thread 'reader': \"quoted\" line\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("\n    pid 42\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("  does not unstuff: "), std::string::npos) << text.out;
}

}  // namespace
}  // namespace tarntest
