// RelayConnection: construction and its tag, the keyed properties with their
// failures, the description lines, and the sharing of its state between its
// own thread and the status manager.
#include "connection/relay_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_times.h"
#include "managers/relay_log_mgr.h"
#include "output_capture.h"
#include "queue/relay_queue.h"
#include "relay_test_env.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

using testcapture::OutputCapture;
using testcapture::runInChild;

const std::string kLabel = "Thread 'tester': ";

// Queues live until the process ends, as in the relay: keep them where the
// leak check still finds them at exit.
std::shared_ptr<RelayQueue> keptQueue(const std::string &name) {
  static auto *kept = new std::vector<std::shared_ptr<RelayQueue>>;
  kept->push_back(std::make_shared<RelayQueue>(name));
  return kept->back();
}

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    RelayCnf->nameThread("tester");
    RelayCnf->omlog()->setVerbose(0);
  }

  static std::shared_ptr<RelayConnection> reader(const std::string &name = "r1") {
    return std::make_shared<RelayConnection>(name, "read", "", "srv:6510", "q1");
  }
  static std::shared_ptr<RelayConnection> writer(const std::string &name = "w1") {
    return std::make_shared<RelayConnection>(name, "write", "", "out:6520", "q1");
  }

  // What `body` writes to standard error before it ends the process.
  static std::string fatal(const std::function<void()> &body) {
    auto result = runInChild(body);
    EXPECT_EQ(result.exitStatus, 255);
    return result.err;
  }
  static std::string fatalLine(const std::string &msg) { return "\nFatal: " + kLabel + msg + "\n\n"; }

  // The lines `describe` writes at verbose level, without their labels.
  static std::vector<std::string> describe(RelayConnection &connection) {
    RelayCnf->omlog()->setVerbose(1);
    OutputCapture capture;
    connection.verboseDescribe();
    capture.stop();
    RelayCnf->omlog()->setVerbose(0);
    std::vector<std::string> lines;
    std::istringstream in(capture.out());
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ(line.compare(0, kLabel.size(), kLabel), 0) << line;
      lines.push_back(line.substr(std::min(line.size(), kLabel.size())));
    }
    return lines;
  }
};

// ---- Construction and the tag ----

TEST_F(Connection, EmptyTagNameTakesTheGeneratedTagsName) {
  auto c = reader();
  std::string tag = c->getString("tarntag");
  EXPECT_EQ(tag.rfind("tarntag", 0), 0u) << tag;
  EXPECT_EQ(TarnTag::getTarnTag(tag, "", false), c->getTag());
  EXPECT_EQ(c->getString("tarnname"), "srv:6510");
}

TEST_F(Connection, NamedTagIsLookedUpAndAnswersForItsServer) {
  TarnTag::getTarnTag("archive", "arch:7000", true);
  RelayConnection c("w", "write", "archive", "", "q");
  EXPECT_EQ(c.getString("tarntag"), "archive");
  EXPECT_EQ(c.getString("tarnname"), "arch:7000");
  EXPECT_EQ(c.getTag(), TarnTag::getTarnTag("archive", "", false));
}

TEST_F(Connection, UnknownTagOrDirectionEndsTheProcess) {
  EXPECT_EQ(fatal([] { RelayConnection("w", "write", "nosuchtag", "", "q"); }),
            fatalLine("Can't find an tarnserver specified for tarntag 'nosuchtag' -- check command line"));
  EXPECT_EQ(fatal([] { RelayConnection("x", "Read", "", "srv", "q"); }),
            fatalLine("Unexpected internal error: RelayConnection direction must be 'read' or 'write'."));
}

TEST_F(Connection, StartsStoppedWithNothingSet) {
  auto c = reader("first");
  EXPECT_EQ(c->connectionName(), "first");
  EXPECT_EQ(c->getString("connection_name"), "first");
  EXPECT_EQ(c->getString("connection_status"), "stopped");
  EXPECT_EQ(c->getString("direction"), "read");
  EXPECT_EQ(writer()->getString("direction"), "write");
  EXPECT_EQ(c->getString("queue_name"), "q1");
  EXPECT_EQ(c->getString("match"), "");
  EXPECT_EQ(c->getString("reject"), "");
  EXPECT_EQ(c->getInt("maxqueue"), 0);
  EXPECT_FALSE(c->getBool("check_unstuff"));
  EXPECT_FALSE(c->suppressUnstuffErrors());
  EXPECT_EQ(c->getDouble("last_packet_time"), 0.0);
  EXPECT_EQ(c->startTime(), TIME_UNSET);
  EXPECT_EQ(c->endTime(), TIME_UNSET);
  EXPECT_EQ(c->tooOld(), TIME_UNSET);
  EXPECT_EQ(c->tooNew(), TIME_UNSET);
}

