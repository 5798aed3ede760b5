// Queues of packets: delivery to each consumer, packet lifetime, time-outs,
// end-of-data marks, limits, failures; and the log lines that the log
// manager offers to the log queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_exception.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "output_capture.h"
#include "platform/elog/elog.h"
#include "platform/fifo/pmtfifo.h"
#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"
#include "queue/relay_queue.h"
#include "relay_config_inspector.h"
#include "relay_test_env.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"
#include "tarn_test_server.h"

namespace {

using testcapture::OutputCapture;

std::shared_ptr<TarnPacket> reapedPacket(int pktid) {
  auto tag = TarnTag::getTarnTag("queue_test", "srv", true);
  char srcname[] = "AA_BB/raw";
  char bytes[] = "0123456789";
  return std::make_shared<TarnPacket>(tag, pktid, srcname, 100.0 + pktid, bytes, 10);
}

std::shared_ptr<TarnPacket> logPacket(const std::string &text) {
  return std::make_shared<TarnPacket>("relay1", text);
}

// Queues live until the process ends, as in the relay: each test's queue is
// kept where the leak check still finds it at exit.
RelayQueue &keptQueue(const std::string &name) {
  static auto *kept = new std::vector<RelayQueue *>;
  kept->push_back(new RelayQueue(name, *RelayCnf->omlog(), 0.2));
  return *kept->back();
}

// A fresh queue name for each queue, as queue names are process-wide.
std::string freshName(const std::string &base) {
  static int count = 0;
  return base + std::to_string(++count);
}

class RelayQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RelayConfigInspector::setInternalTimeout(0.2);
    RelayConfigInspector::setTargetName("relay1");
    RelayCnf->omlog()->setVerbose(0);
    elog_flush(0, 0);
  }
  void TearDown() override {
    RelayConfigInspector::setLogQueueName("");
    RelayCnf->omlog()->setVerbose(0);
    elog_flush(0, 0);
  }
  // The pop's failure text, or "" when a packet came.
  template <typename Failure>
  std::string popFailure(RelayQueue &queue, const std::string &consumer) {
    try {
      queue.pop(consumer);
    } catch (const Failure &e) {
      return e.what();
    }
    return "";
  }
};

// ---- Names and counts ----

TEST_F(RelayQueueTest, NameAndCounts) {
  RelayQueue &queue = keptQueue("q1");
  EXPECT_EQ(queue.name(), "q1");
  EXPECT_EQ(queue.getQueueCount("writer"), -1);
  queue.setConsumer("writer", 0);
  EXPECT_EQ(queue.getQueueCount("writer"), 0);
  EXPECT_EQ(queue.getQueueCount("other"), -1);
  auto packet = reapedPacket(1);
  queue.push(packet);
  queue.push(packet);
  EXPECT_EQ(queue.getQueueCount("writer"), 2);
  queue.pop("writer");
  EXPECT_EQ(queue.getQueueCount("writer"), 1);
}

TEST_F(RelayQueueTest, RegisteringAConsumerAgainKeepsWhatWaits) {
  RelayQueue &queue = keptQueue("q1");
  queue.setConsumer("writer", 0);
  auto packet = reapedPacket(1);
  queue.push(packet);
  queue.setConsumer("writer", 5);
  EXPECT_EQ(queue.getQueueCount("writer"), 1);
  EXPECT_EQ(queue.pop("writer"), packet);
}

// ---- Delivery and lifetime ----

