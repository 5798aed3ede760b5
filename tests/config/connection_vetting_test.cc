// Parameter files that the relay refuses, run through the real program: each
// ends configuration with exit status 255 and one fatal line naming what is
// wrong. Also through the real program: the description of a reader and a
// writer at -v, and the example parameter file, which configures cleanly.
#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>

#include <string>
#include <vector>

#include "process.h"
#include "relay_pf.h"

namespace {

using testsupport::connectionEntry;
using testsupport::programPath;
using testsupport::RelayPf;

const std::vector<std::string> kReaderKeys = {"read_from_tarnname",
                                              "read_from_tarntag",
                                              "write_to_queue",
                                              "starttime",
                                              "endtime",
                                              "too_old",
                                              "too_new",
                                              "check_unstuff",
                                              "suppress_unstuff_errors"};
const std::vector<std::string> kWriterKeys = {"write_to_tarnname", "write_to_tarntag",
                                              "read_from_queue"};

const std::string kReader = "name r\nread_from_tarnname in:1\nwrite_to_queue q\n";
const std::string kWriter = "name w\nwrite_to_tarnname out:1\nread_from_queue q\n";

// `text` without its line that starts with `key` and a blank or its end.
std::string withoutKey(const std::string &text, const std::string &key) {
  std::string result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (!(line == key || line.rfind(key + " ", 0) == 0)) result += line + "\n";
    start = end + 1;
  }
  return result;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class Vetting : public ::testing::Test {
 protected:
  // Runs the relay on `text` and expects it to end with `message` alone
  // (after the lines `before`, when given).
  void expectFatal(const std::string &text, const std::string &message,
                   const std::string &before = "") {
    testsupport::writeFile(dir.file("relay.pf"), text);
    auto r = testsupport::runProgram({programPath("tarn2tarn_pre"), "-p", pfname(), "-t", "relay1"},
                                     std::chrono::seconds(20));
    EXPECT_EQ(r.exitStatus, 255) << message;
    EXPECT_EQ(r.err, before + "\nFatal: Thread 'master': " + message + "\n\n");
  }
  void expectFatal(const RelayPf &pf, const std::string &message,
                   const std::string &before = "") {
    expectFatal(pf.text(), message, before);
  }
  std::string pfname() const { return dir.file("relay"); }

  static RelayPf with(const std::string &entries) {
    RelayPf pf;
    pf.connections = entries;
    return pf;
  }
  static std::string missing(const std::string &name, const std::string &key) {
    return "Configuration error: connection '" + name + "' is missing parameter '" + key + "'";
  }

  testsupport::TempDir dir;
};

// ---- The connection's own keys ----

TEST_F(Vetting, NameMustExistAndNotBeEmpty) {
  expectFatal(
      with(connectionEntry("read_from_tarnname in:1\nwrite_to_queue q\n")),
      "Configuration error: there's connection missing its 'name' parameter in parameter-file '" +
          pfname() + "'");
  expectFatal(
      with(connectionEntry("name\nread_from_tarnname in:1\nwrite_to_queue q\n")),
      "Configuration error: there's a connection with empty 'name' parameter in parameter-file '" +
          pfname() + "'");
}

// Before the direction failure, a line names the entry and every key that
// would have named its server; a misspelt key was named before that.
TEST_F(Vetting, DirectionIsJudgedFromTheEntryAlone) {
  const std::string failure =
      "Configuration error: all connections in parameter-file '" + pfname() +
      "' must have either 'read_from_tarntag', 'read_from_tarnname', 'write_to_tarntag', "
      "or 'write_to_tarnname'";
  auto lacks = [&](const std::string &who) {
    return "Thread 'master': " + who + " in parameter-file '" +
           pfname() +
           "' has no key that names its server: a reader needs one of 'read_from_tarnname', "
           "'read_from_tarntag', 'read_from_natsurl' or 'read_from_seedlink', a writer one of "
           "'write_to_tarnname', 'write_to_tarntag', 'write_to_natsurl' or 'write_to_sds'\n";
  };
  RelayPf pf = with(connectionEntry("name x\nwrite_to_queue q\n"));
  pf.read = replaced(pf.read, "read_from_tarnname\n", "read_from_tarnname in:1\n");
  expectFatal(pf, failure, lacks("Connection 'x' (connections #0)"));
  pf.connections = connectionEntry(kReader) +
                   connectionEntry("name archive\nwrite_to_sdss /srv/sds\nread_from_queue q\n");
  expectFatal(pf, failure,
              "Thread 'master': Warning: parameter file '" + pfname() +
                  "': Unknown key 'write_to_sdss' in connection 'archive' (connections #1) (ignored); "
                  "did you mean "
                  "'write_to_sds'?\n" +
                  lacks("Connection 'archive' (connections #1)"));
}

TEST_F(Vetting, DirectionGivenInTheFileReplacesTheDeterminedOne) {
  expectFatal(with(connectionEntry(kReader + "direction sideways\n")),
              "Unexpected internal error: connection 'r' has unknown direction 'sideways'.");
  // The writer defaults were layered, but the reader's rules apply.
  RelayPf pf = with(connectionEntry(kWriter));
  pf.shared += "direction read\n";
  expectFatal(pf, missing("w", "read_from_tarnname"));
}

TEST_F(Vetting, CommonKeysAreRequiredInOrder) {
  RelayPf pf = with(connectionEntry(kReader));
  pf.shared = "";
  expectFatal(pf, missing("r", "run"));
  pf.shared = "run true\nreject\n";
  expectFatal(pf, missing("r", "match"));
  pf.shared = "run true\nmatch\n";
  expectFatal(pf, missing("r", "reject"));
}

TEST_F(Vetting, EveryReaderKeyIsRequired) {
  for (const auto &key : kReaderKeys) {
    RelayPf pf;
    pf.read = withoutKey(pf.read, key);
    std::string entry = kReader;
    if (key == "read_from_tarnname") entry = "name r\nread_from_tarntag t\nwrite_to_queue q\n";
    pf.connections = connectionEntry(withoutKey(entry, key));
    expectFatal(pf, missing("r", key));
  }
}

TEST_F(Vetting, EveryWriterKeyIsRequired) {
  for (const auto &key : kWriterKeys) {
    RelayPf pf;
    pf.write = withoutKey(pf.write, key);
    std::string entry = kWriter;
    if (key == "write_to_tarnname") entry = "name w\nwrite_to_tarntag t\nread_from_queue q\n";
    pf.connections = connectionEntry(withoutKey(entry, key));
    expectFatal(pf, missing("w", key));
  }
}

TEST_F(Vetting, ReadersRefuseWriterKeys) {
  for (const auto &key : kWriterKeys) {
    expectFatal(with(connectionEntry(kReader + key + " x\n")),
                "Configuration error: read connection 'r' cannot have parameter '" + key + "'");
  }
  // Even empty, and from the shared defaults.
  RelayPf pf = with(connectionEntry(kReader));
  pf.shared += "read_from_queue\n";
  expectFatal(pf,
              "Configuration error: read connection 'r' cannot have parameter 'read_from_queue'");
}

TEST_F(Vetting, WritersRefuseReaderKeys) {
  for (const auto &key : kReaderKeys) {
    RelayPf pf = with(connectionEntry(kWriter));
    pf.write += key + "\n";
    expectFatal(pf,
                "Configuration error: write connection 'w' cannot have parameter '" + key + "'");
  }
  // A reader key among the shared defaults fails every writer.
  RelayPf pf = with(connectionEntry(kWriter));
  pf.shared += "too_old 10\n";
  expectFatal(pf, "Configuration error: write connection 'w' cannot have parameter 'too_old'");
}

TEST_F(Vetting, ExactlyOneTarnKeyIsNotEmpty) {
  expectFatal(
      with(connectionEntry("name r\nread_from_tarnname\nwrite_to_queue q\n")),
      "Configuration error: read connection 'r' must specify either 'read_from_tarnname' or "
      "'read_from_tarntag'");
  expectFatal(
      with(connectionEntry(kReader + "read_from_tarntag t\n")),
      "Configuration error: read connection 'r' may not specify both 'read_from_tarnname' and "
      "'read_from_tarntag'");
  expectFatal(
      with(connectionEntry("name w\nwrite_to_tarntag\nread_from_queue q\n")),
      "Configuration error: write connection 'w' must specify either 'write_to_tarnname' or "
      "'write_to_tarntag'");
  expectFatal(
      with(connectionEntry(kWriter + "write_to_tarntag t\n")),
      "Configuration error: write connection 'w' may not specify both 'write_to_tarnname' and "
      "'write_to_tarntag'");
}

TEST_F(Vetting, EmptyQueueNamesAreRefused) {
  expectFatal(with(connectionEntry("name r\nread_from_tarnname in:1\nwrite_to_queue\n")),
              "Configuration error: read connection 'r' must name its queue in 'write_to_queue'");
  expectFatal(with(connectionEntry("name w\nwrite_to_tarnname out:1\nread_from_queue\n")),
              "Configuration error: write connection 'w' must name its queue in 'read_from_queue'");
}

TEST_F(Vetting, UnknownTagEndsTheProcess) {
  expectFatal(with(connectionEntry("name r\nread_from_tarntag nosuch\nwrite_to_queue q\n")),
              "Can't find an tarnserver specified for tarntag 'nosuch' -- check command line");
}

// ---- Names ----

TEST_F(Vetting, NamesAreUsedOnce) {
  std::string twice =
      "Not allowed to use name 'r' more than once in parameter-file '" + pfname() + "'.";
  expectFatal(with(connectionEntry(kReader) + connectionEntry(kReader)), twice);
  expectFatal(with(connectionEntry(kReader + "run false\n") + connectionEntry(kReader)), twice);
  // A generated name is reserved like any other.
  expectFatal(
      with(connectionEntry(replaced(kReader, "name r", "name auto")) +
           connectionEntry(replaced(kReader, "name r", "name 1/relay1"))),
      "Not allowed to use name '1/relay1' more than once in parameter-file '" + pfname() + "'.");
}

// ---- Values ----

TEST_F(Vetting, ReadersMayNotHaveMaxQueue) {
  std::string message =
      "Configuration error: connection 'r' not allowed to specify 'max_queue' with "
      "'read_from_tarntag' in parameter-file '" +
      pfname() + "'.";
  expectFatal(with(connectionEntry(kReader + "max_queue 5\n")), message);
  RelayPf pf = with(connectionEntry(kReader));
  pf.shared += "max_queue\n";
  expectFatal(pf, message);
}

TEST_F(Vetting, ReaderExpressionsMustCompile) {
  regex_t compiled;
  int rc = regcomp(&compiled, "AA_(", REG_EXTENDED | REG_NOSUB);
  ASSERT_NE(rc, 0);
  char reason[256];
  regerror(rc, &compiled, reason, sizeof reason);
  expectFatal(with(connectionEntry(kReader + "match AA_(\n")),
              "Configuration error: connection 'r' has an invalid 'match' expression 'AA_(': " +
                  std::string(reason));
  expectFatal(
      with(connectionEntry(replaced(kReader, "name r", "name auto") + "reject AA_(\n")),
      "Configuration error: connection '1/relay1' has an invalid 'reject' expression 'AA_(': " +
          std::string(reason));
}

// No value becomes 0 or false behind the operator's back.
TEST_F(Vetting, UnreadableValuesAreRefused) {
  auto invalid = [](const std::string &name, const std::string &key, const std::string &value,
                    const std::string &expected) {
    return "Configuration error: connection '" + name + "' has an invalid '" + key + "' value '" +
           value + "': expected " + expected;
  };
  const std::string time = "a time such as 2026-12-07 10:00:00 or epoch seconds";
  expectFatal(with(connectionEntry(kReader + "starttime yesterday\n")),
              invalid("r", "starttime", "yesterday", time + ", or empty"));
  expectFatal(with(connectionEntry(kReader + "endtime Last\n")),
              invalid("r", "endtime", "Last", time + ", 'last', or empty"));
  // Ages: what strtod would take, and limits that would leave out every packet.
  for (std::string value : {"1h", "nan", "inf", "0x10", "-5", "0", "1e400"}) {
    for (std::string key : {"too_old", "too_new"}) {
      expectFatal(
          with(connectionEntry(kReader + key + " " + value + "\n")),
          invalid("r", key, value, "a number of seconds greater than 0, or empty for no limit"));
    }
  }
  for (std::string value : {"ten", "-1", "2.5", "99999999999"}) {
    expectFatal(with(connectionEntry(kWriter + "max_queue " + value + "\n")),
                invalid("w", "max_queue", value,
                        "a whole number of packets, 0 or more (0 or empty: no limit)"));
  }
  for (std::string value : {"16MB", "-1", "1.5M", "2T", "2048G", "k"}) {
    expectFatal(
        with(connectionEntry(kWriter + "max_queue_bytes " + value + "\n")),
        invalid("w", "max_queue_bytes", value,
                "a size in bytes such as 16777216, 64M or 1G (0: no bound in bytes; empty: 8M)"));
  }
  expectFatal(with(connectionEntry(kReader + "max_queue_bytes 1M\n")),
              "Configuration error: connection 'r' not allowed to specify 'max_queue_bytes' with "
              "'read_from_tarntag' in "
              "parameter-file '" +
                  pfname() + "'.");
  const std::string boolean = "true or false (or yes/no, y/n, on/off, 1/0)";
  expectFatal(with(connectionEntry(kReader + "run tru\n")), invalid("r", "run", "tru", boolean));
  expectFatal(with(connectionEntry(kReader + "check_unstuff maybe\n")),
              invalid("r", "check_unstuff", "maybe", boolean));
  expectFatal(with(connectionEntry(kReader + "match &Arr{\nx 1\n}\n")),
              "Configuration error: connection 'r' has 'match' that is not a single value (an "
              "array or a list stands "
              "there)");
  // Empty is not false either; and a disabled entry is read no further.
  RelayPf pf = with(connectionEntry(kReader + "suppress_unstuff_errors\n"));
  expectFatal(pf, invalid("r", "suppress_unstuff_errors", "", boolean));
  pf.connections =
      connectionEntry(kReader + "run off\ntoo_old nan\n") + connectionEntry(kReader + "run 2\n");
  expectFatal(pf,
              "Not allowed to use name 'r' more than once in parameter-file '" + pfname() + "'.");
}

TEST_F(Vetting, TarnNamesThatNameNoServerAreRefused) {
  auto invalid = [](const std::string &key, const std::string &value, const std::string &problem) {
    return "Configuration error: connection 'x' has an invalid '" + key + "' value '" + value +
           "': expected a tarn name, but " + problem;
  };
  auto host = [](const std::string &h) {
    return "its host '" + h +
           "' is neither a dotted address such as 127.0.0.1 nor a host name such as "
           "station.example.org";
  };
  expectFatal(
      with(connectionEntry("name x\nread_from_tarnname :99999\nwrite_to_queue q\n")),
      invalid("read_from_tarnname", ":99999", "its port '99999' is not a number from 1 to 65535"));
  expectFatal(with(connectionEntry("name x\nwrite_to_tarnname 6520\nread_from_queue q\n")),
              invalid("write_to_tarnname", "6520",
                      "it is a bare number, which names no host: for port 6520 on this machine "
                      "write ':6520'"));
  expectFatal(with(connectionEntry("name x\nwrite_to_tarnname 1796600002:1\nread_from_queue q\n")),
              invalid("write_to_tarnname", "1796600002:1", host("1796600002")));
  expectFatal(
      with(connectionEntry("name x\nread_from_tarnname no_such host:1\nwrite_to_queue q\n")),
      invalid("read_from_tarnname", "no_such host:1", host("no_such host")));
  // On the command line too, for both syntaxes.
  testsupport::writeFile(dir.file("relay.pf"), RelayPf().text());
  for (std::vector<std::string> tail : {std::vector<std::string>{"t1", ":0", "t2", ":1"},
                                        std::vector<std::string>{":1", "10.0.0.256:1"}}) {
    std::vector<std::string> args = {programPath("tarn2tarn_pre"), "-p", pfname()};
    args.insert(args.end(), tail.begin(), tail.end());
    auto r = testsupport::runProgram(args, std::chrono::seconds(20));
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(
        r.err.find("Configuration error: tarn name '" + tail[1] + "' on the command line: its "),
        std::string::npos)
        << r.err;
  }
}

// ---- Top-level keys ----

TEST_F(Vetting, TopLevelKeysAreRequired) {
  auto missingTop = [&](const std::string &path) {
    return "Configuration error: parameter file '" + pfname() +
           "' is missing required parameter '" + path + "'.";
  };
  const std::string full = RelayPf().text();
  expectFatal(replaced(full, "connections &List{\n}\n", ""), missingTop("connections"));
  RelayPf empty;
  empty.shared = empty.read = empty.write = "";
  const std::string bare = empty.text();
  expectFatal(replaced(bare, "shared &Arr{\n}\n", ""), missingTop("connections_defaults{shared}"));
  expectFatal(replaced(bare, "read &Arr{\n}\n", ""), missingTop("connections_defaults{read}"));
  expectFatal(replaced(bare, "write &Arr{\n}\n", ""), missingTop("connections_defaults{write}"));
  for (std::string which : {"status_create", "log_create"}) {
    RelayPf pf;
    (which == "status_create" ? pf.status : pf.log) = "";
    expectFatal(pf, missingTop("connections_special{" + which + "}{run}"));
    (which == "status_create" ? pf.status : pf.log) = "run true\n";
    expectFatal(pf, missingTop("connections_special{" + which + "}{write_to_queue}"));
  }
}

TEST_F(Vetting, TopLevelKeysMustHaveTheirKind) {
  const std::string head = "Configuration error: parameter file '" + pfname() + "' has ";
  expectFatal(
      replaced(RelayPf().text(), "connections &List{\n}\n", "connections q\n"),
      head +
          "'connections' that is not a list: write 'connections &List{' with one '&Arr{' per "
          "connection");
  expectFatal(with("name x\n"),
              "Configuration error: entry #0 of 'connections' in parameter-file '" + pfname() +
                  "' is not an associative array: write each connection as '&Arr{' ... '}'");
  expectFatal(
      replaced(RelayPf().text(), "read &Arr{\n", "read none\nshared &Arr{\n"),
      head +
          "'connections_defaults{read}' that is not an associative array: write '&Arr{' ... '}'");
  RelayPf pf;
  pf.log = "run\n";
  expectFatal(
      pf,
      head +
          "'connections_special{log_create}{run}' = '': it must be true or false (or yes/no, y/n, "
          "on/off, 1/0).");
}

TEST_F(Vetting, IntervalsAndTheGracePeriodAreBounded) {
  auto interval = [&](const std::string &key, const std::string &value) {
    return "Configuration error: parameter file '" + pfname() + "' has 'time_intervals_sec{" + key +
           "}' = '" + value + "': it must be a number of seconds greater than 0 and at most 86400.";
  };
  for (std::string value : {"0", "-1", "soon", "inf", "86400.5"}) {
    RelayPf pf;
    pf.timing = "internal_timeout " + value + "\n";
    expectFatal(pf, interval("internal_timeout", value));
  }
  RelayPf pf;
  pf.timing = "pfstatusreport 0\n";
  expectFatal(pf, interval("pfstatusreport", "0"));
  // 0 is no limit; what the library would read as 0 is refused.
  for (std::string value : {"abc", "2.5", "-1", "86401", ""}) {
    pf.timing = "shutdown_grace_period " + value + "\n";
    expectFatal(pf, "Configuration error: parameter file '" + pfname() +
                        "' has 'time_intervals_sec{shutdown_grace_period}' = '" + value +
                        "': it must be a whole number of seconds from 0 (no limit) to 86400.");
  }
}

// ---- Configurations that pass ----

class RunningRelay : public ::testing::Test {
 protected:
  // Starts the relay, waits until its threads start, and stops it.
  std::string configureAndStop(std::vector<std::string> args) {
    args.insert(args.begin(), programPath("tarn2tarn_pre"));
    testsupport::ChildProcess relay(args);
    bool started = testsupport::waitUntil(
        [&] {
          return relay.out().find("Thread starting") != std::string::npos || !relay.running();
        },
        std::chrono::seconds(20));
    EXPECT_TRUE(started);
    relay.signal(SIGTERM);
    EXPECT_EQ(relay.wait(std::chrono::seconds(20)), 0) << relay.err();
    // Connections may complain that their servers are not there; nothing
    // about the configuration may.
    EXPECT_EQ(relay.err().find("Configuration error"), std::string::npos) << relay.err();
    EXPECT_EQ(relay.err().find("Fatal"), std::string::npos) << relay.err();
    return relay.out();
  }
  testsupport::TempDir dir;
};

TEST_F(RunningRelay, DescribesEachConnectionAtVerboseLevel) {
  RelayPf pf;
  pf.connections =
      connectionEntry(
          "name reader1\nread_from_tarnname in:1\nwrite_to_queue q\nmatch AA_.*\nendtime last\n"
          "too_new 5\n") +
      connectionEntry(
          "name writer1\nwrite_to_tarntag t1\nread_from_queue q\nmax_queue 12\nreject x\n");
  testsupport::writeFile(dir.file("relay.pf"), pf.text());
  std::string out = configureAndStop({"-v", "-p", dir.file("relay"), "t1", "out:2", "t2", "in:1"});
  const std::string l = "Thread 'master': ";
  // "in:1" had the tag t2 from the command line; the reader takes it.
  std::string expected =
      l + "Added queue 'q'\n" + l + "Added connection 'reader1'\n" + l +
      "\t\tdlname\t\t\treader1\n" + l + "\t\trun\t\t\ttrue\n" + l +
      "\t\tconnected_status\tstopped\n" + l + "\t\tdirection\t\tread\n" + l +
      "\t\tread_from_tarnname\tin:1\n" + l + "\t\tread_from_tarntag\tt2\n" + l +
      "\t\twrite_to_queue\t\tq\n" + l + "\t\tstarttime\n" + l + "\t\tendtime\t\t\tlast\n" + l +
      "\t\ttoo_old\n" + l + "\t\ttoo_new\t\t5.000000\n" + l + "\t\tcheck_unstuff\t\tfalse\n" + l +
      "\t\tmatch\t\t\tAA_.*\n" + l + "\t\treject\t\t\t\n" + l + "Added connection 'writer1'\n" + l +
      "\t\tdlname\t\t\twriter1\n" + l + "\t\trun\t\t\ttrue\n" + l +
      "\t\tconnected_status\tstopped\n" + l + "\t\tdirection\t\twrite\n" + l +
      "\t\tread_from_queue\t\tq\n" + l + "\t\twrite_to_tarnname\t\n" + l +
      "\t\twrite_to_tarntag\t\tt1\n" + l + "\t\tmax_queue\t\t12\n" + l +
      "\t\tmax_queue_bytes\t\t8388608\n" + l + "\t\tmatch\t\t\t\n" + l + "\t\treject\t\t\tx\n";
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(RunningRelay, ExampleParameterFileConfigures) {
  std::string out =
      configureAndStop({"-v", "-p", std::string(RELAY_SOURCE_DIR) + "/examples/tarn2tarn_pre.pf"});
  for (std::string name : {"station_a", "1/tarn2tarn_pre", "archive", "backup"}) {
    EXPECT_NE(out.find("Added connection '" + name + "'"), std::string::npos) << name;
  }
  EXPECT_NE(out.find("Connection 'spare' is disabled"), std::string::npos);
  EXPECT_NE(out.find("Thread starting"), std::string::npos);
}

}  // namespace
