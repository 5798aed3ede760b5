// RelayConnection: what status packets and descriptions show of it, and the
// sharing of its state between its own thread and the status manager. How
// its loops relay is the conformance harness's (tests/endpoints/).
#include "connection/relay_connection.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_times.h"
#include "endpoints/tarn_destination.h"
#include "endpoints/tarn_source.h"
#include "endpoints/writer_acks.h"
#include "fresh_tag_registry.h"
#include "output_capture.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"
#include "test_context.h"

namespace {

using testcapture::OutputCapture;
using testcapture::runInChild;
using testsupport::testContext;
using testsupport::testLog;

const std::string kLabel = "Thread 'tester': ";

// Queues live until the process ends, as in the relay: keep them where the
// leak check still finds them at exit.
std::shared_ptr<RelayQueue> keptQueue(const std::string &name) {
  static auto *kept = new std::vector<std::shared_ptr<RelayQueue>>;
  kept->push_back(std::make_shared<RelayQueue>(name, testLog(), 1.0));
  return kept->back();
}

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    testLog().nameThread("tester");
    testLog().setVerbose(0);
  }

  static std::shared_ptr<RelayConnection> reader(const std::string &name,
                                                 ReaderSettings settings = {},
                                                 const std::string &tarnname = "srv:6510") {
    auto tag = TarnTag::createTarnTagFromTarnName(tarnname);
    return std::make_shared<RelayConnection>(
        name, keptQueue("q1"), settings,
        std::make_unique<TarnSource>(tag, tarnname, name, settings, testContext()), testContext());
  }
  static std::shared_ptr<RelayConnection> writer(
      const std::string &name, WriterSettings settings = {},
      std::shared_ptr<RelayQueue> queue = keptQueue("q1")) {
    auto tag = TarnTag::getTarnTag("wtag", "arch:7000", true);
    return std::make_shared<RelayConnection>(
        name, queue, settings, std::make_unique<TarnDestination>(tag, "", testContext()),
        testContext());
  }

  // The lines `describe` writes at verbose level, without their labels.
  static std::vector<std::string> describe(RelayConnection &connection) {
    testLog().setVerbose(1);
    OutputCapture capture;
    connection.verboseDescribe();
    capture.stop();
    testLog().setVerbose(0);
    std::vector<std::string> lines;
    std::istringstream in(capture.out());
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ(line.compare(0, kLabel.size(), kLabel), 0) << line;
      lines.push_back(line.substr(std::min(line.size(), kLabel.size())));
    }
    return lines;
  }
};

// ---- What status packets show ----

TEST_F(Connection, StatusKeysOfAReaderAndAWriter) {
  auto r = reader("first");
  EXPECT_EQ(r->getString("connection_name"), "first");
  EXPECT_EQ(r->getString("connection_status"), "stopped");
  EXPECT_EQ(r->getString("direction"), "read");
  EXPECT_EQ(r->getString("queue_name"), "q1");
  EXPECT_EQ(r->getString("tarnname"), "srv:6510");
  EXPECT_EQ(r->getDouble("last_packet_time"), 0.0);
  auto w = writer("w1");
  EXPECT_EQ(w->getString("direction"), "write");
  EXPECT_EQ(w->getString("tarnname"), "arch:7000") << "the named tag's server";
}

TEST_F(Connection, UnknownStatusKeysEndTheProcess) {
  auto c = reader("r1");
  const std::string head = "\nFatal: " + kLabel + "Unexpected internal error: unknown key '";
  auto fatal = [](const std::function<void()> &body) {
    auto result = runInChild(body);
    EXPECT_EQ(result.exitStatus, 255);
    return result.err;
  };
  EXPECT_EQ(fatal([&] { c->getInt("max_queue"); }),
            head + "max_queue' in RelayConnection::getInt()\n\n");
  EXPECT_EQ(fatal([&] { c->getDouble("starttime"); }),
            head + "starttime' in RelayConnection::getDouble()\n\n");
  EXPECT_EQ(fatal([&] { c->getString("Direction"); }),
            head + "Direction' in RelayConnection::getString()\n\n");
}

// Before its thread begins a connection counts 0 queued; then a reader
// counts -1 and a writer what waits for it.
TEST_F(Connection, QueueCountBeforeAndAfterTheThreadBegins) {
  auto queue = keptQueue("count_q");
  auto w = writer("count_w", {}, queue);
  queue->setConsumer("count_w", 0);
  EXPECT_EQ(w->getInt("queue_count"), 0);
  for (int i = 0; i < 3; ++i) {
    auto packet = std::make_shared<TarnPacket>("relay1", "line " + std::to_string(i));
    queue->push(packet);
  }
  EXPECT_EQ(w->getInt("queue_count"), 0) << "not begun";
  auto r = reader("count_r");
  EXPECT_EQ(r->getInt("queue_count"), 0);
}

// ---- Description ----