TEST_F(RelayQueueTest, EachConsumerPopsThePacketOnceAndItLivesUntilAllLetGo) {
  RelayQueue &queue = keptQueue("q2");
  queue.setConsumer("a", 0);
  queue.setConsumer("b", 0);
  auto packet = reapedPacket(7);
  std::weak_ptr<TarnPacket> watch = packet;
  queue.push(packet);
  EXPECT_EQ(watch.use_count(), 3);  // the pusher and one hook per consumer

  auto fromA = queue.pop("a");
  EXPECT_EQ(fromA, packet);
  EXPECT_EQ(popFailure<RelayNodataException>(queue, "a"),
            "RelayQueue::pop: Received no-data return from queue 'q2'");
  packet.reset();
  fromA.reset();
  EXPECT_FALSE(watch.expired());  // still waiting for b

  auto fromB = queue.pop("b");
  EXPECT_EQ(fromB->pktid(), 7);
  EXPECT_EQ(watch.use_count(), 1);
  fromB.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(RelayQueueTest, PacketsComeOutInTheOrderPushed) {
  RelayQueue &queue = keptQueue("q");
  queue.setConsumer("w", 0);
  for (int i = 0; i < 50; ++i) {
    auto packet = reapedPacket(i);
    queue.push(packet);
  }
  for (int i = 0; i < 50; ++i) EXPECT_EQ(queue.pop("w")->pktid(), i);
}

TEST_F(RelayQueueTest, PushWithoutConsumersKeepsNothing) {
  RelayQueue &queue = keptQueue("q");
  auto packet = reapedPacket(1);
  std::weak_ptr<TarnPacket> watch = packet;
  OutputCapture capture;
  queue.push(packet);
  capture.stop();
  EXPECT_EQ(capture.err(), "");  // nobody to deliver to is not a failure
  packet.reset();
  EXPECT_TRUE(watch.expired());
}

// ---- Waiting, end of data, failures ----

TEST_F(RelayQueueTest, EmptyPopTimesOutNamingTheQueue) {
  RelayQueue &queue = keptQueue("empty_q");
  queue.setConsumer("w", 0);
  EXPECT_EQ(popFailure<RelayNodataException>(queue, "w"),
            "RelayQueue::pop: Received no-data return from queue 'empty_q'");
  // A time-out is not an end: later packets still come.
  auto packet = reapedPacket(3);
  queue.push(packet);
  EXPECT_EQ(queue.pop("w"), packet);
}

TEST_F(RelayQueueTest, EndOfDataComesAfterTheRemainingPackets) {
  RelayQueue &queue = keptQueue("eof_q");
  queue.setProducer("reader");
  queue.setConsumer("w", 0);
  auto first = reapedPacket(1);
  auto second = reapedPacket(2);
  queue.push(first);
  queue.push(second);
  queue.push_eof("reader");
  EXPECT_EQ(queue.pop("w"), first);
  EXPECT_EQ(queue.pop("w"), second);
  EXPECT_EQ(popFailure<RelayEOFException>(queue, "w"), "Read EOF packet from queue 'eof_q'");
}

TEST_F(RelayQueueTest, EndOfDataWaitsForEveryProducer) {
  RelayQueue &queue = keptQueue("q");
  queue.setProducer("r1");
  queue.setProducer("r2");
  queue.setConsumer("w", 0);
  queue.push_eof("r1");
  EXPECT_NE(popFailure<RelayNodataException>(queue, "w"), "");
  auto late = reapedPacket(9);
  queue.push(late);  // the second producer still sends
  queue.push_eof("r2");
  EXPECT_EQ(queue.pop("w"), late);
  EXPECT_NE(popFailure<RelayEOFException>(queue, "w"), "");
}

TEST_F(RelayQueueTest, EndOfDataFromAStrangerIsComplainedAbout) {
  RelayQueue &queue = keptQueue("eof_q");
  queue.setConsumer("w", 0);
  OutputCapture capture;
  queue.push_eof("ghost");
  capture.stop();
  EXPECT_NE(
      capture.err().find(
          ": Error with pmtmanagedfifo_push_eof pushing from 'ghost' onto 'eof_q', packet EOF\n"),
      std::string::npos)
      << capture.err();
  EXPECT_NE(popFailure<RelayNodataException>(queue, "w"), "");
}

TEST_F(RelayQueueTest, PopByAStrangerIsAPlainFailure) {
  RelayQueue &queue = keptQueue("q");
  queue.setConsumer("w", 0);
  try {
    queue.pop("ghost");
    FAIL() << "no failure";
  } catch (const RelayNodataException &) {
    FAIL() << "a stranger's pop is not a time-out";
  } catch (const RelayException &e) {
    EXPECT_EQ(std::string(e.what()),
              "RelayQueue::pop: Received rc = " + std::to_string(PMTFIFO_ERR_UNKNOWN) +
                  " return from pmtmanagedfifo_pop");
  }
}

// ---- Limits ----

TEST_F(RelayQueueTest, InternalPacketsNeverWaitAtTheLimit) {
  RelayQueue &queue = keptQueue("q");
  queue.setConsumer("w", 2);
  for (int i = 0; i < 5; ++i) {
    auto packet = logPacket("line " + std::to_string(i));
    queue.push(packet);
  }
  EXPECT_EQ(queue.getQueueCount("w"), 5);
}

TEST_F(RelayQueueTest, ReadersWaitForRoomAndLoseNothing) {
  RelayQueue &queue = keptQueue("q");
  queue.setConsumer("w", 2);
  std::thread producer([&] {
    for (int i = 0; i < 6; ++i) {
      auto packet = reapedPacket(i);
      queue.push(packet);
    }
  });
  std::vector<int> ids;
  for (int tries = 0; tries < 200 && ids.size() < 6; ++tries) {
    EXPECT_LE(queue.getQueueCount("w"), 2);
    try {
      ids.push_back(queue.pop("w")->pktid());
    } catch (const RelayNodataException &) {
    }
  }
  producer.join();
  EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

// ---- The log queue ----

class LogQueueTest : public RelayQueueTest {
 protected:
  void SetUp() override {
    RelayQueueTest::SetUp();
    name = freshName("logq");
    RelayCnf->addQueue(name);
    RelayConfigInspector::setLogQueueName(name);
    queue = RelayCnf->getRelayQueue(name);
    queue->setConsumer("log_writer", 0);
  }
  // The lines written to standard output and standard error by `body`.
  std::string capture(const std::function<void()> &body) {
    OutputCapture out;
    body();
    out.stop();
    errText = out.err();
    return out.out() + out.err();
  }
  std::vector<std::shared_ptr<TarnPacket>> drain() {
    std::vector<std::shared_ptr<TarnPacket>> packets;
    for (int n = queue->getQueueCount("log_writer"); n > 0; --n)
      packets.push_back(queue->pop("log_writer"));
    return packets;
  }

  std::string name;
  std::string errText;
  std::shared_ptr<RelayQueue> queue;
};

TEST_F(LogQueueTest, VerbosityDecidesWhatIsOffered) {
  RelayLogMgr *log = RelayCnf->omlog();
  capture([&] {
    log->notify("n");
    log->verbose("v");
    log->veryVerbose("vv");
    log->elog_complain("c");
  });
  EXPECT_EQ(drain().size(), 2u);  // notify and elog_complain

  log->setVerbose(1);
  capture([&] {
    log->verbose("v");
    log->veryVerbose("vv");
  });
  EXPECT_EQ(drain().size(), 1u);

  log->setVerbose(3);
  capture([&] {
    log->verbose("v");
    log->veryVerbose("vv");
  });
  auto packets = drain();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0]->isInternal());
  EXPECT_STREQ(packets[0]->srcname(), "relay1/log");
  EXPECT_EQ(packets[0]->content(), 7);
}

