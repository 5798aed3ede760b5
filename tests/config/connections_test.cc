// The current parameter file as configure() reads it in this process: the
// layered defaults, generated and reserved names, skipped connections, shared
// queues, the status and log queues, the timing settings, and the writers'
// early registration as consumers. Each test has a configuration of its own
// and starts with an empty tag registry (fresh_tag_registry.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/relay_exception.h"
#include "base/relay_times.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "fresh_tag_registry.h"
#include "output_capture.h"
#include "process.h"
#include "queue/relay_queue.h"
#include "relay_config_inspector.h"
#include "relay_pf.h"
#include "tarn/tarn_packet.h"

namespace {

using testsupport::connectionEntry;
using testsupport::RelayPf;

// The configuration lives until the process ends, as in the relay, and so
// do its queues: keep it where the leak check still finds it at exit.
RelayConfig &keptConfig() {
  static auto *kept = new std::vector<RelayConfig *>;
  kept->push_back(new RelayConfig());
  return *kept->back();
}

class CurrentPf : public ::testing::Test {
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
  // configure() at -v with target "relay1" and the tags "t1" and "t2" (two
  // pairs: two arguments alone would be the legacy syntax).
  void configure(const RelayPf &pf) {
    testsupport::writeFile(dir.file("relay.pf"), pf.text());
    storage = {"tarn2tarn_pre", "-v", "-p",       "relay", "-t",
               "relay1",        "t1", "tagsrv:1", "t2",    "tagsrv:2"};
    std::vector<char *> argv;
    for (auto &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    testcapture::OutputCapture capture;
    config.configure(static_cast<int>(storage.size()), argv.data());
    capture.stop();
    out = capture.out();
    err = capture.err();
  }
  std::shared_ptr<RelayConnection> connection(const std::string &name) {
    for (auto &c : config.getConnections()) {
      if (c->connectionName() == name) return c;
    }
    return nullptr;
  }
  size_t occurrences(const std::string &text) const {
    size_t count = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++count;
    return count;
  }

  testsupport::TempDir dir;
  char *saved = nullptr;
  RelayConfig &config = keptConfig();
  RelayConfigInspector inside{config};
  std::vector<std::string> storage;
  std::string out, err;
};

std::string readerEntry(const std::string &name, const std::string &queue,
                        const std::string &more = "") {
  return connectionEntry("name " + name + "\nread_from_tarnname in:1\nwrite_to_queue " + queue +
                         "\n" + more);
}
std::string writerEntry(const std::string &name, const std::string &queue,
                        const std::string &more = "") {
  return connectionEntry("name " + name + "\nwrite_to_tarnname out:1\nread_from_queue " + queue +
                         "\n" + more);
}

// ---- Names ----

TEST_F(CurrentPf, AutoNamesCountEveryAutoEntryIncludingSkippedOnes) {
  RelayPf pf;
  pf.connections =
      readerEntry("auto", "q") + writerEntry("auto", "q", "run false\n") + writerEntry("auto", "q");
  configure(pf);
  EXPECT_EQ(config.getConnections().size(), 2u);
  ASSERT_NE(connection("1/relay1"), nullptr);
  EXPECT_EQ(connection("2/relay1"), nullptr);
  ASSERT_NE(connection("3/relay1"), nullptr);
  EXPECT_EQ(connection("1/relay1")->getString("connection_name"), "1/relay1");
  EXPECT_EQ(inside.namesUsed(), (std::vector<std::string>{"1/relay1", "2/relay1", "3/relay1"}));
  EXPECT_NE(
      out.find(
          "Thread 'master': Connection '2/relay1' is disabled (run = 'false') in parameter file. "
          "Skipping connection.\n"),
      std::string::npos);
  EXPECT_NE(out.find("Thread 'master': Added connection '3/relay1'\n"), std::string::npos);
}

TEST_F(CurrentPf, SkippedConnectionCreatesNoQueueAndNoConnection) {
  RelayPf pf;
  pf.connections = readerEntry("off", "onlyq", "run no\n");
  configure(pf);
  EXPECT_TRUE(config.getConnections().empty());
  EXPECT_FALSE(inside.hasQueue("onlyq"));
  EXPECT_EQ(out.find("Added queue"), std::string::npos) << out;
  EXPECT_EQ(out.find("Added connection"), std::string::npos) << out;
}

// ---- Queues ----

TEST_F(CurrentPf, ConnectionsNamingOneQueueShareIt) {
  RelayPf pf;
  pf.connections = readerEntry("r1", "q") +
                   connectionEntry("name r2\nread_from_tarntag t1\nwrite_to_queue q\n") +
                   writerEntry("w1", "q") + writerEntry("w2", "other");
  configure(pf);
  EXPECT_EQ(inside.queueCount(), 2u);
  EXPECT_EQ(occurrences("Added queue 'q'"), 1u);
  EXPECT_EQ(config.getRelayQueue("q")->name(), "q");
  EXPECT_EQ(connection("r2")->getString("tarnname"), "tagsrv:1");
}

// A reader may push before its writer's thread has opened its tag: those
// packets wait for the writer instead of being lost.
TEST_F(CurrentPf, PacketsPushedBeforeTheWriterStartsAllArrive) {
  RelayPf pf;
  pf.connections =
      readerEntry("r", "q") + writerEntry("w", "q", "max_queue 0\n") + writerEntry("w2", "q");
  configure(pf);
  auto queue = config.getRelayQueue("q");
  for (int i = 0; i < 5; ++i) {
    auto packet = std::make_shared<TarnPacket>("t1", "early " + std::to_string(i));
    queue->push(packet);
  }
  EXPECT_EQ(queue->getQueueCount("w"), 5);
  EXPECT_EQ(queue->getQueueCount("w2"), 5);
  EXPECT_EQ(queue->getQueueCount("r"), -1) << "a reader is no consumer";
  queue->setConsumer("w", 0);  // as the writer's thread does when it starts
  for (int i = 0; i < 5; ++i) {
    auto packet = queue->pop("w");
    ASSERT_NE(packet, nullptr);
  }
  EXPECT_EQ(queue->getQueueCount("w"), 0);
  EXPECT_EQ(queue->getQueueCount("w2"), 5);
}

// ---- Layering ----

TEST_F(CurrentPf, WriterEntryIsCompletedByTheDefaults) {
  RelayPf pf;
  pf.write += "max_queue 40\n";
  pf.connections = connectionEntry("name w\nwrite_to_tarnname out:1\nread_from_queue q\n");
  configure(pf);
  auto w = connection("w");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->getString("direction"), "write");
  EXPECT_EQ(w->writerSettings().maxQueue, 40);
  EXPECT_EQ(w->readerSettings().match, "");
  EXPECT_FALSE(w->readerSettings().checkUnstuff);
  EXPECT_FALSE(w->readerSettings().suppressUnstuffErrors);
}

TEST_F(CurrentPf, EntryBeatsSharedDefaultsWhichBeatDirectionDefaults) {
  RelayPf pf;
  pf.shared = "run true\nmatch SHARED\nreject\n";
  pf.read += "match READ\nreject READ\n";
  pf.write += "match WRITE\n";
  pf.connections =
      readerEntry("r1", "q") + readerEntry("r2", "q", "match OWN\n") + writerEntry("w", "q");
  configure(pf);
  EXPECT_EQ(connection("r1")->readerSettings().match, "SHARED");
  EXPECT_EQ(connection("r1")->readerSettings().reject, "") << "an empty shared value still wins";
  EXPECT_EQ(connection("r2")->readerSettings().match, "OWN");
  EXPECT_EQ(connection("w")->writerSettings().match, "SHARED");
}

TEST_F(CurrentPf, WriterMaxQueueEmptyIsZero) {
  RelayPf pf;
  pf.write += "max_queue 40\n";
  pf.connections = writerEntry("w", "q", "max_queue\n");
  configure(pf);
  EXPECT_EQ(connection("w")->writerSettings().maxQueue, 0);
}

TEST_F(CurrentPf, ReaderTimesLimitsAndFlags) {
  RelayPf pf;
  pf.connections =
      readerEntry("r1", "q",
                  "starttime 2026-12-07 10:00:00\nendtime last\ntoo_old 3600\ntoo_new 1.5\n"
                  "check_unstuff yes\nsuppress_unstuff_errors ON\nmatch AA_.*\n") +
      readerEntry("r2", "q", "starttime 1000\nendtime 2026-12-07T10:00:00Z\n") +
      readerEntry("r3", "q");
  configure(pf);
  auto r1 = connection("r1");
  EXPECT_EQ(r1->readerSettings().starttime, 1796637600.0);
  EXPECT_EQ(r1->readerSettings().endtime, TIME_LAST);
  EXPECT_EQ(r1->readerSettings().tooOld, 3600.0);
  EXPECT_EQ(r1->readerSettings().tooNew, 1.5);
  EXPECT_TRUE(r1->readerSettings().checkUnstuff);
  EXPECT_TRUE(r1->readerSettings().suppressUnstuffErrors);
  EXPECT_EQ(r1->readerSettings().match, "AA_.*");
  EXPECT_EQ(connection("r2")->readerSettings().starttime, 1000.0);
  EXPECT_EQ(connection("r2")->readerSettings().endtime, 1796637600.0);
  auto r3 = connection("r3");
  EXPECT_EQ(r3->readerSettings().starttime, TIME_UNSET);
  EXPECT_EQ(r3->readerSettings().endtime, TIME_UNSET);
  EXPECT_EQ(r3->readerSettings().tooOld, TIME_UNSET);
  EXPECT_EQ(r3->readerSettings().tooNew, TIME_UNSET);
  EXPECT_NE(out.find("\t\tendtime\t\t\tlast\n"), std::string::npos);
}

TEST_F(CurrentPf, WritersExpressionsAreNotChecked) {
  RelayPf pf;
  pf.connections = writerEntry("w", "q", "match (\nreject [\n");
  configure(pf);
  EXPECT_EQ(connection("w")->writerSettings().match, "(");
}

// ---- Status and log queues ----

TEST_F(CurrentPf, StatusAndLogQueuesAreCreatedWhenOn) {
  RelayPf pf;
  pf.status = "run true\nwrite_to_queue statq\n";
  pf.log = "run 1\nwrite_to_queue logq\n";
  configure(pf);
  ASSERT_NE(config.getRelayStatusQueue(), nullptr);
  EXPECT_EQ(config.getRelayStatusQueue()->name(), "statq");
  ASSERT_NE(config.getRelayLogQueue(), nullptr);
  EXPECT_EQ(config.getRelayLogQueue()->name(), "logq");
}

TEST_F(CurrentPf, StatusQueueMayBeAConnectionsQueue) {
  RelayPf pf;
  pf.connections = readerEntry("r", "mainq") + writerEntry("w", "mainq");
  pf.status = "run true\nwrite_to_queue mainq\n";
  pf.log = "run true\nwrite_to_queue mainq\n";
  configure(pf);
  EXPECT_EQ(config.getRelayStatusQueue(), config.getRelayQueue("mainq"));
  EXPECT_EQ(config.getRelayLogQueue(), config.getRelayQueue("mainq"));
  EXPECT_EQ(occurrences("Added queue 'mainq'"), 1u);
}

TEST_F(CurrentPf, EmptyQueueNamesTurnPacketsOff) {
  RelayPf pf;
  pf.status = "run true\nwrite_to_queue\n";
  pf.log = "run true\nwrite_to_queue\n";
  configure(pf);
  EXPECT_EQ(config.getRelayStatusQueue(), nullptr);
  EXPECT_EQ(config.getRelayLogQueue(), nullptr);
  EXPECT_EQ(inside.queueCount(), 0u);
  EXPECT_NE(out.find("Thread 'master': Parameter "
                     "'connections_special{status_create}{write_to_queue}' is empty: "
                     "turning off status-packet creation\n"),
            std::string::npos);
  EXPECT_NE(
      out.find(
          "Thread 'master': Parameter 'connections_special{log_create}{write_to_queue}' is empty: "
          "turning off log-message output to tarnservers\n"),
      std::string::npos);
}

TEST_F(CurrentPf, RunFalseIgnoresTheQueueName) {
  RelayPf pf;
  pf.status = "run false\nwrite_to_queue statq\n";
  pf.log = "run off\n";
  configure(pf);
  EXPECT_EQ(config.getRelayStatusQueue(), nullptr);
  EXPECT_EQ(config.getRelayLogQueue(), nullptr);
  EXPECT_FALSE(inside.hasQueue("statq"));
}

// A queue name with a typo leaves a queue that is filled and never read, and
// one that is read and never filled; both are named at start-up.
TEST_F(CurrentPf, UnpairedQueuesAreNamedAtStartUp) {
  RelayPf pf;
  pf.connections = readerEntry("r1", "mainq") + readerEntry("r2", "mainq") +
                   writerEntry("w1", "maniq") + readerEntry("r3", "paired") +
                   writerEntry("w2", "paired") + writerEntry("w3", "paired2", "run false\n") +
                   readerEntry("r4", "paired2") + writerEntry("wlog", "logq");
  pf.status = "run true\nwrite_to_queue statq\n";
  pf.log = "run true\nwrite_to_queue logq\n";
  configure(pf);
  const std::string l = "Thread 'master': ";
  EXPECT_EQ(
      err,
      l +
          "Queue 'mainq' is filled by 'r1', 'r2' but no writer connection reads it: its packets go "
          "nowhere\n" +
          l +
          "Queue 'paired2' is filled by 'r4' but no writer connection reads it: its packets go "
          "nowhere\n" +
          l +
          "Queue 'statq' is filled by the status packets but no writer connection reads it: its "
          "packets go nowhere\n" +
          l +
          "Queue 'maniq' is read by 'w1' but nothing fills it: no reader connection writes to "
          "it, and it receives neither status nor log packets\n");
}

// A writer onto the server that a reader of its queue reads (however the
// server's name is written, or through a tag) would copy its own output.
TEST_F(CurrentPf, AWriterOntoItsReadersServerIsNamedAsALoop) {
  RelayPf pf;
  pf.connections =
      connectionEntry("name in\nread_from_tarnname :6520\nwrite_to_queue q\n") +
      connectionEntry("name out\nwrite_to_tarnname 127.0.0.1:6520\nread_from_queue q\n") +
      connectionEntry("name copy\nwrite_to_tarnname :6521\nread_from_queue q\n") +
      connectionEntry("name tagged\nread_from_tarntag t1\nwrite_to_queue qt\n") +
      connectionEntry("name back\nwrite_to_tarnname tagsrv:1\nread_from_queue qt\n") +
      connectionEntry("name other\nread_from_tarnname localhost:6521\nwrite_to_queue qo\n") +
      connectionEntry("name on\nwrite_to_tarnname :6520\nread_from_queue qo\n");
  configure(pf);
  const std::string l = "Thread 'master': Warning: connection '";
  EXPECT_EQ(err, l + "back' writes to tarn 'tagsrv:1', which connection 'tagged' reads and hands "
                     "to it through queue 'qt': every packet it puts there is read and put "
                     "again, in a loop\n" +
                     l + "out' writes to tarn '127.0.0.1:6520', which connection 'in' reads and "
                         "hands to it through queue 'q': every packet it puts there is read and "
                         "put again, in a loop\n");
}

// ---- Timing settings ----

TEST_F(CurrentPf, TimingSettingsAreReadWithoutConnections) {
  RelayPf pf;
  pf.timing = "pfstatusreport 5\ninternal_timeout 0.25\nshutdown_grace_period 30\n";
  configure(pf);
  EXPECT_TRUE(config.getConnections().empty());
  EXPECT_EQ(config.getDouble("pfstatusreport_interval_sec"), 5.0);
  EXPECT_EQ(config.getDouble("internal_timeout_sec"), 0.25);
  EXPECT_EQ(config.getInt("shutdown_grace_period_sec"), 30);
}

TEST_F(CurrentPf, MissingTimingKeysKeepTheBuiltInValues) {
  RelayPf pf;
  pf.timing = "shutdown_grace_period 0\n";
  configure(pf);
  EXPECT_EQ(config.getDouble("pfstatusreport_interval_sec"), 2.0);
  EXPECT_EQ(config.getDouble("internal_timeout_sec"), 1.0);
  EXPECT_EQ(config.getInt("shutdown_grace_period_sec"), 0) << "0: no time limit on the shutdown";
}

}  // namespace
