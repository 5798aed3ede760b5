// JetStream connections in the parameter file, run through the real
// program: each mistake ends configuration with exit status 255 and one
// fatal line naming it; a connection has exactly one source or destination.
#include <gtest/gtest.h>

#include <string>

#include "process.h"
#include "relay_pf.h"

namespace {

using testsupport::connectionEntry;
using testsupport::programPath;
using testsupport::RelayPf;

const std::string kUrl = "read_from_natsurl nats://127.0.0.1:1\nread_from_natsstream TARN\n";
const std::string kReader = "name r\n" + kUrl + "write_to_queue q\n";
const std::string kWriter =
    "name w\nwrite_to_natsurl nats://127.0.0.1:1\nwrite_to_natsstream TARN\nread_from_queue q\n";

class JetStreamVetting : public ::testing::Test {
 protected:
  testsupport::ProcessResult run(const std::string &entries,
                                 const std::vector<std::string> &extra = {},
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

TEST_F(JetStreamVetting, AConnectionHasExactlyOneSourceOrDestination) {
  expectFatal(
      connectionEntry(kReader + "read_from_tarnname :1\n"),
      "read connection 'r' may not specify both 'read_from_tarnname' and 'read_from_natsurl'");
  expectFatal(
      connectionEntry(kWriter + "write_to_tarntag t\n"),
      "write connection 'w' may not specify both 'write_to_tarntag' and 'write_to_natsurl'");
  expectFatal(connectionEntry(
                  "name w\nwrite_to_tarnname :1\nwrite_to_natsstream TARN\nread_from_queue q\n"),
              "write connection 'w' has 'write_to_natsstream' but no 'write_to_natsurl'");
  expectFatal(connectionEntry("name r\nread_from_natsurl nats://h:1\nwrite_to_queue q\n"),
              "read connection 'r' must name its stream in 'read_from_natsstream'");
  expectFatal(connectionEntry(kReader + "natsstream_create true\n"),
              "read connection 'r' cannot have parameter 'natsstream_create'");
  expectFatal(connectionEntry(kWriter + "read_from_natsstream TARN\n"),
              "write connection 'w' cannot have parameter 'read_from_natsstream'");
  // A reader's queue bounds are its writers': the message names the
  // reader's own key, not a tarn reader's.
  auto r = run(connectionEntry(kReader + "max_queue 5\n"));
  EXPECT_NE(r.err.find("connection 'r' not allowed to specify 'max_queue' with 'read_from_natsurl'"),
            std::string::npos)
      << r.err;
  expectFatal(connectionEntry("name auto\n" + kUrl + "write_to_queue q\n"),
              "read connection 'auto' needs a name of its own: its place in the stream is kept in "
              "a durable "
              "consumer named after it, and a generated name changes when entries move");
}

TEST_F(JetStreamVetting, ValuesThatCannotServeAreRefused) {
  expectFatal(
      connectionEntry(
          "name r\nread_from_natsurl nats://h:99999\nread_from_natsstream T\nwrite_to_queue q\n"),
      "connection 'r' has an invalid 'read_from_natsurl' value 'nats://h:99999': expected NATS "
      "servers such "
      "as nats://host:4222 (several separated by commas), but server 'nats://h:99999': the port "
      "'99999' is "
      "not a number from 1 to 65535");
  expectFatal(
      connectionEntry(
          "name r\nread_from_natsurl nats://u:pw@h:x\nread_from_natsstream T\nwrite_to_queue q\n"),
      "connection 'r' has an invalid 'read_from_natsurl' value 'nats://u:***@h:x': expected NATS "
      "servers "
      "such as nats://host:4222 (several separated by commas), but server 'nats://u:***@h:x': the "
      "port 'x' "
      "is not a number from 1 to 65535");
  expectFatal(
      connectionEntry("name r\nread_from_natsurl h\nread_from_natsstream a.b\nwrite_to_queue q\n"),
      "connection 'r' has an invalid 'read_from_natsstream' value 'a.b': expected a stream name, "
      "but it "
      "holds '.'");
  expectFatal(connectionEntry(kWriter + "natssubject_prefix a.*\n"),
              "connection 'w' has an invalid 'natssubject_prefix' value 'a.*': expected a subject "
              "prefix such as "
              "tarn or site.a, but it holds the wildcard '*'");
  expectFatal(connectionEntry(kWriter + "natsstream_create maybe\n"),
              "connection 'w' has an invalid 'natsstream_create' value 'maybe': expected true or "
              "false (or yes/no, "
              "y/n, on/off, 1/0)");
}

TEST_F(JetStreamVetting, AReaderAndAWriterAreDescribedByTheirStream) {
  // A server that is not there: configuration succeeds, the connections
  // wait for it, and the relay is ended at the time limit.
  auto r =
      run(connectionEntry(kReader) + connectionEntry(kWriter), {"-v"}, std::chrono::seconds(3));
  EXPECT_NE(
      r.err.find("Waiting 1.000000 seconds for JetStream stream 'TARN' ('nats://127.0.0.1:1')"),
      std::string::npos)
      << r.err;
  for (const char *line :
       {"\t\tread_from_natsurl\tnats://127.0.0.1:1", "\t\tread_from_natsstream\tTARN",
        "\t\tnatsconsumer\t\tr", "\t\twrite_to_natsstream\tTARN", "\t\tnatssubject_prefix\ttarn",
        "\t\tnatsstream_create\tfalse"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
}

}  // namespace