// ---- Setters and getters ----

TEST_F(Connection, TypedSettersStoreTheirKeys) {
  auto c = reader();
  c->set("match", "AA_.*");  // a text literal, not a boolean
  c->set("reject", std::string(".*/TEST"));
  c->set("connection_name", "renamed");
  c->set("connection_status", "yes");
  c->set("maxqueue", 7);
  c->set("check_unstuff", true);
  c->set("suppress_unstuff_errors", true);
  c->set("starttime", 1000.5);
  c->set("endtime", TIME_LAST);
  c->set("too_old", 3600.0);
  c->set("too_new", 0.0);
  EXPECT_EQ(c->getString("match"), "AA_.*");
  EXPECT_EQ(c->getString("reject"), ".*/TEST");
  EXPECT_EQ(c->connectionName(), "renamed");
  EXPECT_EQ(c->getString("connection_status"), "yes");
  EXPECT_EQ(c->getInt("maxqueue"), 7);
  EXPECT_TRUE(c->getBool("check_unstuff"));
  EXPECT_TRUE(c->suppressUnstuffErrors());
  EXPECT_EQ(c->startTime(), 1000.5);
  EXPECT_EQ(c->endTime(), TIME_LAST);
  EXPECT_EQ(c->tooOld(), 3600.0);
  EXPECT_EQ(c->tooNew(), 0.0);
}

TEST_F(Connection, StringSetterOnlyComplainsAboutUnknownKeys) {
  auto c = reader();
  OutputCapture capture;
  c->set("maxqueue", std::string("5"));
  c->set("Match", "x");
  capture.stop();
  EXPECT_EQ(capture.err(),
            kLabel + "Unexpected internal error: unknown key 'maxqueue' in RelayConnection::set() (string value)\n" +
                kLabel + "Unexpected internal error: unknown key 'Match' in RelayConnection::set() (string value)\n");
  EXPECT_EQ(c->getInt("maxqueue"), 0);
  EXPECT_EQ(c->getString("match"), "");
}

TEST_F(Connection, OtherSettersEndTheProcessOnUnknownKeys) {
  auto c = reader();
  const std::string head = "Unexpected internal error: unknown key '";
  EXPECT_EQ(fatal([&] { c->set("match", 1); }),
            fatalLine(head + "match' in RelayConnection::set() (integer value)"));
  EXPECT_EQ(fatal([&] { c->set("maxqueue", true); }),
            fatalLine(head + "maxqueue' in RelayConnection::set() (boolean value)"));
  EXPECT_EQ(fatal([&] { c->set("last_packet_time", 1.0); }),
            fatalLine(head + "last_packet_time' in RelayConnection::set() (double-precision value)"));
}

TEST_F(Connection, GettersEndTheProcessOnUnknownKeys) {
  auto c = reader();
  const std::string head = "Unexpected internal error: unknown key '";
  EXPECT_EQ(fatal([&] { c->getInt("max_queue"); }), fatalLine(head + "max_queue' in RelayConnection::getInt()"));
  EXPECT_EQ(fatal([&] { c->getBool("suppress_unstuff_errors"); }),
            fatalLine(head + "suppress_unstuff_errors' in RelayConnection::getBool()"));
  EXPECT_EQ(fatal([&] { c->getDouble("starttime"); }), fatalLine(head + "starttime' in RelayConnection::getDouble()"));
  EXPECT_EQ(fatal([&] { c->getString("Direction"); }), fatalLine(head + "Direction' in RelayConnection::getString()"));
}

// ---- Queue count ----

TEST_F(Connection, QueueCountBeforeTheQueueIsZero) {
  auto c = writer();
  EXPECT_EQ(c->getInt("queue_count"), 0);
  EXPECT_EQ(reader()->getInt("queue_count"), 0);
}

TEST_F(Connection, QueueCountIsMinusOneForAReaderAndTheWaitingPacketsForAWriter) {
  auto queue = keptQueue("count_q");
  auto r = reader("count_r");
  auto w = writer("count_w");
  queue->setConsumer("count_w", 0);
  r->setQueue(queue);
  w->setQueue(queue);
  EXPECT_EQ(r->getInt("queue_count"), -1);
  EXPECT_EQ(w->getInt("queue_count"), 0);
  for (int i = 0; i < 3; ++i) {
    auto packet = std::make_shared<TarnPacket>("line " + std::to_string(i));
    queue->push(packet);
  }
  EXPECT_EQ(w->getInt("queue_count"), 3);
  queue->pop("count_w");
  EXPECT_EQ(w->getInt("queue_count"), 2);
}