TEST_F(Connection, ReaderWithoutTimesDescribesBareKeys) {
  ReaderSettings settings;
  settings.match = "AA_.*";
  auto c = reader("r", settings);
  std::vector<std::string> expected = {"\t\tdlname\t\t\tr",
                                       "\t\trun\t\t\ttrue",
                                       "\t\tconnected_status\tstopped",
                                       "\t\tdirection\t\tread",
                                       "\t\tread_from_tarnname\tsrv:6510",
                                       "\t\tread_from_tarntag\ttarntag0001",
                                       "\t\twrite_to_queue\t\tq1",
                                       "\t\tstarttime",
                                       "\t\tendtime",
                                       "\t\ttoo_old",
                                       "\t\ttoo_new",
                                       "\t\tcheck_unstuff\t\tfalse",
                                       "\t\tmatch\t\t\tAA_.*",
                                       "\t\treject\t\t\t"};
  EXPECT_EQ(describe(*c), expected);
}

TEST_F(Connection, ReaderTimesAndLimits) {
  ReaderSettings settings;
  settings.starttime = 1796637600.0;  // 2026-12-07 10:00:00 UTC
  settings.endtime = 1796641200.5;
  settings.tooOld = 3600.0;
  settings.tooNew = 0.25;
  settings.checkUnstuff = true;
  auto c = reader("r", settings, "");
  auto lines = describe(*c);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[4], "\t\tread_from_tarnname\t") << "the tarn name as configured, here empty";
  EXPECT_EQ(lines[7], "\t\tstarttime\t\t12/07/26 10:00:00 UTC");
  EXPECT_EQ(lines[8], "\t\tendtime\t\t\t12/07/26 11:00:00 UTC");
  EXPECT_EQ(lines[9], "\t\ttoo_old\t\t3600.000000");
  EXPECT_EQ(lines[10], "\t\ttoo_new\t\t0.250000");
  EXPECT_EQ(lines[11], "\t\tcheck_unstuff\t\ttrue");
  settings.endtime = TIME_LAST;
  EXPECT_EQ(describe(*reader("r2", settings))[8], "\t\tendtime\t\t\tlast");
}

TEST_F(Connection, WriterDescription) {
  WriterSettings settings;
  settings.maxQueue = 250;
  settings.maxQueueBytes = 1 << 20;
  settings.reject = "x";
  auto c = writer("w", settings, keptQueue("mainq"));
  std::vector<std::string> expected = {"\t\tdlname\t\t\tw",
                                       "\t\trun\t\t\ttrue",
                                       "\t\tconnected_status\tstopped",
                                       "\t\tdirection\t\twrite",
                                       "\t\tread_from_queue\t\tmainq",
                                       "\t\twrite_to_tarnname\t",
                                       "\t\twrite_to_tarntag\t\twtag",
                                       "\t\tmax_queue\t\t250",
                                       "\t\tmax_queue_bytes\t\t1048576",
                                       "\t\tmatch\t\t\t",
                                       "\t\treject\t\t\tx"};
  EXPECT_EQ(describe(*c), expected);
}

TEST_F(Connection, DescriptionIsSilentWhenNotVerbose) {
  auto c = writer("w1");
  OutputCapture capture;
  c->verboseDescribe();
  capture.stop();
  EXPECT_EQ(capture.out(), "");
}

// Acknowledged puts count as delivered, but for the relay's own packets and
// those the server refused; each drop's reason is counted under its word.
TEST(ConnectionCounts, AcknowledgedPutsCountedButRefusedOnesAndDropsByCause) {
  WriterAcks acks;
  acks.put(1, nullptr, true, 100);
  acks.put(2, nullptr, false, 200);  // the relay's own packet
  acks.put(3, nullptr, true, 300);
  acks.put(4, nullptr, true, 400);
  acks.refused(3);
  WriterAcks::Stored stored = acks.acknowledged(3);
  EXPECT_EQ(stored.packets, 1u);
  EXPECT_EQ(stored.bytes, 100u);
  EXPECT_EQ(acks.acknowledged(4).bytes, 400u);
  EXPECT_EQ(acks.acknowledged(4).packets, 0u);  // each put counted once

  for (auto [cause, key] : std::vector<std::pair<std::string, std::string>>{
           {"too large for tarn ':1' (it takes up to 4096 bytes)", "too_large"},
           {"refused by tarn ':1'", "refused"},
           {"not miniSEED, which sds '/x' takes only", "not_miniseed"},
           {"with records that do not parse, for sds '/x'", "bad_records"},
           {"source name not taken by tarn servers (1 to 63 characters)", "bad_source_name"},
           {"not put to tarn ':1' (the put failed)", "put_failed"},
           {"lost in the post", "other"}})
    EXPECT_EQ(ConnectionCounters::causeKey(cause), key) << cause;
}

// Refusals make a fault while they keep coming, from the first of the
// episode; a minute without one ends it, and the next begins a new one.
TEST(ConnectionCountersTest, RefusalsAreAFaultWhileTheyKeepComing) {
  ConnectionCounters c;
  double since = 0;
  EXPECT_EQ(c.refusalFault(100.0, since), "");
  c.refused("refused by tarn ':1': writing source 'X' ...", 100.0);
  c.refused("refused by tarn ':1': writing source 'Y' ...", 130.0);
  EXPECT_EQ(c.refusalFault(189.0, since), "refused by tarn ':1': writing source 'Y' ...");
  EXPECT_EQ(since, 100.0);
  EXPECT_EQ(c.refusalFault(190.0, since), "");
  c.refused("again", 500.0);
  EXPECT_EQ(c.refusalFault(500.0, since), "again");
  EXPECT_EQ(since, 500.0);
}

}  // namespace
