// Queues under load: several readers and the relay's own log lines pushing,
// several writers popping with different limits, end-of-data marks, and the
// stop flag set while everything runs. Each scenario ends by itself: every
// loop is bounded in count and in time. At the end every packet pushed was
// popped exactly once by each consumer, in each producer's order, or was
// reported as dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "output_capture.h"
#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "queue/relay_queue.h"
#include "relay_config_inspector.h"
#include "relay_test_env.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdsPerProducer = 1000000;  // pktid = producer * kIdsPerProducer + sequence
constexpr auto kDeadline = std::chrono::seconds(120);

// Queues live until the process ends, as in the relay: each test's queue is
// kept where the leak check still finds it at exit.
RelayQueue &keptQueue(const std::string &name) {
  static auto *kept = new std::vector<RelayQueue *>;
  kept->push_back(new RelayQueue(name, *RelayCnf->omlog(), 0.2));
  return *kept->back();
}

// The tag the packets come from; the tag registry belongs to the main
// thread, so the fixture looks it up before any thread starts.
std::shared_ptr<TarnTag> g_tag;

std::shared_ptr<TarnPacket> packetFor(int pktid) {
  const std::shared_ptr<TarnTag> &tag = g_tag;
  char srcname[] = "AA_BB/raw";
  char bytes[] = "stress";
  return std::make_shared<TarnPacket>(tag, pktid, srcname, 1.0 * pktid, bytes, 6);
}

// What one consumer received.
struct Received {
  std::vector<int> ids;  // reaped packets, in the order popped
  long logPackets = 0;
  int eofs = 0;
  bool timedOut = false;
};

// Pops until the end-of-data mark (or the deadline), pausing now and then so
// that producers meet its limit.
void consume(RelayQueue &queue, const std::string &name, bool slow, Clock::time_point deadline,
             Received &got) {
  for (long round = 0; round < 50L * kIdsPerProducer; ++round) {
    if (Clock::now() > deadline) {
      got.timedOut = true;
      return;
    }
    if (slow && round % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    try {
      auto packet = queue.pop(name);
      if (packet->isInternal()) {
        ++got.logPackets;
      } else {
        got.ids.push_back(packet->pktid());
      }
    } catch (const RelayEOFException &) {
      ++got.eofs;
      return;
    } catch (const RelayNodataException &) {
    }
  }
}

// The pktids named in the queue's complaints about dropped packets, and the
// number of dropped log packets.
struct Dropped {
  std::map<int, int> ids;  // pktid -> times reported
  long logPackets = 0;
};

Dropped droppedIn(const std::string &err) {
  Dropped dropped;
  const std::string marker = "Error with pmtmanagedfifo_push pushing onto";
  for (size_t at = err.find(marker); at != std::string::npos; at = err.find(marker, at + 1)) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end - at);
    size_t id = line.find("pktid srv::");
    if (id == std::string::npos) {
      ++dropped.logPackets;
    } else {
      ++dropped.ids[std::stoi(line.substr(id + 11))];
    }
  }
  return dropped;
}

class QueueStress : public ::testing::Test {
 protected:
  void SetUp() override {
    RelayConfigInspector::setInternalTimeout(0.05);
    g_tag = TarnTag::getTarnTag("stress", "srv", true);
    Stop = 0;
    stopflag_register(&Stop);
  }
  void TearDown() override {
    stopflag_register(nullptr);
    Stop = 0;
    elog_flush(0, 0);
  }
};