// ---- Description ----

TEST_F(Connection, ReaderWithoutTimesDescribesBareKeys) {
  auto c = reader("r");
  c->set("match", "AA_.*");
  std::string tag = c->getString("tarntag");
  std::vector<std::string> expected = {
      "\t\tdlname\t\t\tr",          "\t\trun\t\t\ttrue",
      "\t\tconnected_status\tstopped", "\t\tdirection\t\tread",
      "\t\tread_from_tarnname\tsrv:6510", "\t\tread_from_tarntag\t" + tag,
      "\t\twrite_to_queue\t\tq1",   "\t\tstarttime",
      "\t\tendtime",                "\t\ttoo_old",
      "\t\ttoo_new",                "\t\tcheck_unstuff\t\tfalse",
      "\t\tmatch\t\t\tAA_.*",       "\t\treject\t\t\t"};
  EXPECT_EQ(describe(*c), expected);
}

TEST_F(Connection, ReaderTimesAndLimits) {
  auto c = std::make_shared<RelayConnection>("r", "read", "", "", "q1");
  c->set("starttime", 1796637600.0);  // 2026-12-07 10:00:00 UTC
  c->set("endtime", 1796641200.5);
  c->set("too_old", 3600.0);
  c->set("too_new", 0.25);
  c->set("check_unstuff", true);
  auto lines = describe(*c);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[4], "\t\tread_from_tarnname\t") << "the tarn name as configured, here empty";
  EXPECT_EQ(lines[7], "\t\tstarttime\t\t12/07/26 10:00:00 UTC");
  EXPECT_EQ(lines[8], "\t\tendtime\t\t\t12/07/26 11:00:00 UTC");
  EXPECT_EQ(lines[9], "\t\ttoo_old\t\t3600.000000");
  EXPECT_EQ(lines[10], "\t\ttoo_new\t\t0.250000");
  EXPECT_EQ(lines[11], "\t\tcheck_unstuff\t\ttrue");
  c->set("endtime", TIME_LAST);
  EXPECT_EQ(describe(*c)[8], "\t\tendtime\t\t\tlast");
}

TEST_F(Connection, WriterDescription) {
  TarnTag::getTarnTag("wtag", "arch:7000", true);
  RelayConnection c("w", "write", "wtag", "", "mainq");
  c.set("maxqueue", 250);
  c.setMaxQueueBytes(1 << 20);
  c.set("reject", "x");
  std::vector<std::string> expected = {
      "\t\tdlname\t\t\tw",           "\t\trun\t\t\ttrue",
      "\t\tconnected_status\tstopped", "\t\tdirection\t\twrite",
      "\t\tread_from_queue\t\tmainq", "\t\twrite_to_tarnname\t",
      "\t\twrite_to_tarntag\t\twtag", "\t\tmax_queue\t\t250",
      "\t\tmax_queue_bytes\t\t1048576",
      "\t\tmatch\t\t\t",             "\t\treject\t\t\tx"};
  EXPECT_EQ(describe(c), expected);
}

TEST_F(Connection, DescriptionIsSilentWhenNotVerbose) {
  auto c = writer();
  OutputCapture capture;
  c->verboseDescribe();
  capture.stop();
  EXPECT_EQ(capture.out(), "");
}

// ---- Sharing with the status manager ----

// The connection's thread changes its status, queue and last packet time
// while another thread reads them; every value read is one that was written.
TEST_F(Connection, StateIsReadWhileItsThreadWritesIt) {
  auto c = writer("shared_w");
  auto queue = keptQueue("shared_q");
  queue->setConsumer("shared_w", 0);
  std::atomic<bool> done{false};
  std::thread connectionThread([&] {
    const char *states[] = {"reg", "sleeping", "yes"};
    for (int i = 0; i < 20000; ++i) {
      c->set("connection_status", states[i % 3]);
      c->setLastPacketTime(1000.0 + i);
      if (i == 100) c->setQueue(queue);
    }
    done = true;
  });
  int reads = 0;
  while (!done && reads < 1000000) {
    std::string status = c->getString("connection_status");
    EXPECT_TRUE(status == "stopped" || status == "reg" || status == "sleeping" || status == "yes") << status;
    double time = c->getDouble("last_packet_time");
    EXPECT_TRUE(time == 0.0 || (time >= 1000.0 && time < 21000.0)) << time;
    int count = c->getInt("queue_count");
    EXPECT_EQ(count, 0);
    ++reads;
  }
  connectionThread.join();
  EXPECT_EQ(c->getQueue(), queue);
  EXPECT_EQ(c->getDouble("last_packet_time"), 20999.0);
}

}  // namespace
