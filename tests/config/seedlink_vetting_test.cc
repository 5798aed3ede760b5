// SeedLink readers in the parameter file, run through the real program:
// each mistake ends configuration with exit status 255 and one fatal line
// naming the key and the value.
#include <gtest/gtest.h>

#include <string>

#include "process.h"
#include "relay_pf.h"

namespace {

using testsupport::connectionEntry;
using testsupport::programPath;
using testsupport::RelayPf;

std::string reader(const std::string &server, const std::string &select,
                   const std::string &more = "") {
  return connectionEntry("name r\nread_from_seedlink " + server + "\nseedlink_select " + select +
                         "\n" + more + "write_to_queue q\n");
}

class SeedLinkVetting : public ::testing::Test {
 protected:
  testsupport::ProcessResult run(const std::string &entries, std::vector<std::string> extra = {},
                                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    RelayPf pf;
    pf.connections = entries;
    testsupport::writeFile(dir.file("relay.pf"), pf.text());
    std::vector<std::string> argv = {programPath("tarn2tarn_pre"), "-p", dir.file("relay"), "-t",
                                     "relay1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testsupport::runProgram(argv, limit);
  }
  void expectFatal(const std::string &entries, const std::string &message) {
    auto r = run(entries);
    EXPECT_EQ(r.exitStatus, 255) << message;
    EXPECT_EQ(r.err, "\nFatal: Thread 'master': Configuration error: " + message + "\n\n");
  }

  testsupport::TempDir dir;
};

TEST_F(SeedLinkVetting, TheServerTheStationsAndTheProtocolAreCheckedStrictly) {
  const std::string invalid = "connection 'r' has an invalid ";
  expectFatal(reader("seedlink.example.org", "GE_WLF"),
              invalid +
                  "'read_from_seedlink' value 'seedlink.example.org': expected a SeedLink server "
                  "as HOST:PORT such as seedlink.example.org:18000, but it has no port");
  expectFatal(reader("host:0", "GE_WLF"),
              invalid +
                  "'read_from_seedlink' value 'host:0': expected a SeedLink server as HOST:PORT "
                  "such as seedlink.example.org:18000, but its port '0' is not a number from 1 to "
                  "65535");
  const std::string stations =
      "expected stations as NET_STA[:SELECTOR,...] separated by blanks (wildcards ? and *), but ";
  expectFatal(reader(":18000", "GEWLF"),
              invalid + "'seedlink_select' value 'GEWLF': " + stations +
                  "'GEWLF' does not start with NET_STA (network, '_', station)");
  expectFatal(reader(":18000", "GE_WLF:BHZ,"),
              invalid + "'seedlink_select' value 'GE_WLF:BHZ,': " + stations +
                  "'GE_WLF:BHZ,': its selector is empty");
  expectFatal(reader(":18000", "GE_W;F IU_*"),
              invalid + "'seedlink_select' value 'GE_W;F IU_*': " + stations +
                  "'GE_W;F': its station 'W;F' holds ';', which is not a letter, a digit, '-', "
                  "'?' or '*'");
  expectFatal(reader(":18000", "GE_WLF GE_WLF:BHZ"),
              invalid + "'seedlink_select' value 'GE_WLF GE_WLF:BHZ': " + stations +
                  "'GE_WLF' is named twice");
  expectFatal(reader(":18000", "GE_WLF", "seedlink_protocol 3\n"),
              invalid + "'seedlink_protocol' value '3': expected 3.1, 4.0 or auto");
  expectFatal(connectionEntry("name r\nread_from_seedlink :18000\nwrite_to_queue q\n"),
              "read connection 'r' must name its stations in 'seedlink_select' "
              "(NET_STA[:SELECTORS] ...)");
  expectFatal(reader(":18000", "GE_WLF", "endtime last\n"),
              "read connection 'r' cannot stop at endtime 'last': a SeedLink server does not say "
              "which packet is its newest");
  expectFatal(connectionEntry("name r\nread_from_tarnname :1\nseedlink_select GE_WLF\n"
                              "write_to_queue q\n"),
              "read connection 'r' has 'seedlink_select' but no 'read_from_seedlink'");
  expectFatal(reader(":18000", "GE_WLF", "read_from_tarnname :1\n"),
              "read connection 'r' may not specify both 'read_from_tarnname' and "
              "'read_from_seedlink'");
}

TEST_F(SeedLinkVetting, AReaderWaitsForItsServerAndIsDescribed) {
  auto r = run(reader("127.0.0.1:1", "GE_WLF:BH?,HHZ IU_*", "seedlink_protocol 3.1\n") +
                   connectionEntry("name w\nwrite_to_tarnname :1\nread_from_queue q\n"),
               {"-v"}, std::chrono::seconds(3));
  EXPECT_NE(r.err.find("Waiting 1.000000 seconds for SeedLink server '127.0.0.1:1' to become "
                       "available: "),
            std::string::npos)
      << r.err;
  for (const char *line :
       {"\t\tread_from_seedlink\t127.0.0.1:1", "\t\tseedlink_select\t\tGE_WLF:BH?,HHZ IU_*",
        "\t\tseedlink_protocol\t3.1"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
}

}  // namespace