TEST_F(LogQueueTest, QueueThatIsNotTheLogQueueGetsNoLines) {
  RelayConfigInspector::setLogQueueName("");
  capture([&] { RelayCnf->omlog()->notify("n"); });
  EXPECT_EQ(queue->getQueueCount("log_writer"), 0);
}

TEST_F(LogQueueTest, LinesArriveWithTheirExactText) {
  RelayLogMgr *log = RelayCnf->omlog();
  log->setVerbose(1);
  std::string written = capture([&] {
    log->notify("first: notify");
    log->verbose("second  verbose ");
    log->elog_complain("third 'complaint'");
  });
  auto packets = drain();
  ASSERT_EQ(packets.size(), 3u);

  // The packets' bytes, put on a real server and read back raw.
  tarntest::TarnTestServer server;
  auto writer = TarnTag::getTarnTag("log_writer_tag", server.name(), true);
  writer->open(TarnTag::Mode::kWrite);
  for (auto &packet : packets) ASSERT_GE(packet->put(*writer), 0);
  int fd = tarnopen(server.name().c_str(), "r&");
  ASSERT_GE(fd, 0);
  // Puts go out in batches: the server may still be empty, and then the
  // first reap takes the first packet to arrive.
  tarnposition(fd, "oldest");
  std::string texts;
  char *buf = nullptr;
  int bufsize = 0;
  for (int i = 0; i < 3; ++i) {
    int pktid = 0, nbytes = 0;
    char srcname[64];
    double time = 0;
    ASSERT_GE(tarnreap_timeout(fd, 5.0, &pktid, srcname, &time, &buf, &nbytes, &bufsize), 0);
    Packet *pkt = nullptr;
    ASSERT_EQ(unstuffPkt(srcname, time, buf, nbytes, &pkt), PKT_CONTENT_LOG);
    texts += std::string(pkt->string) + "\n";
    freePkt(pkt);
  }
  std::free(buf);
  tarnclose(fd);
  // notify and verbose on standard output first, then the complaint on
  // standard error: the same lines, each without its newline.
  EXPECT_EQ(texts, written);
  EXPECT_NE(written.find(": first: notify\n"), std::string::npos) << written;
}

TEST_F(LogQueueTest, FailingPushIsReportedOnceWithoutRecursion) {
  // Fill the log writer's queue up to where internal packets are dropped.
  auto filler = logPacket("filler");
  for (int i = 0; i < PMTFIFO_NOWAIT_CAP; ++i) queue->push(filler);
  ASSERT_EQ(queue->getQueueCount("log_writer"), PMTFIFO_NOWAIT_CAP);

  capture([&] { RelayCnf->omlog()->notify("one line too many"); });
  std::string failure = ": Error with pmtmanagedfifo_push pushing onto '" + name +
                        "', packet 'Packet: srcname 'relay1/log' time '";
  size_t at = errText.find(failure);
  EXPECT_NE(at, std::string::npos) << errText;
  EXPECT_EQ(errText.find(failure, at + 1), std::string::npos) << errText;
  EXPECT_EQ(queue->getQueueCount("log_writer"), PMTFIFO_NOWAIT_CAP);

  // Once there is room again, lines are offered again.
  queue->pop("log_writer");
  capture([&] { RelayCnf->omlog()->notify("room again"); });
  EXPECT_EQ(errText, "");
  EXPECT_EQ(queue->getQueueCount("log_writer"), PMTFIFO_NOWAIT_CAP);
}

TEST_F(LogQueueTest, LineTooLongToStuffIsStillWrittenAndTheFailureReported) {
  std::string huge(PKT_MAX_BODY + 1, 'x');
  std::string written = capture([&] { RelayCnf->omlog()->notify(huge); });
  EXPECT_GT(written.size(), huge.size());
  EXPECT_NE(errText.find(": Failed to stuff log packet\n"), std::string::npos)
      << errText.substr(0, 200);
  EXPECT_EQ(queue->getQueueCount("log_writer"), 0);
}

}  // namespace