TEST_F(QueueStress, ProducersAndConsumersWithLimitsStopMidway) {
  const int kProducers = 3;
  const std::vector<int> limits = {0, 5, 64};
  RelayQueue &queue = keptQueue("stress_q");
  for (int p = 0; p < kProducers; ++p) queue.setProducer("reader" + std::to_string(p));
  for (size_t c = 0; c < limits.size(); ++c)
    queue.setConsumer("writer" + std::to_string(c), limits[c]);

  auto deadline = Clock::now() + kDeadline;
  std::vector<Received> received(limits.size());
  std::vector<std::atomic<int>> pushed(kProducers);  // packets each reader pushed
  std::atomic<long> logPushed{0};
  std::atomic<bool> producersDone{false};

  testcapture::OutputCapture capture;
  std::vector<std::thread> threads;
  for (size_t c = 0; c < limits.size(); ++c) {
    threads.emplace_back(consume, std::ref(queue), "writer" + std::to_string(c), c == 1, deadline,
                         std::ref(received[c]));
  }
  // Readers: push until the stop flag, then their end-of-data mark.
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kIdsPerProducer && Stop.load() == 0 && Clock::now() < deadline; ++i) {
        auto packet = packetFor(p * kIdsPerProducer + i);
        queue.push(packet);
        pushed[p] = i + 1;
      }
      queue.push_eof("reader" + std::to_string(p));
    });
  }
  // The relay's own lines: never registered as a producer, never waiting.
  std::thread logger([&] {
    for (int i = 0; i < 100000 && !producersDone.load(); ++i) {
      auto packet = std::make_shared<TarnPacket>("relay1", "line " + std::to_string(i));
      queue.push(packet);
      logPushed.fetch_add(1);
      if (i % 16 == 0) std::this_thread::yield();
    }
  });

  // Stop once the slow writer has seen a good share of packets.
  bool busy =
      testsupport::waitUntil([&] { return pushed[0].load() > 3000; }, std::chrono::seconds(60));
  Stop = 1;
  for (auto &t : threads) t.join();
  producersDone = true;
  logger.join();
  capture.stop();
  EXPECT_TRUE(busy);

  // Log lines pushed after the producers' marks come after the end of data;
  // collect them too.
  for (size_t c = 0; c < limits.size(); ++c) {
    std::string name = "writer" + std::to_string(c);
    for (int n = queue.getQueueCount(name); n > 0; --n) {
      try {
        auto packet = queue.pop(name);
        ASSERT_TRUE(packet->isInternal());
        ++received[c].logPackets;
      } catch (const RelayException &) {
        break;
      }
    }
  }

  Dropped dropped = droppedIn(capture.err());
  for (size_t c = 0; c < limits.size(); ++c) {
    SCOPED_TRACE("writer" + std::to_string(c));
    const Received &got = received[c];
    EXPECT_FALSE(got.timedOut);
    EXPECT_EQ(got.eofs, 1);
    // Each producer's packets arrive once, in order; the missing ones were
    // reported dropped.
    std::vector<int> next(kProducers, 0);
    for (int id : got.ids) {
      int p = id / kIdsPerProducer, i = id % kIdsPerProducer;
      ASSERT_LT(p, kProducers);
      while (next[p] < i) {
        EXPECT_TRUE(dropped.ids.count(p * kIdsPerProducer + next[p])) << "lost " << next[p];
        ++next[p];
      }
      ASSERT_EQ(next[p], i) << "twice or out of order: " << id;
      ++next[p];
    }
    for (int p = 0; p < kProducers; ++p) {
      for (int i = next[p]; i < pushed[p]; ++i) {
        EXPECT_TRUE(dropped.ids.count(p * kIdsPerProducer + i)) << "lost " << i;
      }
    }
    EXPECT_GE(got.logPackets + dropped.logPackets, logPushed.load());
    EXPECT_LE(got.logPackets, logPushed.load());
  }
  // The stop came mid-way: the readers had not pushed everything.
  for (int p = 0; p < kProducers; ++p) EXPECT_LT(pushed[p], kIdsPerProducer);
}

TEST_F(QueueStress, PushesAtTheLimitOfAStalledWriterEndAfterTheStop) {
  const int kProducers = 3;
  const int kEach = 10;
  RelayQueue &queue = keptQueue("stalled_q");
  for (int p = 0; p < kProducers; ++p) queue.setProducer("reader" + std::to_string(p));
  queue.setConsumer("stalled", 3);
  queue.setConsumer("quick", 0);

  auto deadline = Clock::now() + kDeadline;
  Received quick;
  std::thread quickWriter(consume, std::ref(queue), "quick", false, deadline, std::ref(quick));
  std::vector<std::thread> readers;
  for (int p = 0; p < kProducers; ++p) {
    readers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        auto packet = packetFor(p * kIdsPerProducer + i);
        queue.push(packet);
      }
      queue.push_eof("reader" + std::to_string(p));
    });
  }
  // The stalled writer's limit holds the readers back until the stop.
  EXPECT_TRUE(testsupport::waitUntil([&] { return queue.getQueueCount("stalled") == 3; },
                                     std::chrono::seconds(30)));
  Stop = 1;
  for (auto &t : readers) t.join();
  quickWriter.join();

  // Nothing was lost: past the stop the readers queued beyond the limit.
  EXPECT_EQ(queue.getQueueCount("stalled"), kProducers * kEach);
  Received stalled;
  consume(queue, "stalled", false, deadline, stalled);
  for (const Received *got : {&quick, &stalled}) {
    EXPECT_FALSE(got->timedOut);
    EXPECT_EQ(got->eofs, 1);
    EXPECT_EQ(got->ids.size(), static_cast<size_t>(kProducers * kEach));
  }
}

}  // namespace
