// The status report: its text line by line for running and stopped
// connections, the packet it becomes, and the thread that pushes reports
// and the end-of-data mark onto the status queue.
#include "managers/relay_status_mgr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "managers/relay_log_mgr.h"
#include "output_capture.h"
#include "platform/pf/pf.h"
#include "platform/time/epochtime.h"
#include "process.h"
#include "queue/relay_queue.h"
#include "relay_connection_inspector.h"
#include "relay_pf.h"
#include "tarn/tarn_packet.h"

namespace {

using testsupport::connectionEntry;

std::string reader(const std::string &name, const std::string &tarn, const std::string &queue) {
  return connectionEntry("name " + name + "\nread_from_tarnname " + tarn + "\nwrite_to_queue " +
                         queue + "\n");
}
std::string writer(const std::string &name, const std::string &tarn, const std::string &queue) {
  return connectionEntry("name " + name + "\nwrite_to_tarnname " + tarn + "\nread_from_queue " +
                         queue + "\n");
}

// A configuration read from a parameter file in this process, as main
// reads it, with its connections registered.
class StatusReport : public testing::Test {
 protected:
  void TearDown() override { Stop = 0; }
  void configure(const testsupport::RelayPf &pf, const std::string &target = "t1") {
    testsupport::writeFile(dir.file("relay.pf"), pf.text());
    storage = {"tarn2tarn_pre", "-t", target, "-p", dir.file("relay")};
    for (auto &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    testcapture::OutputCapture quiet;
    config.configure(static_cast<int>(storage.size()), argv.data());
  }
  std::shared_ptr<RelayConnection> connection(const std::string &name) {
    for (auto &c : config.getConnections()) {
      if (c->connectionName() == name) return c;
    }
    ADD_FAILURE() << "no connection " << name;
    return nullptr;
  }
  std::string text(double runtime = 12.5, long rss = 2048) {
    return config.omstatus()->statusText(runtime, rss);
  }

  testsupport::TempDir dir;
  RelayConfig config;
  std::vector<std::string> storage;
  std::vector<char *> argv;
};

const std::string kRelayLines = "target t1\ntype dl\nmodel tarn\nrtm 12.500\ndls &Arr{\n";

TEST_F(StatusReport, WithoutConnectionsOnlyTheRelayLines) {
  configure(testsupport::RelayPf());
  EXPECT_EQ(text(), kRelayLines + "}\n");
}

TEST_F(StatusReport, ARunningReaderAsInTheWorkedExample) {
  testsupport::RelayPf pf;
  pf.connections = reader("r1", "src", "q1");
  configure(pf);
  auto r1 = connection("r1");
  RelayConnectionInspector(*r1).setState(ConnectionState::kYes);
  RelayConnectionInspector(*r1).setLastPacketTime(std_now() - 1.25);
  std::string got = text();
  // The latency depends on the clock: check its line apart.
  size_t dlt = got.find("dlt ");
  ASSERT_NE(dlt, std::string::npos) << got;
  size_t end = got.find('\n', dlt);
  double latency = std::stod(got.substr(dlt + 4, end - dlt - 4));
  EXPECT_GE(latency, 1.25);
  EXPECT_LT(latency, 60.0);
  EXPECT_EQ(got.substr(dlt + 4 + got.substr(dlt + 4, end - dlt - 4).find('.'), 1), ".");
  EXPECT_EQ(end - got.find('.', dlt) - 1, 6u) << "six decimals: " << got.substr(dlt, end - dlt);
  got.replace(dlt, end - dlt, "dlt X");
  EXPECT_EQ(
      got,
      kRelayLines +
          "r1 &Arr{\ncomt rint\ntarnn src\ndir read\nqn q1\ncon yes\nrtm 12.500\nrss 2048\nnq 0\n"
          "dlt X\nrtm 12.500\nrss 2048\nnq 0\nlink up\nnpkts 0\nnbytes 0\nnreconnect 0\nndrops "
          "0\ndrops &Arr{\n}\nnrejects 0\nrejects &Arr{\n}\n}\n}\n");
}

TEST_F(StatusReport, NoPacketYetIsALatencyOf999999999Point9) {
  testsupport::RelayPf pf;
  pf.connections = writer("w1", "dst", "q1");
  configure(pf);
  EXPECT_NE(text().find("\ndlt 999999999.900000\n"), std::string::npos) << text();
}

TEST_F(StatusReport, WaitingPacketsAreTheWritersQueueCount) {
  testsupport::RelayPf pf;
  pf.connections = writer("w1", "dst", "q1");
  configure(pf);
  auto w1 = connection("w1");
  auto queue = config.getRelayQueue("q1");
  RelayConnectionInspector(*w1).begin();
  queue->setProducer("test");
  for (int i = 0; i < 3; ++i) {
    auto packet = std::make_shared<TarnPacket>("t1", "message " + std::to_string(i));
    queue->push(packet);
  }
  std::string got = text();
  EXPECT_NE(got.find("\nrss 2048\nnq 3\ndlt 999999999.900000\nrtm 12.500\nrss 2048\nnq 3\n"
                     "link none\nnpkts 0\nnbytes 0\nnreconnect 0\nndrops 0\ndrops &Arr{\n}\n"
                     "nrejects 0\nrejects &Arr{\n}\n}\n"),
            std::string::npos)
      << got;
}

TEST_F(StatusReport, StoppedConnectionsShowFixedValuesThenTheCurrentOnes) {
  testsupport::RelayPf pf;
  pf.connections = reader("r1", "src", "q1") + writer("w1", "dst", "q1");
  configure(pf);
  RelayConnectionInspector(*connection("r1")).setLastPacketTime(std_now());
  Stop = 1;
  std::string got = text(3.25, 77);
  const std::string tail =
      "con stopped\nrtm -999999999.900\nrss 0\nnq -1\ndlt 999999999.900000\n"
      "rtm 3.250\nrss 77\nnq 0\nlink none\nnpkts 0\nnbytes 0\nnreconnect 0\nndrops 0\ndrops "
      "&Arr{\n}\nnrejects 0\nrejects &Arr{\n}\n}\n";
  EXPECT_NE(got.find("r1 &Arr{\ncomt rint\ntarnn src\ndir read\nqn q1\n" + tail), std::string::npos)
      << got;
  EXPECT_NE(got.find("w1 &Arr{\ncomt rint\ntarnn dst\ndir write\nqn q1\n" + tail),
            std::string::npos)
      << got;
  // The report made while stopping says that it is the last; no other does.
  EXPECT_EQ(got.substr(got.size() - 10), "}\nfinal 1\n") << got;
  Stop = 0;
  EXPECT_EQ(text().find("final"), std::string::npos);
}

TEST_F(StatusReport, ANameWithBlanksStillCompiles) {
  testsupport::RelayPf pf;
  pf.connections = reader("my reader", "src", "q1");
  configure(pf);
  EXPECT_NE(text().find("&\"my reader\" &Arr{\n"), std::string::npos) << text();
  auto packet = config.omstatus()->pfstatus();
  ASSERT_TRUE(packet);
  Pf *compiled = nullptr;
  ASSERT_EQ(pfcompile(text().c_str(), &compiled), 0);
  EXPECT_TRUE(pfhas_key(compiled, "dls{my reader}{comt}") || pfhas_key(compiled, "dls"));
  pffree(compiled);
}

// Cut to 1023 characters with its newline: the next key keeps its own line.
// (A target name is at most 56 characters; a queue name has no such bound.)
TEST_F(StatusReport, ALongLineIsCutAt1023CharactersAndStillEnds) {
  testsupport::RelayPf pf;
  pf.connections = reader("r1", "src", std::string(2000, 'q'));
  configure(pf);
  EXPECT_NE(text().find("\nqn " + std::string(1019, 'q') + "\ncon "), std::string::npos);
  EXPECT_TRUE(config.omstatus()->pfstatus());
}

TEST_F(StatusReport, ThePacketIsAStatusPacketOfTheTarget) {
  testsupport::RelayPf pf;
  pf.connections = reader("r1", "src", "q1");
  configure(pf);
  auto packet = config.omstatus()->pfstatus();
  ASSERT_TRUE(packet);
  EXPECT_STREQ(packet->srcname(), "t1/pf/st");
}

// The thread: reports while running, a final one in which everything is
// stopped, then the end-of-data mark; the queue's consumer sees them all.
TEST_F(StatusReport, TheThreadPushesReportsAFinalOneAndTheEndMark) {
  testsupport::RelayPf pf;
  pf.connections = reader("r1", "src", "q1");
  pf.status = "run true\nwrite_to_queue statq\n";
  pf.timing = "pfstatusreport 0.5\ninternal_timeout 1\nshutdown_grace_period 15\n";
  configure(pf);
  auto queue = config.getRelayStatusQueue();
  ASSERT_TRUE(queue);
  queue->setConsumer("reader of statq", 0);
  Stop = 0;
  std::thread thread([&] { config.omstatus()->run(); });
  // Pops until `want` reports came or the end mark; bounded in rounds, each
  // waiting at most the internal time-out.
  int reports = 0;
  bool sawEnd = false;
  auto popSome = [&](int want) {
    for (int i = 0; i < 100 && reports < want && !sawEnd; ++i) {
      try {
        if (queue->pop("reader of statq")) ++reports;
      } catch (const RelayEOFException &) {
        sawEnd = true;
      } catch (const RelayException &) {
      }
    }
  };
  popSome(2);
  EXPECT_EQ(reports, 2);
  Stop = 1;
  popSome(1000);
  thread.join();
  EXPECT_TRUE(sawEnd);
  EXPECT_GE(reports, 3);  // the final report came before the end mark
}

TEST_F(StatusReport, WithoutAStatusQueueTheThreadOnlyStartsAndFinishes) {
  configure(testsupport::RelayPf());
  config.omlog()->setVerbose(1);
  testcapture::OutputCapture capture;
  std::thread thread([&] { config.omstatus()->run(); });
  thread.join();
  capture.stop();
  EXPECT_EQ(capture.out(),
            "Thread 'status_manager': Thread starting\nThread 'status_manager': Thread finished\n");
}

}  // namespace
